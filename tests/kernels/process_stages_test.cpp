// The processing stages one at a time, at the values where a slip in a formula,
// a comparison or an evaluation order shows.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "frames.h"
#include "kernels/process.h"

namespace {

using namespace ktest;

qnr::Settings settings(float denoise, float deblock, float sigmaY) {
    return qnr::conditionSettings(CudaNRParams{denoise, 0.0f, deblock, 0.0f, 0.0f, sigmaY});
}

TEST(KernelHelpers, RoundsTiesToEvenAndClampsToByte) {
    EXPECT_EQ(qnr::roundToByte(2.5f), 2);
    EXPECT_EQ(qnr::roundToByte(3.5f), 4);
    EXPECT_EQ(qnr::roundToByte(254.5f), 254);
    EXPECT_EQ(qnr::roundToByte(-0.4f), 0);
    EXPECT_EQ(qnr::roundToByte(-80.0f), 0);
    EXPECT_EQ(qnr::roundToByte(255.6f), 255);
    EXPECT_EQ(qnr::roundToByte(1e30f), 255);
    EXPECT_EQ(qnr::roundToByte(std::numeric_limits<float>::quiet_NaN()), 0);
}

TEST(KernelHelpers, ConditionedSettingsClampAndTurnNaNIntoZero) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const qnr::Settings a = qnr::conditionSettings(CudaNRParams{5.0f, 0, 3.0f, 0, 0, 0});
    EXPECT_EQ(a.d, 4.0f);
    EXPECT_EQ(a.db, 1.0f);
    const qnr::Settings b = qnr::conditionSettings(CudaNRParams{-1.0f, 0, -2.0f, 0, 0, 0});
    EXPECT_EQ(b.d, 0.0f);
    EXPECT_EQ(b.db, 0.0f);
    const qnr::Settings c = qnr::conditionSettings(CudaNRParams{nan, 0, nan, 0, 0, 0});
    EXPECT_EQ(c.d, 0.0f);
    EXPECT_EQ(c.db, 0.0f);
    EXPECT_EQ(qnr::conditionSettings(defaultParams(3.0f)).db, 0.625f);
}

TEST(KernelHelpers, LumaUsesBt709Weights) {
    EXPECT_NEAR(qnr::luma(255.0f, 255.0f, 255.0f), 255.0f, 1e-3f);
    EXPECT_NEAR(qnr::luma(10.0f, 200.0f, 30.0f), 150.14f, 1e-3f);
    EXPECT_NEAR(qnr::luma(0.0f, 0.0f, 100.0f), 21.26f, 1e-4f);
    EXPECT_NEAR(qnr::luma(100.0f, 0.0f, 0.0f), 7.22f, 1e-4f);
}

TEST(SpatialStrengths, WorkedValues) {
    const qnr::Settings def = settings(1.8f, 0.0f, 3.0f);
    EXPECT_NEAR(qnr::impulseThreshold(def), 11.092f, 1e-3f);
    qnr::SpatialShape sh = qnr::spatialShape(def);
    EXPECT_NEAR(sh.sigmaS, 1.794f, 1e-3f);
    EXPECT_NEAR(sh.sigmaR, 20.07f, 1e-2f);
    EXPECT_EQ(sh.radius, 4);

    const qnr::Settings zero = settings(0.0f, 0.0f, 0.0f);
    EXPECT_EQ(qnr::impulseThreshold(zero), 8.0f);
    sh = qnr::spatialShape(zero);
    EXPECT_EQ(sh.sigmaS, 1.15f);
    EXPECT_EQ(sh.sigmaR, 3.0f);
    EXPECT_EQ(sh.radius, 3);

    const qnr::Settings strong = settings(4.0f, 0.0f, 20.0f);
    EXPECT_NEAR(qnr::impulseThreshold(strong), 70.28f, 1e-2f);
    sh = qnr::spatialShape(strong);
    EXPECT_NEAR(sh.sigmaS, 2.110f, 1e-3f);
    EXPECT_NEAR(sh.sigmaR, 211.2f, 0.1f);
    EXPECT_EQ(sh.radius, 5);
}

