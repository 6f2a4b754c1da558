// What the kernels' code needs of the compiler that builds it: nvcc for the
// device, or a host compiler for the CPU executor, which gets the CUDA
// keywords defined away. Included by kernel code only, never by the host
// code around it.
#pragma once

#include "kernels/common.h"

#if defined(__CUDACC__)
#define QNR_HD __host__ __device__ __forceinline__
#else
#define QNR_HD inline
#define __global__
#define __device__
#define __host__
#endif

// The CPU executor compiles the kernels' code once per instruction set. Each
// compilation puts its functions into its own inline namespace, so that the
// linker can never take one set's copy of an inline function for another's.
#if !defined(QNR_ISA)
#define QNR_ISA generic
#endif
