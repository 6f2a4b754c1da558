// Per-thread helpers shared by every kernel: frame access with edge clamping,
// luma, the fast exponential, rounding back to 8 bits and the conditioned
// settings. Compiled by nvcc for the device and by the host compilers for the
// CPU executor; both must produce the same numbers.
#pragma once

#if !defined(__CUDACC__)
#include <cmath>
#include <cstdint>
#include <cstring>
#endif

#include "kernels/common.h"
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

struct Rgb {
    float b, g, r;
};

// A frame as the kernels see it: pixels `pitch` apart per row.
struct FrameView {
    const uchar4* data;
    int width, height, pitch;
};

QNR_HD int clampCoord(int c, int size) {
    if (c < 0) return 0;
    return c < size - 1 ? c : size - 1;
}

// Coordinates computed from untrusted offsets (motion vectors) are summed in
// 64 bits so that no vector can overflow the addition.
QNR_HD int clampCoordWide(long long c, int size) {
    if (c < 0) return 0;
    return c < size - 1 ? static_cast<int>(c) : size - 1;
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

#if !defined(__CUDACC__)
// a*b + c with a single rounding, from double arithmetic: the product of two
// floats is exact in double, two-sum gives the sum's rounding error, and
// rounding the sum to odd before narrowing makes the narrowing correct.
inline float exactFmaf(float a, float b, float c) {
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

// The fused multiply-adds the kernels specify. mingw-w64's fmaf rounds several
// times (split products), so without FMA instructions it would move lumas and
// sums by an ulp against the GPU; there the exact form above stands in.
QNR_HD float fusedMulAdd(float a, float b, float c) {
#if !defined(__CUDA_ARCH__) && defined(__MINGW32__) && !defined(__FMA__)
    return exactFmaf(a, b, c);
#else
    return fmaf(a, b, c);
#endif
}

// BT.709 luma, (R*0.2126 + G*0.7152) + B*0.0722 with the last two steps fused.
QNR_HD float luma(float b, float g, float r) {
    return fusedMulAdd(b, 0.0722f, fusedMulAdd(g, 0.7152f, r * 0.2126f));
}

QNR_HD float luma(Rgb c) { return luma(c.b, c.g, c.r); }

QNR_HD float luma(uchar4 p) { return luma(toRgb(p)); }

QNR_HD float lumaClamped(FrameView f, int x, int y) { return luma(pixelClamped(f, x, y)); }

// exp(v) as 2^(v*log2 e). The device uses the hardware approximation; the host
// the library's exp2f of the same product. These are the only place where GPU
// and CPU may differ in the last bits.
QNR_HD float fastExp(float v) {
    const float p = v * 1.4426950f;
#if defined(__CUDA_ARCH__)
    float r;
    asm("ex2.approx.f32 %0, %1;" : "=f"(r) : "f"(p));
    return r;
#else
    return exp2f(p);
#endif
}

// IEEE max then min: a NaN input becomes `lo`.
QNR_HD float clampf(float v, float lo, float hi) { return fminf(fmaxf(v, lo), hi); }

// Nearest integer, ties to even, limited to 0..255. Clamping before rounding
// gives the same value as after and keeps NaN and huge values defined.
QNR_HD unsigned char roundToByte(float v) {
    const float c = clampf(v, 0.0f, 255.0f);
#if defined(__CUDA_ARCH__)
    return static_cast<unsigned char>(__float2int_rn(c));
#else
    return static_cast<unsigned char>(static_cast<int>(rintf(c)));
#endif
}

// The settings as the processing stages use them.
struct Settings {
    float d;          // denoise, 0..4
    float db;         // half the deblock strength, 0..1
    float sigmaY;     // unclamped
    float temporal;   // unconditioned
    float sharpen;    // unconditioned
    float stabilize;  // unconditioned
};

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

}  // namespace qnr
