// BGRA frames of uchar4 pixels: builders and exact comparisons. Rows may be
// padded beyond the width, as device pitches are; the padding holds a colour
// that no kernel may read or write.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/common.h"
#include "kernels/helpers.h"
#include "tests/support/noise.h"

namespace qtest {

struct Frame {
    int width = 0, height = 0;
    int stride = 0;  // pixels from one row to the next: the width and any padding
    std::vector<uchar4> px;

    int pitchBytes() const { return stride * 4; }
    uchar4& at(int x, int y) { return px[static_cast<std::size_t>(y) * stride + x]; }
    const uchar4& at(int x, int y) const { return px[static_cast<std::size_t>(y) * stride + x]; }
    uchar4* data() { return px.data(); }
    const uchar4* data() const { return px.data(); }
    qnr::FrameView view() const { return qnr::FrameView{px.data(), width, height, stride}; }
};

inline uchar4 bgr(int b, int g, int r, int a = 255) {
    return uchar4{static_cast<unsigned char>(b), static_cast<unsigned char>(g), static_cast<unsigned char>(r),
                  static_cast<unsigned char>(a)};
}

inline uchar4 grey(int v) { return bgr(v, v, v); }

inline Frame filled(int width, int height, uchar4 value, int padding = 0) {
    Frame f{width, height, width + padding, {}};
    f.px.assign(static_cast<std::size_t>(f.stride) * height, bgr(7, 251, 13, 99));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) f.at(x, y) = value;
    return f;
}

// Every channel, alpha included, drawn from lo..hi.
inline Frame noise(int width, int height, uint32_t seed, int lo = 0, int hi = 255, int padding = 0) {
    Frame f = filled(width, height, grey(0), padding);
    SeededNoise rng(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int b = rng.between(lo, hi), g = rng.between(lo, hi), r = rng.between(lo, hi);
            f.at(x, y) = bgr(b, g, r, rng.between(lo, hi));
        }
    return f;
}

// Gradients and a checkerboard moved by (dx, dy), plus noise: motion search
// and the flatness weights get something real to work on. Opaque, packed.
inline Frame textured(int width, int height, uint32_t seed, int dx = 0, int dy = 0) {
    Frame f = filled(width, height, grey(0));
    SeededNoise rng(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int u = x + dx, v = y + dy;
            const int base = (u * 3 + v * 2 + ((u / 8 + v / 8) % 2) * 40) % 200 + 20;
            const auto channel = [&](int offset) { return std::clamp(base + offset + rng.between(-6, 6), 0, 255); };
            const int b = channel(0), g = channel(10), r = channel(-10);
            f.at(x, y) = bgr(b, g, r);
        }
    return f;
}

inline bool sameBgr(uchar4 a, uchar4 b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

// Same geometry and every pixel, alpha and padding included.
inline bool samePixels(const Frame& a, const Frame& b) {
    if (a.width != b.width || a.height != b.height || a.px.size() != b.px.size()) return false;
    return std::equal(a.px.begin(), a.px.end(), b.px.begin(),
                      [](uchar4 p, uchar4 q) { return sameBgr(p, q) && p.w == q.w; });
}

}  // namespace qtest
