// What the run procedure hands the GPU layer: every setting of the record, and
// the noise level the profiling schedule measured for the same frame. The
// module's frames must be the pipeline's own for those parameters. Module
// code linked in, CUDA backend over the simulated driver.
#include <gtest/gtest.h>

#include "gpu/cudanr.h"
#include "tests/host/drive.h"
#include "tests/host/simulated_driver.h"

namespace {

TEST(RunProcedure, EverySettingAndTheMeasuredSigmaReachTheKernel) {
    constexpr int w = 40, h = 24;
    DriverLeftClean clean;
    DrivenFilter f;
    ASSERT_TRUE(f.attach(VirtualdubFilterModuleInit2, VirtualdubFilterModuleDeinit));
    // Distinct values inside each range: two fields swapped on the way show.
    const CudaNRParams strengths{2.5f, 0.6f, 1.5f, 0.7f, 0.35f, 0.0f};
    f.fd()->params = strengths;
    ASSERT_EQ(f.fd()->autoProfile, 1);

    CudaNRContext* reference = nullptr;
    ASSERT_TRUE(CudaNRCreate(&reference, 0) && CudaNREnsureBuffers(reference, w, h));
    for (uint32_t frame = 0; frame < 3; ++frame) {
        SCOPED_TRACE(frame);
        auto src = NoisyFrame(w * 4 * h, 60 + frame);
        GuardedBuffer out(w * 4 * h), expected(w * 4 * h);
        f.run(src, out, 32, w, h, 0, 0);
        CudaNRParams used = strengths;
        used.sigmaY = f.fd()->params.sigmaY;  // measured on the first frame
        ASSERT_GE(used.sigmaY, 0.8f);
        ASSERT_TRUE(CudaNRProcessFrame(reference, reinterpret_cast<const uchar4*>(src.data()), w * 4,
                                       reinterpret_cast<uchar4*>(expected.data()), w * 4, w, h, &used));
        EXPECT_EQ(out.body(), expected.body());
    }
    CudaNRDestroy(reference);
}

}  // namespace
