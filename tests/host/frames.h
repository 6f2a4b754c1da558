// Frames for driving the module: a byte buffer with guard bytes on both sides,
// so that any write outside the bitmap shows up as a changed guard.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "host/abi.h"

constexpr std::size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;

struct GuardedBuffer {
    std::vector<uint8_t> bytes;
    explicit GuardedBuffer(std::size_t size) : bytes(size + 2 * kGuard, kGuardByte) {}
    uint8_t* data() { return bytes.data() + kGuard; }
    std::size_t size() const { return bytes.size() - 2 * kGuard; }
    std::vector<uint8_t> body() const {
        return {bytes.begin() + kGuard, bytes.end() - kGuard};
    }
    bool guardsIntact() const {
        for (std::size_t i = 0; i < kGuard; ++i) {
            if (bytes[i] != kGuardByte || bytes[bytes.size() - 1 - i] != kGuardByte) return false;
        }
        return true;
    }
};

// Deterministic noisy content.
inline void FillPattern(uint8_t* p, std::size_t n, uint32_t seed) {
    uint32_t s = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < n; ++i) {
        s = s * 1664525u + 1013904223u;
        p[i] = static_cast<uint8_t>(s >> 24);
    }
}

// A host-style bitmap over a buffer whose first row is at byte firstRow; with
// a negative pitch the rows go backwards from there.
inline void Describe(FilterBitmap* bm, GuardedBuffer& buf, int depth, int w, int h,
                     ptrdiff_t pitch, ptrdiff_t firstRow = 0) {
    std::memset(static_cast<void*>(bm), 0, sizeof *bm);
    bm->data = buf.data();
    bm->depth = depth;
    bm->w = w;
    bm->h = h;
    bm->pitch = pitch;
    bm->offset = firstRow;
}
