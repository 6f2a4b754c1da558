// The fused multiply-add the kernels use on hosts whose library one is inexact,
// and the luma every kernel starts from: both must be correctly rounded, or
// the CPU module drifts from the GPU by an ulp here and there.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "kernels/helpers.h"

namespace ktest {
float deviceFastExp(float v);  // tests/kernels/device_exp_twin.cpp
}

namespace {

std::uint32_t bitsOf(float v) {
    std::uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    return u;
}

// Same bits, or both NaN.
::testing::AssertionResult sameFloat(float got, float want) {
    if (bitsOf(got) == bitsOf(want) || (std::isnan(got) && std::isnan(want)))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << std::hexfloat << got << " instead of " << want;
}

struct Triple {
    float a, b, c;
};

// Products whose sum with c needs more than a double's 53 bits and sits just
// above a float tie: a plain double sum rounds onto the tie and then to even.
constexpr Triple kDoubleRounding[] = {
    {0x1.000082p+0f, 0x1.f03f04p+0f, 0x1p+14f},
    {0x1.0005cep+0f, 0x1.d33568p+0f, 0x1p+14f},
    {0x1.00123ap+0f, 0x1.ca1f62p+0f, 0x1p+14f},
    {0x1.00132ap+0f, 0x1.172b1ap+0f, 0x1p+14f},
};

TEST(ExactFma, RoundsOnceWhereADoubleSumWouldRoundTwice) {
    for (const Triple& t : kDoubleRounding) {
        const double plain = static_cast<double>(t.a) * t.b + t.c;
        ASSERT_NE(static_cast<float>(plain), std::fma(t.a, t.b, t.c)) << "not a hard case";
        EXPECT_TRUE(sameFloat(qnr::exactFmaf(t.a, t.b, t.c), std::fma(t.a, t.b, t.c)));
        EXPECT_TRUE(sameFloat(qnr::exactFmaf(-t.a, t.b, -t.c), std::fma(-t.a, t.b, -t.c)));
        EXPECT_TRUE(sameFloat(qnr::fusedMulAdd(t.a, t.b, t.c), std::fma(t.a, t.b, t.c)));
    }
}

TEST(ExactFma, SpecialValuesSignedZerosAndTinyResults) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float tiny = std::numeric_limits<float>::denorm_min();
    const Triple cases[] = {
        {inf, 0.0f, 1.0f},       {inf, 1.0f, -inf},      {nan, 1.0f, 2.0f},
        {2.0f, 3.0f, inf},       {1e30f, 1e30f, -1.0f},  {-0.0f, 1.0f, 0.0f},
        {-0.0f, 1.0f, -0.0f},    {3.0f, 2.0f, -6.0f},    {1e-30f, 1e-30f, tiny},
        {1e-20f, -1e-20f, 0.0f}, {0x1.000002p+0f, 0x1.fffffcp-1f, -1.0f},
        {1e-4f, -1e-4f, 0x1p+24f},  // the exact sum just below a power of two
    };
    for (const Triple& t : cases)
        EXPECT_TRUE(sameFloat(qnr::exactFmaf(t.a, t.b, t.c), std::fma(t.a, t.b, t.c)))
            << std::hexfloat << t.a << " " << t.b << " " << t.c;
}

TEST(ExactFma, MatchesTheLibraryOnRandomSumsAndCancellations) {
    std::uint64_t s = 0x9e3779b97f4a7c15ull;
    auto next = [&] {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    };
    auto randomFloat = [&](int minExp, int spread) {
        const std::uint32_t mantissa = static_cast<std::uint32_t>(next()) & 0x7fffffu;
        const int e = minExp + static_cast<int>(next() % static_cast<std::uint64_t>(spread));
        const float v = std::ldexp(1.0f + std::ldexp(static_cast<float>(mantissa), -23), e);
        return next() & 1 ? -v : v;
    };
    int mismatches = 0;
    for (int i = 0; i < 300000; ++i) {
        const float a = randomFloat(-20, 40), b = randomFloat(-20, 40);
        // Half the time c nearly cancels the product, within a few ulps.
        float c = randomFloat(-60, 120);
        if (i % 2) c = std::nextafter(-a * b, (next() & 1) ? 1e38f : -1e38f);
        mismatches += bitsOf(qnr::exactFmaf(a, b, c)) != bitsOf(std::fma(a, b, c));
    }
    EXPECT_EQ(mismatches, 0);
}

