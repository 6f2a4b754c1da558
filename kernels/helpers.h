// Per-thread helpers shared by every kernel: frame access with edge clamping,
// luma, the fast exponential, rounding back to 8 bits and the conditioned
// settings. Compiled by nvcc for the device and by the host compilers for the
// CPU executor; both must produce the same numbers. Each helper is written for
// one thread and, where its arguments are lane types (kernels/lanes.h), works
// on a group of threads alike.
#pragma once

#if !defined(__CUDACC__)
#include <cmath>
#include <cstdint>
#include <cstring>
#endif

#include "kernels/kernel_code.h"
#include "kernels/lanes.h"
#include "kernels/luma_weights.h"
#include "kernels/params.h"

// Loops with a fixed trip count that should become straight-line code.
#if defined(__CUDACC__)
#define QNR_UNROLL _Pragma("unroll")
#elif defined(__GNUC__)
#define QNR_UNROLL _Pragma("GCC unroll 16")
#else
#define QNR_UNROLL
#endif

namespace qnr {

// 1/9 as the float the box means and the profiling residual multiply by.
constexpr float kNinth = 0.11111111f;
static_assert(kNinth == 1.0f / 9.0f, "the decimal and 1/9 round to the same float");

template <class F>
struct RgbT {
    F b, g, r;
};
using Rgb = RgbT<float>;

// A frame as the kernels see it: pixels `pitch` apart per row.
struct FrameView {
    const uchar4* data;
    int width, height, pitch;
};

// A motion vector as one thread (or each lane) holds it.
template <class I>
struct MotionVector {
    I dx, dy;
};

// The settings as the processing stages use them.
struct Settings {
    float d;          // denoise, 0..4
    float db;         // half the deblock strength, 0..1
    float sigmaY;     // unclamped
    float temporal;   // unconditioned
    float sharpen;    // unconditioned
    float stabilize;  // unconditioned
};

inline namespace QNR_ISA {

QNR_HD int clampCoord(int c, int size) {
    if (c < 0) return 0;
    return c < size - 1 ? c : size - 1;
}

// c + v clamped into 0..size-1, for 0 <= c < size and any offset v (a motion
// vector read from memory): the offset is clamped first, so no sum overflows.
template <class I>
QNR_HD I clampOffset(I c, I v, int size) {
    return c + maxOf(-c, minOf(v, (size - 1) - c));
}

QNR_HD long long pixelIndex(int x, int y, int pitch) {
    return static_cast<long long>(y) * pitch + x;
}

// Reads an in-frame pixel; callers clamp first.
QNR_HD uchar4 pixelAt(FrameView f, int x, int y) { return f.data[pixelIndex(x, y, f.pitch)]; }

QNR_HD uchar4 pixelClamped(FrameView f, int x, int y) {
    return pixelAt(f, clampCoord(x, f.width), clampCoord(y, f.height));
}

QNR_HD Rgb toRgb(uchar4 p) {
    return Rgb{static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z)};
}

// An opaque pixel from three channel values in 0..255.
QNR_HD uchar4 opaquePixel(int b, int g, int r) {
    uchar4 o;
    o.x = static_cast<unsigned char>(b);
    o.y = static_cast<unsigned char>(g);
    o.z = static_cast<unsigned char>(r);
    o.w = 255;
    return o;
}

#if !defined(__CUDACC__)
// a*b + c with a single rounding, from double arithmetic: the product of two
// floats is exact in double, two-sum gives the sum's rounding error, and
// rounding the sum to odd before narrowing makes the narrowing correct. Kept
// out of line: inlined at every tap it would swamp the instruction cache.
__attribute__((noinline)) inline float exactFmaf(float a, float b, float c) {
    const double p = static_cast<double>(a) * b;
    double s = p + c;
    if (!std::isfinite(s)) return static_cast<float>(s);
    const double cPart = s - p;
    const double err = (p - (s - cPart)) + (c - cPart);
    if (err != 0.0) {
        std::uint64_t bits;
        std::memcpy(&bits, &s, sizeof bits);
        // The exact sum lies strictly between s and its neighbour toward err;
        // of the two, take the one with an odd last bit.
        if ((bits & 1u) == 0) bits = std::signbit(s) == std::signbit(err) ? bits + 1 : bits - 1;
        std::memcpy(&s, &bits, sizeof s);
    }
    return static_cast<float>(s);
}
#endif

// The fused multiply-adds the kernels specify: the device's correctly rounded
// instruction, and on the host the processor's where the build has one.
// Otherwise the host library's fmaf, which glibc computes exactly (with the
// instruction where the processor has it); but mingw-w64's rounds several
// times, so there the exact form above stands in.
QNR_HD float fusedMulAdd(float a, float b, float c) {
#if defined(__CUDA_ARCH__)
    return __fmaf_rn(a, b, c);
#elif defined(__MINGW32__) && !defined(__FMA__)
    return exactFmaf(a, b, c);
#else
    return fmaf(a, b, c);
#endif
}

// BT.709 luma as every stage reads it from a pixel: (R*0.2126 + G*0.7152) +
// B*0.0722, the last two steps fused.
template <class F>
QNR_HD F luma(F b, F g, F r) {
    return fusedMulAdd(b, F(kLumaB), fusedMulAdd(g, F(kLumaG), r * kLumaR));
}

// The same weights summed from green: (G*0.7152 + R*0.2126) + B*0.0722, the
// last two steps fused. The impulse correction's reference luma is defined in
// this order; its last bit may differ from luma()'s, so the two stay apart.
template <class F>
QNR_HD F lumaGreenFirst(F b, F g, F r) {
    return fusedMulAdd(b, F(kLumaB), fusedMulAdd(r, F(kLumaR), g * kLumaG));
}

template <class F>
QNR_HD F luma(RgbT<F> c) {
    return luma(c.b, c.g, c.r);
}

template <class Pixel>
QNR_HD auto luma(Pixel p) -> decltype(luma(toRgb(p))) {
    return luma(toRgb(p));
}

template <class X>
QNR_HD typename LanesOf<X>::F lumaClamped(FrameView f, X x, int y) {
    return luma(pixelClamped(f, x, y));
}

// The bits of a float and back.
QNR_HD int floatBits(float v) {
#if defined(__CUDA_ARCH__)
    return __float_as_int(v);
#else
    std::int32_t u;
    std::memcpy(&u, &v, sizeof u);
    return u;
#endif
}

QNR_HD float floatFromBits(int u) {
#if defined(__CUDA_ARCH__)
    return __int_as_float(u);
#else
    float v;
    std::memcpy(&v, &u, sizeof v);
    return v;
#endif
}

// 2^n for n in -126..127, as a float built from its exponent field. Other n
// give some float: the arithmetic is unsigned, since nvcc compiles C++17,
// where a shift into the sign bit is undefined.
QNR_HD float powerOfTwo(int n) {
    return floatFromBits(static_cast<int>((static_cast<unsigned>(n) + 127u) << 23));
}

#if !defined(__CUDACC__)
// The same, lane by lane (the lanes' shifts are the instructions').
template <class I>
inline auto powerOfTwo(I n) -> decltype(floatFromBits(n)) {
    return floatFromBits((n + 127) << 23);
}
#endif

// The project's base-2 exponential, the same bits on the GPU, in the scalar
// CPU code and in every vector lane, on every host library: p is split into
// the nearest integer n and f = p - n in [-1/2, 1/2]; a degree-6 polynomial in
// f (Horner's scheme with fused multiply-adds, exact on every path) gives 2^f;
// 2^n is applied in two halves, so that results in the subnormal range are
// rounded once. Within 1 ulp of 2^p for p <= 0 (the weights' range); exactly 1
// at 0; NaN stays NaN.
template <class F>
QNR_HD F exp2Approx(F p) {
    // Below -151 every result rounds to 0, above 128 to infinity; the limits
    // keep both halves of n within the exponent range. Comparisons, not
    // fminf/fmaxf, so that a NaN p stays NaN on the GPU as on the host.
    p = atMost(atLeast(p, -151.0f), 128.0f);
    // Adding 1.5 * 2^23 rounds p to an integer, which then sits in the low
    // bits of the sum.
    constexpr float kRound = 12582912.0f;
    const F shifted = p + kRound;
    const F f = p - (shifted - kRound);
    F q = fusedMulAdd(f, F(0x1.446c7ep-13f), F(0x1.5f88fep-10f));
    q = fusedMulAdd(q, f, F(0x1.3b29e4p-7f));
    q = fusedMulAdd(q, f, F(0x1.c6ae2cp-5f));
    q = fusedMulAdd(q, f, F(0x1.ebfbe0p-3f));
    q = fusedMulAdd(q, f, F(0x1.62e432p-1f));
    q = fusedMulAdd(q, f, F(1.0f));
    const auto n = floatBits(shifted) - floatBits(kRound);
    const auto half = n >> 1;
    return (q * powerOfTwo(half)) * powerOfTwo(n - half);
}

// exp(v) as 2^(v*log2 e), by the project's own exponential on the GPU as on
// the CPU, so that both give the same bits. On current GPUs its polynomial on
// the FMA pipes costs about what the hardware approximation (ex2.approx) does,
// since the special-function unit runs at an eighth of FMA throughput; the
// exact agreement is worth it. QNR_HARDWARE_EXP2 (benchmarks only) puts the
// hardware approximation back on the device, which then differs from the CPU
// in the last bits.
template <class F>
QNR_HD F fastExp(F v) {
    const F p = v * 1.4426950f;
#if defined(__CUDA_ARCH__) && defined(QNR_HARDWARE_EXP2)
    float r;
    asm("ex2.approx.f32 %0, %1;" : "=f"(r) : "f"(p));
    return r;
#else
    return exp2Approx(p);
#endif
}

// IEEE max then min: a NaN input becomes `lo`.
template <class F>
QNR_HD F clampf(F v, float lo, float hi) {
    return minOf(maxOf(v, F(lo)), F(hi));
}

// Nearest integer, ties to even, limited to 0..255. Clamping before rounding
// gives the same value as after and keeps NaN and huge values defined. On the
// host, adding and removing 2^23 rounds to the nearest integer, ties to even,
// in every lane type.
template <class F>
QNR_HD auto roundToByte(F v) -> decltype(truncateToInt(v)) {
    const F c = clampf(v, 0.0f, 255.0f);
#if defined(__CUDA_ARCH__)
    return __float2int_rn(c);
#else
    constexpr float kRound = 8388608.0f;
    return truncateToInt((c + kRound) - kRound);
#endif
}

// The settings are conditioned once, by the host's per-frame snapshot
// (host/settings.h: ranges from kNRStrengths, a NaN the recommended value).
// These clamps stay because the kernel's own arithmetic needs them whatever
// its caller passes: d bounds the spatial window and sigmaR, db is a blend
// weight in 0..1.
QNR_HD Settings conditionSettings(const CudaNRParams& p) {
    Settings s;
    s.d = clampf(p.denoise, 0.0f, 4.0f);
    s.db = clampf(0.5f * p.deblock, 0.0f, 1.0f);
    s.sigmaY = p.sigmaY;
    s.temporal = p.temporal;
    s.sharpen = p.sharpen;
    s.stabilize = p.stabilize;
    return s;
}

}  // namespace QNR_ISA
}  // namespace qnr
