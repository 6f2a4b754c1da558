// Frames of depths the filter does not take, copied through the run callback
// whole. Every bitmap ends flush against a guard page and the source is
// read-only, so a byte read or written past the last row faults; the row sizes
// are the host's, written out here rather than taken from the module.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/fuzz/hostile_host.h"
#include "tests/host/drive.h"
#include "tests/host/simulated_driver.h"

namespace {

using hostile::Geometry;
using hostile::GuardedBitmap;

// One bitmap: its pitch as the mapping lays it out, and whether the host's
// record gives a zero pitch instead (the mapping then holds packed rows only).
struct Side {
    int64_t pitch;
    bool recordZero = false;
};

class CopyThrough : public ::testing::Test {
protected:
    DriverLeftClean clean;
    DrivenFilter f;

    void SetUp() override {
        ASSERT_TRUE(f.attach(VirtualdubFilterModuleInit2, VirtualdubFilterModuleDeinit));
    }

    // Runs a w x h frame of `depth` whose rows hold rowBytes; each destination
    // row must hold the source row's bytes and, up to its pitch, what it held.
    void expectWholeRows(int32_t depth, int32_t w, int32_t h, int64_t rowBytes, Side in, Side out) {
        const std::string at = "depth " + std::to_string(depth) + " w " + std::to_string(w) + " pitches " +
                               std::to_string(in.pitch) + (in.recordZero ? " (as 0) " : " ") +
                               std::to_string(out.pitch) + (out.recordZero ? " (as 0)" : "");
        GuardedBitmap src(Geometry{depth, w, h, in.pitch, 0, true}, 7);
        GuardedBitmap dst(Geometry{depth, w, h, out.pitch, 0, true}, 8);
        ASSERT_TRUE(src.mapped() && dst.mapped());
        // The mappings are sized by the host's row, so the last row ends at the guard page.
        ASSERT_EQ(src.rows().bytes, rowBytes) << at;
        src.makeReadOnly();
        src.describe(f.inst.src);
        dst.describe(f.inst.dst);
        if (in.recordZero) f.inst.src->pitch = 0;
        if (out.recordZero) f.inst.dst->pitch = 0;
        modhost::CallRun(&f.inst);

        const int64_t step = out.pitch < 0 ? -out.pitch : out.pitch;
        for (int r = 0; r < h; ++r) {
            ASSERT_EQ(std::memcmp(dst.row(r), src.row(r), static_cast<std::size_t>(rowBytes)), 0)
                << at << " row " << r;
            const bool lastInMemory = out.pitch < 0 ? r == 0 : r + 1 == h;  // the guard page follows it
            if (!lastInMemory && step > rowBytes) {
                EXPECT_EQ(std::memcmp(dst.row(r) + rowBytes, dst.filledRow(r) + rowBytes,
                                      static_cast<std::size_t>(step - rowBytes)),
                          0)
                    << at << ": the padding after row " << r << " is the host's";
            }
        }
        EXPECT_EQ(f.fd()->stageIn, nullptr) << at << ": nothing staged";
    }
};

// 5-5-5 pixels take 2 bytes each: 356 bytes of each 178-pixel row, not the
// 334 that 15 bits a pixel would make; forwards and bottom-up.
TEST_F(CopyThrough, FifteenBitRowsAreTwoBytesAPixel) {
    expectWholeRows(15, 178, 33, 356, {360}, {372});
    expectWholeRows(15, 178, 33, 356, {-372}, {360});
    expectWholeRows(15, 17, 3, 34, {37}, {-35});
}

// Sub-byte depths take whole bits, the row rounded up to a whole byte; byte
// depths a byte per 8 bits, with no padding the pitch does not give.
TEST_F(CopyThrough, OtherDepthsTakeWholeBitsRoundedUpToBytes) {
    const struct {
        int32_t depth, w;
        int64_t bytes;
    } rows[] = {{1, 13, 2}, {1, 16, 2}, {2, 13, 4}, {2, 3, 1}, {4, 13, 7}, {4, 1, 1}, {8, 13, 13}, {24, 13, 39}};
    for (const auto& row : rows) {
        expectWholeRows(row.depth, row.w, 3, row.bytes, {row.bytes + 3}, {row.bytes + 5});
        expectWholeRows(row.depth, row.w, 3, row.bytes, {row.bytes}, {-(row.bytes + 1)});
    }
}

// A zero pitch means the depth's packed rows: read and written at that stride,
// nothing past the last packed row, and no 4-byte row padding (13 bytes for
// 13 pixels of 8 bits).
TEST_F(CopyThrough, AZeroPitchMeansTheDepthsPackedRows) {
    const struct {
        int32_t depth, w;
        int64_t packed;
    } rows[] = {{15, 178, 356}, {15, 7, 14}, {15, 1, 2}, {8, 13, 13}, {8, 178, 178}, {4, 13, 7}, {24, 5, 15}};
    for (const auto& row : rows) {
        const Side packed{row.packed, true};
        expectWholeRows(row.depth, row.w, 4, row.packed, packed, {row.packed + 6});
        expectWholeRows(row.depth, row.w, 4, row.packed, {-(row.packed + 2)}, packed);
        expectWholeRows(row.depth, row.w, 4, row.packed, packed, packed);
    }
}

}  // namespace
