// The helpers other suites' checks rest on: a comparison or a guard that
// cannot fail would make every test built on it pass whatever the code does.
#include <gtest/gtest.h>

#include "tests/support/bytes.h"
#include "tests/support/frames.h"
#include "tests/support/tolerance.h"

namespace {

using namespace qtest;

TEST(TestSupport, FrameComparisonsSeeEveryChannelThePaddingAndTheGeometry) {
    const Frame f = noise(5, 3, 7, 0, 255, 2);
    EXPECT_TRUE(samePixels(f, f));
    for (int channel = 0; channel < 4; ++channel) {
        Frame g = f;
        uchar4& p = g.at(4, 2);
        unsigned char* const channels[] = {&p.x, &p.y, &p.z, &p.w};
        *channels[channel] ^= 1;
        EXPECT_FALSE(samePixels(f, g)) << channel;
        EXPECT_EQ(sameBgr(f.at(4, 2), g.at(4, 2)), channel == 3) << channel;
    }
    Frame padding = f;
    padding.at(5, 0).x ^= 1;
    EXPECT_FALSE(samePixels(f, padding));
    EXPECT_FALSE(samePixels(filled(6, 2, grey(9)), filled(4, 3, grey(9))));
    EXPECT_FALSE(samePixels(filled(4, 3, grey(9)), filled(4, 3, grey(9), 1)));
}

TEST(TestSupport, ByteDifferencesCountUnitsAndTheLargestStep) {
    const std::vector<uint8_t> a = {10, 20, 30, 40, 50, 60, 70, 80};
    std::vector<uint8_t> b = a;
    b[1] = 23;
    b[2] = 29;
    b[7] = 255;
    const Difference pixels = CompareBytes(a, b, 4);
    EXPECT_EQ(pixels.largest, 175);
    EXPECT_EQ(pixels.differing, 2u);
    EXPECT_EQ(pixels.compared, 2u);
    const Difference bytes = CompareBytes(a, b, 1);
    EXPECT_EQ(bytes.differing, 3u);
    EXPECT_DOUBLE_EQ(bytes.share(), 3.0 / 8.0);
    EXPECT_EQ(CompareBytes(a, {}, 1).compared, 0u) << "only what both hold is read";
}

TEST(TestSupport, GuardsCatchAWriteJustOutsideTheBuffer) {
    GuardedBuffer inside = NoisyFrame(16, 3);
    inside.data()[0] = inside.data()[15] = 0;
    EXPECT_TRUE(inside.guardsIntact());
    for (std::ptrdiff_t at : {-1, 16}) {
        GuardedBuffer b(16);
        b.data()[at] = 0;
        EXPECT_FALSE(b.guardsIntact()) << at;
    }
}

TEST(TestSupport, NoiseDependsOnItsSeedAndStaysInRange) {
    EXPECT_EQ(NoiseBytes(64, 1), NoiseBytes(64, 1));
    EXPECT_NE(NoiseBytes(64, 1), NoiseBytes(64, 2));
    const Frame f = noise(9, 7, 4, 100, 104, 3);
    EXPECT_FALSE(samePixels(f, noise(9, 7, 5, 100, 104, 3)));
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x)
            for (unsigned char c : {f.at(x, y).x, f.at(x, y).y, f.at(x, y).z, f.at(x, y).w})
                ASSERT_TRUE(c >= 100 && c <= 104) << x << "," << y;
}

}  // namespace
