// Sequences of host frames (BGRA or YUY2 bytes) and the one way the tests run
// them through a loaded module. The Windows test host and the Linux programs
// that filter the same frames for comparison build them alike: integer
// arithmetic only, so both builds produce the same bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <span>
#include <vector>

#include "tests/support/noise.h"
#include "tools/modhost/modhost.h"

namespace qtest {

// A sequence one filter instance runs: `count` frames of one format.
struct Sequence {
    int depth;  // 32 (BGRA) or 16 (YUY2)
    int width;
    int height;
    int count;
};

// What the comparison runs: BGRA with borders off the 16-pixel grid, then an
// odd-width YUY2 clip, each in a fresh instance.
inline constexpr Sequence kCompared[] = {{32, 72, 40, 6}, {16, 45, 24, 4}};

inline int RowBytes(const Sequence& s) {
    return s.depth == 32 ? s.width * 4 : (s.width + 1) / 2 * 4;
}
inline std::size_t FrameBytes(const Sequence& s) {
    return static_cast<std::size_t>(RowBytes(s)) * static_cast<std::size_t>(s.height);
}

inline std::size_t SequenceBytes(const Sequence& s) { return FrameBytes(s) * static_cast<std::size_t>(s.count); }

// Channel 0 to 2 of a scene panning 3 pixels right and 1 down per frame:
// triangle waves across and down, a checkerboard of 24-pixel squares and
// grain of about +-8 levels. Every stage of the filter has work at any size,
// and nothing is clipped.
inline int Scene(int x, int y, int channel, int frame) {
    const int u = x + 3 * frame, v = y + frame;
    const int base = 76 + std::abs(u % 120 - 60) + std::abs(v % 90 - 45) + ((u / 24 + v / 24) % 2 ? 25 : -25);
    const uint32_t at = (static_cast<uint32_t>(frame) * 7919u + static_cast<uint32_t>(y)) * 65599u +
                        static_cast<uint32_t>(x) * 4u + static_cast<uint32_t>(channel);
    return base + 12 * (channel - 1) + static_cast<int>(Hash(at) % 17) - 8;
}

// Byte i of row y: BGRA with alpha varying, or YUY2 (Y0 U Y1 V, each byte at
// its own pixel) with the luma from the scene's channel 1 and the chroma,
// softened, from its channels 0 and 2.
inline uint8_t FrameByte(const Sequence& s, int i, int y, int frame) {
    if (s.depth == 32) {
        const int x = i / 4;
        return static_cast<uint8_t>(i % 4 == 3 ? 255 - (x + y) % 7 : Scene(x, y, i % 4, frame));
    }
    const int x = i / 2;
    if (i % 2 == 0) return static_cast<uint8_t>(Scene(x, y, 1, frame));
    return static_cast<uint8_t>(128 + (Scene(x, y, i % 4 == 1 ? 0 : 2, frame) - 128) / 4);
}

// Packed rows of RowBytes(s).
inline std::vector<uint8_t> MakeFrame(const Sequence& s, int frame) {
    std::vector<uint8_t> bytes(FrameBytes(s));
    const int rowBytes = RowBytes(s);
    for (int y = 0; y < s.height; ++y) {
        uint8_t* row = bytes.data() + static_cast<std::size_t>(y) * rowBytes;
        for (int i = 0; i < rowBytes; ++i) row[i] = FrameByte(s, i, y, frame);
    }
    return bytes;
}

// Settings written into the instance record after init.
using Configure = std::function<void(void* record)>;

// Runs one sequence of MakeFrame's frames in a fresh instance of a loaded
// module, as the host does (init, start, one run per frame, end, deinit), and
// returns every output frame; the inputs too when asked.
inline std::vector<uint8_t> FilterSequence(modhost::Module* m, const Sequence& s,
                                           std::vector<uint8_t>* inputs = nullptr, const Configure& configure = {}) {
    modhost::Instance inst{};
    std::vector<uint8_t> outputs;
    if (!modhost::CreateInstance(&inst, m)) return outputs;
    modhost::CallInit(&inst);
    if (configure) configure(inst.data);
    modhost::CallStart(&inst);
    std::vector<uint8_t> out(FrameBytes(s));
    for (int f = 0; f < s.count; ++f) {
        std::vector<uint8_t> in = MakeFrame(s, f);
        modhost::SetBitmap(inst.src, in.data(), s.depth, s.width, s.height, RowBytes(s));
        modhost::SetBitmap(inst.dst, out.data(), s.depth, s.width, s.height, RowBytes(s));
        modhost::CallRun(&inst);
        outputs.insert(outputs.end(), out.begin(), out.end());
        if (inputs) inputs->insert(inputs->end(), in.begin(), in.end());
    }
    modhost::CallEnd(&inst);
    modhost::CallDeinit(&inst);
    modhost::DestroyInstance(&inst);
    return outputs;
}

// The outputs of each sequence in turn, each in a fresh instance.
inline std::vector<uint8_t> FilterSequences(modhost::Module* m, std::span<const Sequence> sequences,
                                            std::vector<uint8_t>* inputs = nullptr) {
    std::vector<uint8_t> outputs;
    for (const Sequence& s : sequences) {
        const std::vector<uint8_t> out = FilterSequence(m, s, inputs);
        outputs.insert(outputs.end(), out.begin(), out.end());
    }
    return outputs;
}

}  // namespace qtest