TEST(SpatialStrengths, RadiusThresholdsAreStrict) {
    EXPECT_EQ(qnr::spatialShape(settings(1.25f, 0, 10.0f)).radius, 3);
    EXPECT_EQ(qnr::spatialShape(settings(1.26f, 0, 10.0f)).radius, 4);
    EXPECT_EQ(qnr::spatialShape(settings(0.0f, 0, 10.01f)).radius, 4);
    EXPECT_EQ(qnr::spatialShape(settings(2.5f, 0, 16.0f)).radius, 4);
    EXPECT_EQ(qnr::spatialShape(settings(0.0f, 0, 16.5f)).radius, 5);
    EXPECT_EQ(qnr::spatialShape(settings(2.51f, 0, 0.0f)).radius, 5);
}

TEST(SpatialDenoise, WeightsAtWorkedDistances) {
    const float is = 1.0f / (qnr::spatialShape(settings(1.8f, 0, 3.0f)).sigmaS + 0.000001f);
    EXPECT_EQ(qnr::spatialWeight(0, is), 1.0f);
    EXPECT_NEAR(qnr::spatialWeight(1, is), 0.856f, 1e-3f);
    EXPECT_NEAR(qnr::spatialWeight(4, is), 0.537f, 1e-3f);
    EXPECT_NEAR(qnr::spatialWeight(16, is), 0.083f, 1e-3f);
    EXPECT_NEAR(qnr::spatialWeight(50, is), 4e-4f, 0.5e-4f);
    // Range weights with sigmaR of about 20.07.
    const float ir = 1.0f / (qnr::spatialShape(settings(1.8f, 0, 3.0f)).sigmaR + 0.000001f);
    auto range = [&](float diff) { const float u = diff * ir; return qnr::fastExp(u * (-0.5f * u)); };
    EXPECT_NEAR(range(10.0f), 0.883f, 1e-3f);
    EXPECT_NEAR(range(40.0f), 0.137f, 1e-3f);
}

// The three code shapes must give the sums of the plain row-by-row loop, bit
// for bit, including at the frame's corner where taps repeat edge pixels.
TEST(SpatialDenoise, CodeShapesMatchThePlainWindowLoop) {
    const Frame f = makeNoise(13, 11, 3);
    const float is = 1.0f / (1.7f + 0.000001f);
    for (int radius = 3; radius <= 5; ++radius) {
        for (const auto& [x, y] : {std::pair{0, 0}, std::pair{6, 5}, std::pair{12, 10}, std::pair{3, 9}}) {
            const qnr::BilateralTap tap{f.view(), x, y, 90.0f, 1.0f / (25.0f + 0.000001f)};
            qnr::BilateralSums<> want{0, 0, 0, 0};
            for (int dy = -radius; dy <= radius; ++dy)
                for (int dx = -radius; dx <= radius; ++dx)
                    tap.add(want, dx, dy, qnr::spatialWeight(dx * dx + dy * dy, is));
            const qnr::BilateralSums got = radius == 3   ? qnr::bilateral3(tap, is)
                                           : radius == 4 ? qnr::bilateral4(tap, is)
                                                         : qnr::bilateral5(tap, is);
            EXPECT_EQ(got.b, want.b) << radius << " at " << x << "," << y;
            EXPECT_EQ(got.g, want.g);
            EXPECT_EQ(got.r, want.r);
            EXPECT_EQ(got.w, want.w);
        }
    }
}

TEST(SpatialDenoise, WindowWhoseWeightsAllUnderflowGivesBlack) {
    // Every luma is about 255 away from the reference: each range weight is 0.
    const Frame f = makeFrame(9, 9, grey(255));
    const qnr::Rgb s = qnr::spatialDenoise(f.view(), 4, 4, 0.0f, qnr::SpatialShape{1.15f, 3.0f, 3});
    EXPECT_EQ(s.b, 0.0f);
    EXPECT_EQ(s.g, 0.0f);
    EXPECT_EQ(s.r, 0.0f);
}

