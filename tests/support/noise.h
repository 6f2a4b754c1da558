// The tests' pseudo-random content, the same on every platform.
#pragma once
#include <cstdint>

namespace qtest {

// The seeded sequence for frames and buffers built in order: 32-bit linear
// congruential, the seed spread over the state first so that neighbouring
// seeds give unrelated content.
class SeededNoise {
public:
    explicit SeededNoise(uint32_t seed) : state_(seed * 2654435761u + 1) {}
    uint32_t next() { return state_ = state_ * 1664525u + 1013904223u; }
    int between(int lo, int hi) { return lo + static_cast<int>((next() >> 8) % static_cast<uint32_t>(hi - lo + 1)); }
    uint8_t byte() { return static_cast<uint8_t>(next() >> 24); }

private:
    uint32_t state_;
};

// Grain that a scene computes at any position, in any order.
inline uint32_t Hash(uint32_t x) {
    x = (x ^ (x >> 16)) * 0x7feb352dU;
    x = (x ^ (x >> 15)) * 0x846ca68bU;
    return x ^ (x >> 16);
}

}  // namespace qtest
