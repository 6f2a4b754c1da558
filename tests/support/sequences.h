// Sequences of host frames (BGRA or YUY2 bytes) and the one way the tests run
// them through a loaded module. The Windows test host and the Linux programs
// that filter the same frames for comparison build them alike: integer
// arithmetic only, so both builds produce the same bytes.
#pragma once
#include <cstddef>
#include <cstdint>
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

// A gradient scene with a square that moves 2 pixels right per frame, plus
// grain of about +-12 levels: enough for profiling, motion and denoising.
inline uint8_t SceneByte(int x, int y, int channel, int frame) {
    int v = 40 + x * 2 + y + channel * 17;
    const int left = 8 + frame * 2;
    if (x >= left && x < left + 14 && y >= 10 && y < 24) v = 200 - channel * 30;
    const uint32_t grain = Hash(static_cast<uint32_t>((frame * 977 + y) * 4099 + x * 4 + channel));
    v += static_cast<int>(grain % 25) - 12;
    return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// Packed rows of RowBytes(s): BGRA with alpha varying, or YUY2 bytes.
inline std::vector<uint8_t> MakeFrame(const Sequence& s, int frame) {
    std::vector<uint8_t> bytes(FrameBytes(s));
    const int rowBytes = RowBytes(s);
    for (int y = 0; y < s.height; ++y) {
        uint8_t* row = bytes.data() + static_cast<std::size_t>(y) * rowBytes;
        if (s.depth == 32) {
            for (int x = 0; x < s.width; ++x) {
                for (int c = 0; c < 3; ++c) row[x * 4 + c] = SceneByte(x, y, c, frame);
                row[x * 4 + 3] = static_cast<uint8_t>(255 - (x + y) % 7);
            }
        } else {
            for (int i = 0; i < rowBytes; ++i) {
                const bool luma = i % 2 == 0;
                row[i] = luma ? SceneByte(i / 2, y, 0, frame)
                              : static_cast<uint8_t>(120 + (SceneByte(i / 4, y, 1 + i % 4 / 2, frame) >> 4));
            }
        }
    }
    return bytes;
}

// Frame f of a sequence, in packed rows of RowBytes(s).
using FrameSource = std::function<std::vector<uint8_t>(const Sequence& s, int f)>;
// Settings written into the instance record after init.
using Configure = std::function<void(void* record)>;

// Runs one sequence in a fresh instance of a loaded module, as the host does
// (init, start, one run per frame, end, deinit), and returns every output
// frame; the inputs too when asked. Frames are MakeFrame's unless given.
inline std::vector<uint8_t> FilterSequence(modhost::Module* m, const Sequence& s,
                                           std::vector<uint8_t>* inputs = nullptr,
                                           const FrameSource& frame = MakeFrame, const Configure& configure = {}) {
    modhost::Instance inst{};
    std::vector<uint8_t> outputs;
    if (!modhost::CreateInstance(&inst, m)) return outputs;
    modhost::CallInit(&inst);
    if (configure) configure(inst.data);
    modhost::CallStart(&inst);
    std::vector<uint8_t> out(FrameBytes(s));
    for (int f = 0; f < s.count; ++f) {
        std::vector<uint8_t> in = frame(s, f);
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