TEST(LocalMedians, CornerPixelRepeatsTheEdgeWithItsMultiplicity) {
    // At (0,0) the centre counts four times, (1,0) and (0,1) twice, (1,1) once.
    Frame f = makeFrame(2, 2, grey(0));
    f.at(0, 0) = grey(10);
    f.at(1, 0) = grey(50);
    f.at(0, 1) = grey(60);
    f.at(1, 1) = grey(255);
    EXPECT_EQ(qnr::median3x3(qnr::readNeighbourhood(f.view(), 0, 0)), qnr::luma(grey(50)));
    // At (1,1): itself four times, (0,1) and (1,0) twice, (0,0) once.
    EXPECT_EQ(qnr::median3x3(qnr::readNeighbourhood(f.view(), 1, 1)), qnr::luma(grey(60)));
}

TEST(LocalMedians, OnePixelWideFrame) {
    Frame f = makeFrame(1, 3, grey(10));
    f.at(0, 1) = grey(100);
    f.at(0, 2) = grey(200);
    const qnr::Neighbourhood n = qnr::readNeighbourhood(f.view(), 0, 1);
    EXPECT_EQ(qnr::median3x3(n), qnr::luma(grey(100)));
    EXPECT_EQ(qnr::medianRow5(f.view(), n, 0, 1), n.y[1][1]);
    // Row 0: 10 three times from above (clamped), 10 at, 100 below.
    EXPECT_EQ(qnr::median3x3(qnr::readNeighbourhood(f.view(), 0, 0)), qnr::luma(grey(10)));
}

TEST(LocalMedians, SelectTheMiddleValueOfAnyOrder) {
    float a[9] = {9, 1, 8, 2, 7, 3, 6, 4, 5};
    EXPECT_EQ(qnr::median9(a), 5.0f);
    float b[9] = {1, 1, 1, 1, 9, 9, 9, 9, 9};
    EXPECT_EQ(qnr::median9(b), 9.0f);
    float c[5] = {50, 40, 30, 20, 10};
    EXPECT_EQ(qnr::median5(c), 30.0f);
    float d[5] = {3, 3, 100, 100, 3};
    EXPECT_EQ(qnr::median5(d), 3.0f);
}

Frame impulseFrame(int centre) {
    Frame f = makeFrame(5, 5, grey(100));
    f.at(2, 2) = grey(centre);
    return f;
}

qnr::Reference<> reference(const Frame& f, const qnr::Settings& s) {
    return qnr::correctImpulse(s, f.view(), qnr::readNeighbourhood(f.view(), 2, 2), 2, 2);
}

TEST(ImpulseCorrection, IsolatedBrightPixelIsPulledTowardItsMedian) {
    const Frame f = impulseFrame(200);
    const qnr::Reference r = reference(f, settings(1.8f, 0.0f, 0.0f));
    EXPECT_EQ(r.b, 160.0f);
    EXPECT_EQ(r.r, 160.0f);
    EXPECT_NEAR(r.yref, 160.0f, 1e-3f);
}

TEST(ImpulseCorrection, BlackCentreKeepsItsValues) {
    const qnr::Reference r = reference(impulseFrame(0), settings(1.8f, 0.0f, 0.0f));
    EXPECT_EQ(r.yref, 0.0f);
    EXPECT_EQ(r.b, 0.0f);
}

TEST(ImpulseCorrection, OffWhenDenoiseAndDeblockAreLow) {
    const Frame f = impulseFrame(200);
    // deblock 0.1 is db 0.05: still off.
    const qnr::Reference off = reference(f, settings(0.15f, 0.1f, 0.0f));
    EXPECT_EQ(off.yref, qnr::luma(grey(200)));
    EXPECT_EQ(off.b, 200.0f);
    // A little deblocking switches it on.
    EXPECT_NEAR(reference(f, settings(0.15f, 0.11f, 0.0f)).yref, 160.0f, 1e-3f);
}

TEST(ImpulseCorrection, HorizontalMedianCatchesWhatTheSquareMisses) {
    // A bright vertical line: the 3x3 median is bright (the centre column and
    // one neighbour column are), the row of five is dark.
    Frame f = makeFrame(7, 5, grey(100));
    for (int y = 0; y < 5; ++y) {
        f.at(3, y) = grey(200);
        f.at(4, y) = grey(200);
    }
    const qnr::Reference r = qnr::correctImpulse(settings(1.8f, 0.0f, 0.0f), f.view(),
                                                 qnr::readNeighbourhood(f.view(), 3, 2), 3, 2);
    EXPECT_EQ(r.b, 160.0f);
}

