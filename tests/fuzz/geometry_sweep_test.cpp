// The edge geometries a careless host can hand over, each bitmap exactly as
// large as its geometry says and flush against a guard page: depths x small
// odd widths (and one wide enough that 15-bit rows are longer than 15 bits a
// pixel) x heights 1-3 x pitch kinds x guard before or after, filtered and
// shown unfiltered. Runs in every build tree, so under ASan and UBSan in the
// sanitizer one. Module code linked in, CUDA backend over the simulated driver.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "tests/fuzz/hostile_host.h"
#include "tests/host/drive.h"
#include "tests/host/simulated_driver.h"
#include "tests/platform/virtual_memory_testing.h"

namespace {

using hostile::Geometry;
using hostile::GuardedBitmap;

enum class PitchKind { Zero, Packed, Padded, Backward, BackwardPadded, Overlapping, UpperBitsSet };
constexpr PitchKind kPitchKinds[] = {PitchKind::Zero,        PitchKind::Packed,
                                     PitchKind::Padded,      PitchKind::Backward,
                                     PitchKind::BackwardPadded, PitchKind::Overlapping,
                                     PitchKind::UpperBitsSet};

int64_t PitchOf(PitchKind kind, int32_t depth, int32_t w) {
    const int64_t row = std::max<int64_t>(hostile::RowsOf({depth, w, 1, 1, 0, false}).bytes, 1);
    switch (kind) {
        case PitchKind::Zero: return 0;
        case PitchKind::Packed: return row;
        case PitchKind::Padded: return row + 3;
        case PitchKind::Backward: return -row;
        case PitchKind::BackwardPadded: return -(row + 3);
        case PitchKind::Overlapping: return std::max<int64_t>(row - 1, 1);
        case PitchKind::UpperBitsSet: return row + (int64_t{0x5A5A} << 32);
    }
    return 0;
}

class GeometrySweep : public ::testing::TestWithParam<int32_t> {
protected:
    DriverLeftClean clean;
};

TEST_P(GeometrySweep, NothingOutsideEitherBitmapIsTouched) {
    const int32_t depth = GetParam();
    const bool filtered = depth == 32 || depth == 16;
    const int blocks = platform::memtest::liveBlocks();
    const int launches = quelmarSimCalls("cuLaunchKernel:kProcess");
    {
        DrivenFilter f;
        ASSERT_TRUE(f.attach(VirtualdubFilterModuleInit2, VirtualdubFilterModuleDeinit));
        const FilterRunProc run = f.inst.fa->filter->run;
        const FilterFunctions* ff = modhost::Functions(f.module.get());
        uint32_t seed = 1;
        for (int32_t w : {1, 3, 5, 7, 33}) {
            for (int32_t h : {1, 2, 3}) {
                for (PitchKind kind : kPitchKinds) {
                    for (bool guardAfter : {false, true}) {
                        const Geometry g{depth, w, h, PitchOf(kind, depth, w), 40, guardAfter};
                        for (int32_t unfiltered : {0, 1}) {
                            std::atomic_ref<int32_t>(f.fd()->dialogOpen).store(unfiltered);
                            f.fd()->showFiltered = !unfiltered;
                            const bool ok = hostile::RunGuarded(run, f.inst.fa, ff, g, g, ++seed,
                                                                filtered ? nullptr : hostile::RowsCopiedThrough);
                            EXPECT_TRUE(ok) << "w " << w << " h " << h << " pitch " << g.pitch
                                            << (guardAfter ? " guard after" : " guard before");
                        }
                    }
                }
            }
        }
    }
    EXPECT_EQ(quelmarSimCalls("cuLaunchKernel:kProcess") > launches, filtered) << "filtered on the device";
    EXPECT_EQ(quelmarSimLiveAllocations(), 0);
    EXPECT_EQ(platform::memtest::liveBlocks(), blocks);
}

INSTANTIATE_TEST_SUITE_P(Depths, GeometrySweep,
                         ::testing::Values(32, 16, 24, 15, 8, 4, 2, 1, 12, 33, 64, 0, -16, 65, INT32_MIN));

}  // namespace
