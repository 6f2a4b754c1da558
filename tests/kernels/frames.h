// The kernel tests' frames, padded beyond the width as device pitches are,
// and one kProcess launch through the CPU executor.
#pragma once

#include <cstdint>
#include <vector>

#include "kernels/cpu_executor_testing.h"
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

// Runs kProcess with a grid that covers the frame (or the given grid).
inline Frame runProcess(const ProcessInputs& in, const CudaNRParams& p, cpuexec::Dim3 grid = {0, 0, 0}) {
    Frame out = in.cur;
    out.px.assign(in.cur.px.size(), bgr(1, 2, 3, 4));
    if (grid.x == 0) grid = qnr::processGrid(in.cur.width, in.cur.height);
    cpuexec::runProcess(grid, in.cur.data(), in.prev.data(), in.prev2.data(), in.prevOut.data(), in.mv1.data(),
                        in.mv2.data(), in.blocksX, out.data(), in.cur.width, in.cur.height, in.cur.stride, p);
    return out;
}

}  // namespace ktest
