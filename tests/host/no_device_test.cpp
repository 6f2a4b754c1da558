// The module code over a driver that reports no GPU, for the whole process
// (QUELMAR_SIMDRIVER=devices=none, set by the test's environment): the driver
// is read once, so this machine needs a program of its own. Every frame
// passes through before staging, with the driver's reason; asking again on
// each frame neither succeeds nor holds anything.
#include <gtest/gtest.h>

#include "tests/host/drive.h"
#include "tests/host/simulated_driver.h"

namespace {

TEST(NoDevice, FramesPassThroughWholeWithTheDriversReason) {
    constexpr int w = 16, h = 8;
    DriverLeftClean clean;
    DrivenFilter f;
    ASSERT_TRUE(f.attach(VirtualdubFilterModuleInit2, VirtualdubFilterModuleDeinit));
    modhost::CallStart(&f.inst);
    EXPECT_EQ(f.fd()->gpu, nullptr);
    int lines = 0;
    const std::string line = PassThroughLineOf(
        [&] {
            for (int frame = 0; frame < 2; ++frame) {
                GuardedBuffer src = NoisyFrame(w * 4 * h, 21 + frame), dst(w * 4 * h);
                f.run(src, dst, 32, w, h, 0, 0);
                EXPECT_EQ(dst.body(), src.body()) << frame;
            }
        },
        &lines);
    EXPECT_EQ(line,
              "the NVIDIA driver R580 (CUDA 13.0) reports no GPU: none is installed, or the GPU is newer than "
              "this driver (install the current driver)");
    EXPECT_EQ(lines, 1);
    auto yuy2 = NoisyFrame(12 * h, 22);
    GuardedBuffer out16(12 * h);
    f.run(yuy2, out16, 16, 5, h, 12, 12);
    EXPECT_EQ(out16.body(), yuy2.body()) << "before staging: byte for byte, whole rows";
    EXPECT_EQ(f.fd()->gpu, nullptr);
    EXPECT_EQ(f.fd()->stageIn, nullptr);
    EXPECT_EQ(f.fd()->frameCounter, 0);
}

}  // namespace
