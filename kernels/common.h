// Definitions shared by device code and the host compilers that build the same
// code for the CPU executor. nvcc supplies the CUDA keywords and vector types;
// a host compiler gets layout-identical stand-ins.
#pragma once

#if defined(__CUDACC__)
#include <vector_types.h>
#define QNR_HD __host__ __device__ __forceinline__
#else
#include <cstdint>
#define QNR_HD inline
#define __global__
#define __device__
#define __host__

struct alignas(4) uchar4 {
    unsigned char x, y, z, w;  // B, G, R, A in our frames
};
struct alignas(8) int2 {
    int x, y;
};
#endif

// The CPU executor compiles the kernels' code once per instruction set. Each
// compilation puts its functions into its own inline namespace, so that the
// linker can never take one set's copy of an inline function for another's.
#if !defined(QNR_ISA)
#define QNR_ISA generic
#endif

static_assert(sizeof(uchar4) == 4 && alignof(uchar4) == 4, "uchar4 layout");
static_assert(sizeof(int2) == 8 && alignof(int2) == 8, "int2 layout");