// Every 8-bit colour: (R*0.2126 + G*0.7152) + B*0.0722, each fused step rounded
// once, and the impulse correction's (G*0.7152 + R*0.2126) + B*0.0722. The
// reference sums are exact in double, so one narrowing rounds right.
TEST(KernelArithmetic, EveryColourHasTheCorrectlyRoundedLuma) {
    int wrong = 0, wrongImpulseOrder = 0;
    for (int r = 0; r < 256; ++r) {
        for (int g = 0; g < 256; ++g) {
            const float rg = static_cast<float>(static_cast<double>(g) * 0.7152f + (r * 0.2126f));
            const float gr = static_cast<float>(static_cast<double>(r) * 0.2126f + (g * 0.7152f));
            for (int b = 0; b < 256; ++b) {
                const float want = static_cast<float>(static_cast<double>(b) * 0.0722f + rg);
                const uchar4 p{static_cast<unsigned char>(b), static_cast<unsigned char>(g),
                               static_cast<unsigned char>(r), 0};
                wrong += qnr::luma(p) != want;
                const float impulse = static_cast<float>(static_cast<double>(b) * 0.0722f + gr);
                wrongImpulseOrder += qnr::lumaGreenFirst(float(b), float(g), float(r)) != impulse;
            }
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(wrongImpulseOrder, 0);
}

// 2^p against the C library's long double exp2, in units in the last place
// of the float result (of the smallest subnormal below the normal range).
double ulpError(float p) {
    const long double want = exp2l(static_cast<long double>(p));
    const long double ulp = want < 0x1p-126L ? 0x1p-149L : ldexpl(1.0L, ilogbl(want) - 23);
    return static_cast<double>(fabsl(static_cast<long double>(qnr::exp2Approx(p)) - want) / ulp);
}

// The weights take 2^p for p <= 0 down to where results underflow. The GPU's
// approximation is specified within 2 ulp; this one must not be worse.
TEST(FastExponential, WithinOneUlpOverTheWeightsRange) {
    double worst = 0.0;
    float worstAt = 0.0f;
    for (std::uint32_t bits = bitsOf(0.0f); bits <= bitsOf(151.0f); bits += 1009) {
        float p;
        std::memcpy(&p, &bits, sizeof p);
        const double e = ulpError(-p);
        if (e > worst) {
            worst = e;
            worstAt = -p;
        }
    }
    EXPECT_LE(worst, 1.0) << "at " << std::hexfloat << worstAt;
}

TEST(FastExponential, ExactWhereTheResultIsAPowerOfTwoAndDefinedEverywhere) {
    for (int n = -149; n <= 127; ++n) EXPECT_EQ(qnr::exp2Approx(static_cast<float>(n)), std::ldexp(1.0f, n)) << n;
    EXPECT_TRUE(sameFloat(qnr::exp2Approx(-0.0f), 1.0f));
    EXPECT_TRUE(sameFloat(qnr::fastExp(0.0f), 1.0f));  // the centre tap's weight
    const float inf = std::numeric_limits<float>::infinity();
    for (float below : {-151.0f, -200.0f, -3e38f, -inf}) EXPECT_TRUE(sameFloat(qnr::exp2Approx(below), 0.0f)) << below;
    for (float above : {128.0f, 300.0f, inf}) EXPECT_TRUE(sameFloat(qnr::exp2Approx(above), inf)) << above;
    EXPECT_TRUE(std::isnan(qnr::exp2Approx(std::numeric_limits<float>::quiet_NaN())));
}

// The device's own form (kernels/helpers.h's device branches, compiled for the
// host with the intrinsics they call) gives the host's bits: every 509th bit
// pattern, so every exponent, both signs, NaNs and infinities, and the edges
// of the clamped range.
TEST(FastExponential, TheDeviceFormGivesTheHostsBits) {
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> v;
    for (std::uint64_t bits = 0; bits <= 0xffffffffu; bits += 509) {
        const auto u = static_cast<std::uint32_t>(bits);
        float f;
        std::memcpy(&f, &u, sizeof f);
        v.push_back(f);
    }
    for (float p : {-151.0f, -150.5f, -149.0f, -126.0f, -0.5f, 0.5f, 127.0f, 127.99f, 128.0f}) {
        v.push_back(p / 1.4426950f);
        v.push_back(std::nextafter(p / 1.4426950f, -inf));
        v.push_back(std::nextafter(p / 1.4426950f, inf));
    }
    const float specials[] = {0.0f, -0.0f, inf, -inf, std::numeric_limits<float>::quiet_NaN(),
                              -std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::signaling_NaN(),
                              std::numeric_limits<float>::denorm_min(), -std::numeric_limits<float>::max()};
    v.insert(v.end(), std::begin(specials), std::end(specials));
    std::size_t differing = 0;
    float firstAt = 0.0f;
    for (float x : v) {
        if (!sameFloat(ktest::deviceFastExp(x), qnr::fastExp(x))) {
            if (differing++ == 0) firstAt = x;
        }
    }
    EXPECT_EQ(differing, 0u) << "first at " << std::hexfloat << firstAt;
}

}  // namespace
