// Rows are split into bands only where the split cannot change what a row
// reads: large frames whose two sides share no byte.
#include <gtest/gtest.h>

#include <vector>

#include "platform/row_bands.h"

namespace {

using platform::RowBandCount;
using platform::RowSpan;

constexpr ptrdiff_t kPitch = 4096;
constexpr long long kRows = 600;  // 2.4 MB each side: worth splitting

TEST(RowBands, SplitOnlyLargeFramesWhoseSidesShareNoByte) {
    std::vector<unsigned char> buffer(kPitch * kRows * 2);
    unsigned char* const base = buffer.data();
    const RowSpan top{base, kPitch, kPitch};
    EXPECT_GT(RowBandCount(top, {base + kPitch * kRows, kPitch, kPitch}, kRows), 1u);
    EXPECT_EQ(RowBandCount(top, {base + kPitch * kRows, kPitch, kPitch}, 2), 1u) << "too small to gain";

    // Each row onto the next: only row order gives every row what it reads.
    EXPECT_EQ(RowBandCount(top, {base + kPitch, kPitch, kPitch}, kRows), 1u);
    // Half rows whose only shared bytes are in the source's last row.
    const RowSpan halves{base, kPitch, kPitch / 2};
    EXPECT_EQ(RowBandCount(halves, {base + kPitch * (kRows - 1) + 8, kPitch, kPitch / 2}, kRows), 1u);
    // The same frame walked bottom-up onto itself shifted by a row.
    const RowSpan bottomUp{base + kPitch * kRows, -kPitch, kPitch};
    EXPECT_EQ(RowBandCount(bottomUp, {base + kPitch * (kRows - 1), -kPitch, kPitch}, kRows), 1u);
}

}  // namespace
