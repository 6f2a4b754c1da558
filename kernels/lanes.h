// The value types of the kernels' per-thread code. On the GPU, and on the CPU
// executor's plain path, one call is one thread: floats, ints and bools. The
// executor's vector paths run the same code for a group of neighbouring
// threads at once, one thread per lane (kernels/simd_lanes.h): there a
// comparison yields a mask of lanes, and a branch on the data becomes a
// select, so that each lane performs exactly the operations of its thread.
#pragma once

#if !defined(__CUDACC__)
#include <cmath>
#include <cstring>
#endif

#include "kernels/kernel_code.h"

namespace qnr {

// One thread.
struct ScalarLanes {
    using F = float;  // a float of the thread
    using I = int;    // an int of the thread
    using M = bool;   // a condition of the thread
    using X = int;    // the thread's column
    using Pixel = uchar4;
};

// The lane types that go with a column type.
template <class X>
struct LanesOfColumn;
template <>
struct LanesOfColumn<int> {
    using type = ScalarLanes;
};
template <class X>
using LanesOf = typename LanesOfColumn<X>::type;

// Builds the column type of a group of threads: columns base, base + stride,
// ... (one thread: base alone).
template <class X>
struct Columns;
template <>
struct Columns<int> {
    static constexpr int kLanes = 1;
    static QNR_HD int make(int base, int) { return base; }
};

inline namespace QNR_ISA {

QNR_HD float select(bool m, float a, float b) { return m ? a : b; }
QNR_HD int select(bool m, int a, int b) { return m ? a : b; }
QNR_HD bool anyOf(bool m) { return m; }

// IEEE maximum and minimum: a NaN operand yields the other one. On the host
// the choice between two equal values (b) is spelled out, so that the vector
// lanes make the same one.
QNR_HD float maxOf(float a, float b) {
#if defined(__CUDA_ARCH__)
    return fmaxf(a, b);
#else
    return a > b || b != b ? a : b;
#endif
}

QNR_HD float minOf(float a, float b) {
#if defined(__CUDA_ARCH__)
    return fminf(a, b);
#else
    return a < b || b != b ? a : b;
#endif
}

// v raised to at least lo, or lowered to at most hi; a NaN v stays NaN.
QNR_HD float atLeast(float v, float lo) { return lo > v ? lo : v; }
QNR_HD float atMost(float v, float hi) { return hi < v ? hi : v; }

QNR_HD int minOf(int a, int b) { return a < b ? a : b; }
QNR_HD int maxOf(int a, int b) { return a > b ? a : b; }
QNR_HD float absOf(float v) { return fabsf(v); }
QNR_HD float sqrtOf(float v) { return sqrtf(v); }
QNR_HD float toFloat(int v) { return static_cast<float>(v); }
// Conversion toward zero; callers keep the value within int's range.
QNR_HD int truncateToInt(float v) { return static_cast<int>(v); }

// The columns of a column type as ints.
QNR_HD int columnIndex(int x) { return x; }

// Whether any of the columns lies below `limit`.
QNR_HD bool anyBelow(int x, int limit) { return x < limit; }

#if !defined(__CUDACC__)
// Consecutive lanes from and to memory (one thread: one value). A vector's
// register is copied as one piece, which the compiler makes one access.
template <class V>
inline V loadLanes(const void* p) {
    V v;
    if constexpr (requires { v.v; })
        std::memcpy(&v.v, p, sizeof v.v);
    else
        std::memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
inline void storeLanes(void* p, const V& v) {
    if constexpr (requires { v.v; })
        std::memcpy(p, &v.v, sizeof v.v);
    else
        std::memcpy(p, &v, sizeof v);
}

// Each lane's float stored as a double.
inline void storeWidened(double* p, float v) { *p = static_cast<double>(v); }
#endif

}  // namespace QNR_ISA
}  // namespace qnr