TEST(TemporalBlend, WeightThresholdAtSigmaZero) {
    // Scale 7 at sigmaY 0: a luma 30 away is kept (weight ~1.03e-4), 31 away dropped.
    const float base = qnr::luma(grey(100));
    EXPECT_GT(qnr::similarity(qnr::luma(grey(130)), base, 7.0f), 0.0001f);
    EXPECT_LT(qnr::similarity(qnr::luma(grey(131)), base, 7.0f), 0.0001f);

    for (int diff : {30, 31}) {
        Frame cur = makeFrame(4, 4, grey(100));
        ProcessInputs in(cur);
        in.prev = makeFrame(4, 4, grey(100 + diff));
        in.prev2 = makeFrame(4, 4, grey(250));
        CudaNRParams p{0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f};
        const qnr::ProcessArgs a = processArgs(in, nullptr, p);
        const qnr::Rgb s{100.0f, 100.0f, 100.0f};
        const qnr::Rgb t = qnr::temporalBlend(a, qnr::conditionSettings(p), 1, 1, base, s);
        if (diff == 30)
            EXPECT_GT(t.g, 100.0f);
        else
            EXPECT_EQ(t.g, 100.0f);
    }
}

TEST(TemporalBlend, EqualLumasAverageWithTheSecondFrameAt085) {
    Frame cur = makeFrame(20, 20, grey(100));
    ProcessInputs in(cur);
    // Vectors far outside the frame fetch the nearest edge pixel; only those
    // two pixels match the reference luma.
    in.prev = makeFrame(20, 20, grey(250));
    in.prev2 = makeFrame(20, 20, grey(250));
    in.prev.at(19, 0) = grey(100);
    in.prev2.at(0, 19) = grey(100);
    in.mv1[0] = int2{1000, -1000};
    in.mv2[0] = int2{-2147483647, 2147483647};
    const CudaNRParams p{0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    const qnr::ProcessArgs a = processArgs(in, nullptr, p);
    const float yref = qnr::luma(grey(100));
    const qnr::Rgb t = qnr::temporalBlend(a, qnr::conditionSettings(p), 3, 3, yref, qnr::Rgb{40, 40, 40});
    EXPECT_NEAR(t.g, (40.0f + 100.0f + 0.85f * 100.0f) / 2.85f, 1e-3f);
    // t = 0.01 skips the stage; the buffers are not even read.
    CudaNRParams skip = p;
    skip.temporal = 0.01f;
    qnr::ProcessArgs none = processArgs(in, nullptr, skip);
    none.prev = none.prev2 = nullptr;
    none.mv1 = none.mv2 = nullptr;
    none.blocksX = 0;
    EXPECT_EQ(qnr::temporalBlend(none, qnr::conditionSettings(skip), 3, 3, yref, qnr::Rgb{40, 40, 40}).g, 40.0f);
}

TEST(DeblockStage, PositionRule) {
    const qnr::Settings s = settings(0.0f, 2.0f, 0.0f);  // db 1: k = 0.55 * 0.1 on flat input
    const float full = 0.55f * (0.1f * 1.0f);
    EXPECT_FLOAT_EQ(qnr::deblockWeight(s, 8, 8, 0.0f), full);
    EXPECT_FLOAT_EQ(qnr::deblockWeight(s, 7, 3, 0.0f), full);
    EXPECT_FLOAT_EQ(qnr::deblockWeight(s, 9, 9, 0.0f), full * 0.65f);
    EXPECT_FLOAT_EQ(qnr::deblockWeight(s, 14, 4, 0.0f), full * 0.65f);
    EXPECT_EQ(qnr::deblockWeight(s, 10, 3, 0.0f), 0.0f);
    EXPECT_EQ(qnr::deblockWeight(s, 4, 4, 0.0f), 0.0f);
    // Strong edges are left alone; the weight tops out at 0.42.
    EXPECT_EQ(qnr::deblockWeight(s, 8, 8, 56.0f), 0.0f);
    EXPECT_FLOAT_EQ(qnr::deblockWeight(settings(4.0f, 2.0f, 20.0f), 0, 0, 0.0f), 0.42f);
}

TEST(StabiliseStage, AcceptanceLimitIsStrictAndFloorsAt12) {
    qnr::Settings s = settings(0.0f, 0.0f, 0.0f);
    s.stabilize = 0.3f;
    EXPECT_EQ(qnr::stabiliseWeight(s, 1.0f, 100.0f + 11.9f, 100.0f), 0.3f);
    EXPECT_EQ(qnr::stabiliseWeight(s, 1.0f, 100.0f + 12.0f, 100.0f), 0.0f);
    EXPECT_EQ(qnr::stabiliseWeight(s, 1.0f, 100.0f - 11.9f, 100.0f), 0.3f);
    s.stabilize = 1.0f;
    EXPECT_EQ(qnr::stabiliseWeight(s, 1.0f, 100.0f, 100.0f), 0.45f);
    s.stabilize = 0.0f;
    EXPECT_EQ(qnr::stabiliseWeight(s, 1.0f, 100.0f, 100.0f), 0.0f);
}

TEST(SharpenStage, CapsByNoiseLevel) {
    EXPECT_EQ(qnr::sharpenCap(8.0f), 0.14f);
    EXPECT_EQ(qnr::sharpenCap(8.01f), 0.10f);
    EXPECT_EQ(qnr::sharpenCap(16.0f), 0.10f);
    EXPECT_EQ(qnr::sharpenCap(24.0f), 0.07f);
    EXPECT_EQ(qnr::sharpenCap(25.0f), 0.05f);
    qnr::Settings def = qnr::conditionSettings(defaultParams(3.0f));
    EXPECT_FLOAT_EQ(qnr::sharpenAmount(def), 1.0f / 16.0f);
}

TEST(SharpenStage, FlatNeighbourhoodGetsNoDetail) {
    const Frame f = makeFrame(5, 5, grey(90));
    const qnr::Neighbourhood n = qnr::readNeighbourhood(f.view(), 2, 2);
    const qnr::Rgb s{95.0f, 95.0f, 95.0f};
    const qnr::Rgb out = qnr::sharpen(settings(0, 0, 0), n, n.y[1][1], 1.0f, 0.14f, qnr::boxMean(n), s);
    EXPECT_EQ(out.g, 95.0f);
}

qnr::Reference<> refOf(uchar4 p) { return qnr::Reference{qnr::luma(p), float(p.x), float(p.z)}; }

TEST(OutputStage, KeepsTheColourAndTakesOnlyTheLumaChange) {
    const qnr::Settings s = settings(0, 0, 0);
    const qnr::Reference ref = refOf(bgr(10, 200, 30));
    const uchar4 a = qnr::recombine(s, ref, qnr::Rgb{15.0f, 205.0f, 35.0f});
    EXPECT_TRUE(sameBgr(a, bgr(15, 205, 35)));
    EXPECT_EQ(a.w, 255);
    // Whatever colour the running result has, only its luma counts.
    const float y = ref.yref + 5.0f;
    const uchar4 b = qnr::recombine(s, ref, qnr::Rgb{y, y, y});
    EXPECT_TRUE(sameBgr(b, bgr(15, 205, 35)));
}

TEST(OutputStage, LargeLumaChangesAreScaledWhole) {
    const qnr::Settings s = settings(0, 0, 0);  // limit 7
    const qnr::Reference ref = refOf(grey(100));
    EXPECT_TRUE(sameBgr(qnr::recombine(s, ref, qnr::Rgb{107, 107, 107}), grey(107)));
    EXPECT_TRUE(sameBgr(qnr::recombine(s, ref, qnr::Rgb{108, 108, 108}), grey(104)));  // +3.6
    EXPECT_TRUE(sameBgr(qnr::recombine(s, ref, qnr::Rgb{40, 40, 40}), grey(73)));     // -27
    EXPECT_TRUE(sameBgr(qnr::recombine(s, refOf(grey(250)), qnr::Rgb{270, 270, 270}), grey(255)));
}

}  // namespace
