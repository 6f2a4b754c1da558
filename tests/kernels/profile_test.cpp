// kProfileAuto through the CPU executor, with the profiling launch geometry.
#include <gtest/gtest.h>

#include "frames.h"

namespace {

using namespace ktest;

struct Sums {
    double sum = 0.0, weight = 0.0;
};

Sums profile(const Frame& f, Sums start = {}) {
    cpuexec::runProfileAuto(qnr::profileGrid(f.width, f.height), f.data(), f.width, f.height, f.stride,
                            qnr::kProfileStep, &start.sum, &start.weight);
    return start;
}

TEST(NoiseProfile, FlatFrameHasNoResidualAndFullWeightPerPoint) {
    // 37 x 22: points at x = 0..36 (10) and y = 0..20 (6).
    // Nine equal lumas times the float 1/9 leave only rounding behind.
    const Sums s = profile(makeFrame(37, 22, bgr(30, 140, 90)));
    EXPECT_LT(s.sum / s.weight, 1e-4);
    EXPECT_EQ(s.weight, 60.0);
}

TEST(NoiseProfile, IsolatedSampleDeviationsGiveEightNinthsOfTheirSize) {
    // Only sample points deviate, by 9, and their neighbours are flat, so each
    // has residual 8 and weight 1. Points on row and column 0 would count
    // themselves as neighbours; they stay flat (residual 0, weight 1).
    Frame f = makeFrame(64, 40, grey(100));
    for (int y = 4; y < f.height; y += 4)
        for (int x = 4; x < f.width; x += 4) f.at(x, y) = grey((x + y) % 8 ? 109 : 91);
    const Sums s = profile(f);
    EXPECT_EQ(s.weight, 160.0);  // 16 x 10 points
    EXPECT_NEAR(s.sum, 15 * 9 * 8.0, 0.05);
}

TEST(NoiseProfile, SteepNeighbourhoodsCarryNoWeight) {
    // A horizontal ramp of 40 per pixel up to a plateau of 255.
    Frame f = makeFrame(20, 8, grey(0));
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) f.at(x, y) = grey(x * 40 > 255 ? 255 : x * 40);
    // Per point row: x = 0 has gradient 40 (weight 1/3, residual 40/3), x = 4
    // gradient 80 (weight 0), x = 8, 12, 16 lie on the 255 plateau (weight 1).
    const Sums s = profile(f);
    EXPECT_NEAR(s.weight, 2 * (1.0 / 3 + 3), 1e-4);
    EXPECT_NEAR(s.sum, 2 * (40.0 / 3) / 3, 1e-3);
}

TEST(NoiseProfile, AddsOntoTheAccumulatorsInBlockOrder) {
    const Frame f = makeNoise(200, 120, 17, 90, 110);
    const Sums fresh = profile(f);
    const Sums onTop = profile(f, Sums{1.5, 2.0});
    EXPECT_DOUBLE_EQ(onTop.sum, fresh.sum + 1.5);
    EXPECT_DOUBLE_EQ(onTop.weight, fresh.weight + 2.0);
    cpuexec::setWorkerLimit(1);
    const Sums serial = profile(f);
    cpuexec::setWorkerLimit(0);
    EXPECT_EQ(serial.sum, fresh.sum);
    EXPECT_EQ(serial.weight, fresh.weight);

    // Each layer of a grid two deep adds its totals again, as a GPU's would.
    cpuexec::Dim3 deep = qnr::profileGrid(f.width, f.height);
    deep.z = 2;
    Sums twice;
    cpuexec::runProfileAuto(deep, f.data(), f.width, f.height, f.stride, qnr::kProfileStep, &twice.sum, &twice.weight);
    EXPECT_DOUBLE_EQ(twice.sum, 2 * fresh.sum);
    EXPECT_DOUBLE_EQ(twice.weight, 2 * fresh.weight);
}

}  // namespace
