// The kernel tests' frames, padded beyond the width as device pitches are,
// and one kProcess launch through the CPU executor.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/kernels/testing/cpu_executor_testing.h"
#include "tests/support/frames.h"
#include "tests/support/params.h"

namespace ktest {

using qtest::bgr;
using qtest::defaultParams;
using qtest::Frame;
using qtest::grey;
using qtest::sameBgr;

constexpr int kRowPadding = 5;

inline Frame makeFrame(int width, int height, uchar4 fill) { return qtest::filled(width, height, fill, kRowPadding); }

inline Frame makeNoise(int width, int height, std::uint32_t seed, int lo = 0, int hi = 255) {
    return qtest::noise(width, height, seed, lo, hi, kRowPadding);
}

// All inputs of one kProcess launch; the vectors default to zero.
struct ProcessInputs {
    Frame cur, prev, prev2, prevOut;
    std::vector<int2> mv1, mv2;
    int blocksX = 0;

    explicit ProcessInputs(const Frame& f) : cur(f), prev(f), prev2(f), prevOut(f) {
        blocksX = qnr::motionBlocksCovering(f.width);
        const std::size_t blocks = static_cast<std::size_t>(blocksX) * qnr::motionBlocksCovering(f.height);
        mv1.assign(blocks, int2{0, 0});
        mv2.assign(blocks, int2{0, 0});
    }
};

// kProcess's argument for `in` with the current frame's geometry, writing `out`.
inline qnr::ProcessArgs processArgs(const ProcessInputs& in, uchar4* out, const CudaNRParams& p) {
    return qnr::ProcessArgs{.cur = in.cur.data(),
                            .prev = in.prev.data(),
                            .prev2 = in.prev2.data(),
                            .prevOut = in.prevOut.data(),
                            .mv1 = in.mv1.data(),
                            .mv2 = in.mv2.data(),
                            .out = out,
                            .blocksX = in.blocksX,
                            .width = in.cur.width,
                            .height = in.cur.height,
                            .pitch = in.cur.stride,
                            .params = p};
}

// kEstimateMV16's argument: `cur` against `ref`, both with cur's geometry.
inline qnr::MotionArgs motionArgs(const Frame& cur, const Frame& ref, int2* mv, int blocksX, int blocksY, int radius,
                                  int step) {
    return qnr::MotionArgs{.cur = cur.data(),
                           .ref = ref.data(),
                           .mv = mv,
                           .width = cur.width,
                           .height = cur.height,
                           .pitch = cur.stride,
                           .blocksX = blocksX,
                           .blocksY = blocksY,
                           .radius = radius,
                           .step = step};
}

// kProfileAuto's argument for frame `f`.
inline qnr::ProfileArgs profileArgs(const Frame& f, int step, double* sums, double* weights) {
    return qnr::ProfileArgs{.src = f.data(),
                            .blockSums = sums,
                            .blockWeights = weights,
                            .width = f.width,
                            .height = f.height,
                            .pitch = f.stride,
                            .step = step};
}

// Runs kProcess with a grid that covers the frame (or the given grid).
inline Frame runProcess(const ProcessInputs& in, const CudaNRParams& p, cpuexec::Dim3 grid = {0, 0, 0}) {
    Frame out = in.cur;
    out.px.assign(in.cur.px.size(), bgr(1, 2, 3, 4));
    if (grid.x == 0) grid = qnr::processGrid(in.cur.width, in.cur.height);
    cpuexec::runProcess(grid, processArgs(in, out.data(), p));
    return out;
}

}  // namespace ktest
