// The small types device code and host code share: a pixel and a motion
// vector. nvcc supplies them as CUDA's vector types; a host compiler gets
// layout-identical stand-ins.
#pragma once

#if defined(__CUDACC__)
#include <vector_types.h>
#else
struct alignas(4) uchar4 {
    unsigned char x, y, z, w;  // B, G, R, A in our frames
};
struct alignas(8) int2 {
    int x, y;
};
#endif

static_assert(sizeof(uchar4) == 4 && alignof(uchar4) == 4, "uchar4 layout");

// Bytes of one BGRA pixel (a uchar4): every row size and pitch in pixels
// converts through this.
constexpr int kBgraPixelBytes = static_cast<int>(sizeof(uchar4));
static_assert(sizeof(int2) == 8 && alignof(int2) == 8, "int2 layout");
