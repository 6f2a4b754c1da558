#include <algorithm>
#include <cmath>

#include "tests/gpu/gpucheck/gpucheck.h"

namespace gpucheck {
namespace {

// The scene's brightness at a pixel: waves and a checkerboard of 24-pixel
// squares, moving 3 pixels right and 1 down per frame, with grain of about
// +-8 levels.
int Scene(int x, int y, int frame, int channel) {
    const int u = x + 3 * frame, v = y + frame;
    const float base = 128.0f + 60.0f * std::sin(u * 0.05f) * std::cos(v * 0.03f) +
                       ((u / 24 + v / 24) % 2 ? 25.0f : -25.0f);
    const uint32_t grain = qtest::Hash(static_cast<uint32_t>((frame * 7919 + y) * 65599 + x * 4 + channel));
    return std::clamp(static_cast<int>(std::lround(base)) + static_cast<int>(grain % 17) - 8 + 12 * (channel - 1), 0,
                      255);
}

}  // namespace

std::vector<uint8_t> TexturedFrame(const qtest::Sequence& s, int frame) {
    std::vector<uint8_t> bytes(qtest::FrameBytes(s));
    const int rowBytes = qtest::RowBytes(s);
    for (int y = 0; y < s.height; ++y) {
        uint8_t* row = bytes.data() + static_cast<std::size_t>(y) * rowBytes;
        for (int i = 0; i < rowBytes; ++i) {
            // BGRA: B, G, R from the scene, opaque alpha. YUY2: Y0 U Y1 V, the
            // luma from the scene, the chroma from its neighbours' grain.
            const int x = s.depth == 32 ? i / 4 : i / 2;
            const int channel = s.depth == 32 ? i % 4 : (i % 2 == 0 ? 1 : 2 * (i % 4 / 2));
            const bool alpha = s.depth == 32 && channel == 3;
            const bool chroma = s.depth == 16 && i % 2 == 1;
            row[i] = alpha ? 255 : static_cast<uint8_t>(chroma ? 128 + (Scene(x, y, frame, channel) - 128) / 4
                                                              : Scene(x, y, frame, channel));
        }
    }
    return bytes;
}

}  // namespace gpucheck
