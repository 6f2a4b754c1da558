// Byte buffers for the ABI-level tests: guard bytes on both sides, so that a
// write outside the buffer shows up as a changed guard, and seeded content.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tests/support/noise.h"

namespace qtest {

constexpr std::size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;

struct GuardedBuffer {
    std::vector<uint8_t> bytes;

    explicit GuardedBuffer(std::size_t size) : bytes(size + 2 * kGuard, kGuardByte) {}
    explicit GuardedBuffer(const std::vector<uint8_t>& body) : GuardedBuffer(body.size()) {
        std::copy(body.begin(), body.end(), data());
    }
    uint8_t* data() { return bytes.data() + kGuard; }
    std::size_t size() const { return bytes.size() - 2 * kGuard; }
    std::vector<uint8_t> body() const { return {bytes.begin() + kGuard, bytes.end() - kGuard}; }
    bool guardsIntact() const {
        const auto guard = [](uint8_t b) { return b == kGuardByte; };
        return std::all_of(bytes.begin(), bytes.begin() + kGuard, guard) &&
               std::all_of(bytes.end() - kGuard, bytes.end(), guard);
    }
};

inline std::vector<uint8_t> NoiseBytes(std::size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    SeededNoise rng(seed);
    std::generate(v.begin(), v.end(), [&] { return rng.byte(); });
    return v;
}

// A frame's worth of noise between guards.
inline GuardedBuffer NoisyFrame(std::size_t bytes, uint32_t seed) { return GuardedBuffer(NoiseBytes(bytes, seed)); }

}  // namespace qtest
