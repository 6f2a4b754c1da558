// The helpers other suites' checks rest on: a comparison or a guard that
// cannot fail, or noise that ignores its seed, would let those checks pass
// whatever the code does.
#include <gtest/gtest.h>

#include "tests/support/bytes.h"
#include "tests/support/frames.h"
#include "tests/support/sequences.h"
#include "tests/support/tolerance.h"

namespace {

using namespace qtest;

TEST(TestSupport, FrameComparisonsSeeEveryByteAndTheGeometry) {
    const Frame f = noise(5, 3, 7, 0, 255, 2);
    EXPECT_TRUE(samePixels(f, f));
    for (std::size_t byte = 0; byte < f.px.size() * 4; ++byte) {  // padding included
        Frame g = f;
        reinterpret_cast<unsigned char*>(g.px.data())[byte] ^= 1;
        ASSERT_FALSE(samePixels(f, g)) << byte;
        ASSERT_EQ(sameBgr(f.px[byte / 4], g.px[byte / 4]), byte % 4 == 3) << byte;
    }
    EXPECT_FALSE(samePixels(filled(6, 2, grey(9)), filled(4, 3, grey(9))));
    EXPECT_FALSE(samePixels(filled(4, 3, grey(9)), filled(4, 3, grey(9), 1)));
}

TEST(TestSupport, ByteDifferencesCountUnitsAndTheLargestStep) {
    const std::vector<uint8_t> a = {10, 20, 30, 40, 50, 60, 70, 80};
    const std::vector<uint8_t> b = {10, 23, 29, 40, 50, 60, 70, 255};
    const Difference pixels = CompareBytes(a, b, 4);
    EXPECT_EQ(pixels.largest, 175);
    EXPECT_EQ(pixels.differing, 2u);
    EXPECT_EQ(pixels.compared, 2u);
    EXPECT_DOUBLE_EQ(CompareBytes(a, b, 1).share(), 3.0 / 8.0);
    EXPECT_EQ(CompareBytes(a, {}, 1).compared, 0u) << "only what both hold is read";
}

TEST(TestSupport, GuardsCatchAWriteJustOutsideAndContentFollowsItsSeed) {
    GuardedBuffer inside = NoisyFrame(16, 3);
    inside.data()[0] = inside.data()[15] = 0;
    EXPECT_TRUE(inside.guardsIntact());
    for (std::ptrdiff_t at : {-1, 16}) {
        GuardedBuffer b(16);
        b.data()[at] = 0;
        EXPECT_FALSE(b.guardsIntact()) << at;
    }
    EXPECT_EQ(NoiseBytes(64, 1), NoiseBytes(64, 1));
    EXPECT_NE(NoiseBytes(64, 1), NoiseBytes(64, 2));
    EXPECT_FALSE(samePixels(noise(9, 7, 4, 100, 104), noise(9, 7, 5, 100, 104)));
    const Sequence s{16, 7, 3, 1};  // a late frame's grain is keyed without overflow
    EXPECT_NE(MakeFrame(s, 0), MakeFrame(s, 100000));
}

}  // namespace
