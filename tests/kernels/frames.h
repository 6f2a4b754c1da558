// Small frame builders for the kernel tests. Rows are padded beyond the width,
// as device pitches are, and the padding holds a pattern no kernel may read.
#pragma once

#include <cstdint>
#include <vector>

#include "kernels/common.h"
#include "kernels/cpu_executor_testing.h"
#include "kernels/helpers.h"

namespace ktest {

struct Frame {
    int width = 0, height = 0, pitch = 0;
    std::vector<uchar4> px;

    uchar4& at(int x, int y) { return px[static_cast<std::size_t>(y) * pitch + x]; }
    const uchar4& at(int x, int y) const { return px[static_cast<std::size_t>(y) * pitch + x]; }
    const uchar4* data() const { return px.data(); }
    uchar4* data() { return px.data(); }
    qnr::FrameView view() const { return qnr::FrameView{px.data(), width, height, pitch}; }
};

inline uchar4 bgr(int b, int g, int r, int a = 255) {
    return uchar4{static_cast<unsigned char>(b), static_cast<unsigned char>(g),
                  static_cast<unsigned char>(r), static_cast<unsigned char>(a)};
}

inline uchar4 grey(int v) { return bgr(v, v, v); }

inline Frame makeFrame(int width, int height, uchar4 fill, int padding = 5) {
    Frame f;
    f.width = width;
    f.height = height;
    f.pitch = width + padding;
    f.px.assign(static_cast<std::size_t>(f.pitch) * height, bgr(7, 251, 13, 99));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) f.at(x, y) = fill;
    return f;
}

// Deterministic pseudo-random texture.
inline Frame makeNoise(int width, int height, std::uint32_t seed, int lo = 0, int hi = 255) {
    Frame f = makeFrame(width, height, grey(0));
    std::uint32_t s = seed * 2654435761u + 1;
    auto next = [&] {
        s = s * 1664525u + 1013904223u;
        return lo + static_cast<int>((s >> 8) % static_cast<std::uint32_t>(hi - lo + 1));
    };
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int b = next(), g = next(), r = next();
            f.at(x, y) = bgr(b, g, r, next());
        }
    return f;
}

inline bool sameBgr(uchar4 a, uchar4 b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

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
                        in.mv2.data(), in.blocksX, out.data(), in.cur.width, in.cur.height, in.cur.pitch, p);
    return out;
}

inline CudaNRParams defaultParams(float sigmaY = 3.0f) {
    return CudaNRParams{1.8f, 0.78f, 1.25f, 0.08f, 0.2f, sigmaY};
}

}  // namespace ktest
