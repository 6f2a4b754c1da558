// kProfileAuto through the CPU executor, with the profiling launch geometry.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "frames.h"

namespace {

using namespace ktest;

struct Sums {
    double sum = 0.0, weight = 0.0;
};

// Each block's slot, as kProfileAuto leaves them.
struct Slots {
    std::vector<double> sums, weights;
};

Slots profileSlots(const Frame& f, cpuexec::Dim3 grid, double fill = 0.0) {
    const std::size_t blocks = static_cast<std::size_t>(grid.x) * grid.y;
    Slots s{std::vector<double>(blocks, fill), std::vector<double>(blocks, fill)};
    cpuexec::runProfileAuto(grid, profileArgs(f, qnr::kProfileStep, s.sums.data(), s.weights.data()));
    return s;
}

// The slots added in block order, as the host adds them.
Sums profile(const Frame& f) {
    const Slots slots = profileSlots(f, qnr::profileGrid(f.width, f.height));
    Sums s;
    for (std::size_t i = 0; i < slots.sums.size(); ++i) {
        s.sum += slots.sums[i];
        s.weight += slots.weights[i];
    }
    return s;
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

// Slot by * gridX + bx holds block (bx, by)'s totals, whatever was there
// before, and blocks past the frame's points write a zero. 200 x 90 has 50 x
// 23 points: full blocks of 16 x 16, a last column of 2 and a last row of 7.
TEST(NoiseProfile, EachBlockWritesItsTotalsToItsOwnSlotRowByRow) {
    const Frame flat = makeFrame(200, 90, grey(77));
    const cpuexec::Dim3 grid{5, 3, 1};  // one column and one row of blocks beyond the points
    const Slots s = profileSlots(flat, grid, std::numeric_limits<double>::quiet_NaN());
    const std::vector<double> want{256, 256, 256, 32,  0,  //
                                   112, 112, 112, 14,  0,  //
                                   0,   0,   0,   0,   0};
    EXPECT_EQ(s.weights, want);
    for (double sum : s.sums) EXPECT_TRUE(sum >= 0.0 && sum < 1e-3) << sum;
}

// The slots are the same however the blocks are spread over workers and
// whichever layer of a deeper grid writes them last.
TEST(NoiseProfile, SlotsDependNeitherOnWorkersNorOnLayers) {
    const Frame f = makeNoise(200, 120, 17, 90, 110);
    const cpuexec::Dim3 grid = qnr::profileGrid(f.width, f.height);
    const Slots all = profileSlots(f, grid);
    cpuexec::setWorkerLimit(1);
    const Slots serial = profileSlots(f, grid);
    cpuexec::setWorkerLimit(0);
    EXPECT_EQ(serial.sums, all.sums);
    EXPECT_EQ(serial.weights, all.weights);

    cpuexec::Dim3 deep = grid;
    deep.z = 3;
    const Slots layered = profileSlots(f, deep, 5.0);
    EXPECT_EQ(layered.sums, all.sums);
    EXPECT_EQ(layered.weights, all.weights);
}

}  // namespace
