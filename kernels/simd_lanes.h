// Lane types of the CPU executor's vector paths: N neighbouring GPU threads in
// the N lanes of an AVX2 (N = 8) or AVX-512 (N = 16) register. Arithmetic is
// lane by lane and IEEE exactly as one thread's (no contraction, no fast
// reciprocals, no flushing of subnormals), so each lane computes the bits its
// thread computes. Host only: included by the executor's per-instruction-set
// builds, never by nvcc.
#pragma once

#if !defined(__GNUC__) || !defined(__AVX2__) || !defined(__FMA__)
#error "simd_lanes.h needs GCC vector extensions and an AVX2/FMA build"
#endif

#include <immintrin.h>

#include <cstring>
#include <type_traits>
#include <utility>

#include "kernels/helpers.h"
#include "kernels/launch_geometry.h"

namespace qnr {
inline namespace QNR_ISA {

template <int N>
struct VecM;
template <int N>
struct VecI;

// The registers' types, one float or int per lane, and the intrinsics' types
// of the same registers.
template <int N>
struct IntrinsicVectors;
template <>
struct IntrinsicVectors<8> {
    using IntrinsicF = __m256;
    using IntrinsicI = __m256i;
};
template <>
struct IntrinsicVectors<16> {
    using IntrinsicF = __m512;
    using IntrinsicI = __m512i;
};
template <int N>
struct NativeVectors : IntrinsicVectors<N> {
    typedef float F __attribute__((vector_size(N * sizeof(float))));
    typedef int I __attribute__((vector_size(N * sizeof(int))));
};

template <int N>
struct VecF {
    using Native = typename NativeVectors<N>::F;
    Native v;

    VecF() = default;
    VecF(float s) : v(s - Native{}) {}  // the same value in every lane (s - 0 is s, even -0)
    explicit VecF(Native n) : v(n) {}

    friend VecF operator+(VecF a, VecF b) { return VecF(a.v + b.v); }
    friend VecF operator-(VecF a, VecF b) { return VecF(a.v - b.v); }
    friend VecF operator*(VecF a, VecF b) { return VecF(a.v * b.v); }
    friend VecF operator/(VecF a, VecF b) { return VecF(a.v / b.v); }
    VecF& operator+=(VecF b) { return *this = *this + b; }
    friend VecM<N> operator<(VecF a, VecF b) { return VecM<N>(a.v < b.v); }
    friend VecM<N> operator>(VecF a, VecF b) { return VecM<N>(a.v > b.v); }
    friend VecM<N> operator!=(VecF a, VecF b) { return VecM<N>(a.v != b.v); }
};

template <int N>
struct VecI {
    using Native = typename NativeVectors<N>::I;
    Native v;

    VecI() = default;
    VecI(int s) : v(s - Native{}) {}
    explicit VecI(Native n) : v(n) {}

    friend VecI operator+(VecI a, VecI b) { return VecI(a.v + b.v); }
    friend VecI operator-(VecI a, VecI b) { return VecI(a.v - b.v); }
    friend VecI operator*(VecI a, VecI b) { return VecI(a.v * b.v); }
    friend VecI operator-(VecI a) { return VecI(-a.v); }
    friend VecI operator&(VecI a, VecI b) { return VecI(a.v & b.v); }
    friend VecI operator|(VecI a, VecI b) { return VecI(a.v | b.v); }
    friend VecI operator<<(VecI a, int s) { return VecI(a.v << s); }
    friend VecI operator>>(VecI a, int s) { return VecI(a.v >> s); }
    // Division and remainder by a positive constant of non-negative lanes.
    friend VecI operator/(VecI a, int d) { return VecI(a.v / d); }
    friend VecI operator%(VecI a, int d) { return VecI(a.v % d); }
    friend VecM<N> operator<(VecI a, VecI b) { return VecM<N>(a.v < b.v); }
    friend VecM<N> operator>(VecI a, VecI b) { return VecM<N>(a.v > b.v); }
    friend VecM<N> operator==(VecI a, VecI b) { return VecM<N>(a.v == b.v); }
};

// A condition per lane: all bits set where true.
template <int N>
struct VecM {
    typename VecI<N>::Native v;

    explicit VecM(typename VecI<N>::Native n) : v(n) {}

    friend VecM operator!(VecM a) { return VecM(~a.v); }
    friend VecM operator&&(VecM a, VecM b) { return VecM(a.v & b.v); }
    friend VecM operator||(VecM a, VecM b) { return VecM(a.v | b.v); }
};

// Packed B, G, R, A pixels, one per lane.
template <int N>
struct VecPixel {
    typename VecI<N>::Native v;
};

// The columns of a group of threads: base + stride * lane.
template <int N>
struct LaneX {
    int base, stride;

    friend LaneX operator+(LaneX x, int d) { return LaneX{x.base + d, x.stride}; }
    friend LaneX operator-(LaneX x, int d) { return LaneX{x.base - d, x.stride}; }
    friend LaneX operator*(LaneX x, int k) { return LaneX{x.base * k, x.stride * k}; }
    LaneX& operator+=(int d) { return *this = *this + d; }
    bool contiguous() const { return stride == 1; }
    int last() const { return base + stride * (N - 1); }
};

template <int N>
VecI<N> laneNumbers() {
    VecI<N> n;
    for (int i = 0; i < N; ++i) n.v[i] = i;
    return n;
}

template <int N>
VecI<N> columnIndex(LaneX<N> x) {
    return VecI<N>(x.base) + VecI<N>(x.stride) * laneNumbers<N>();
}

// The lowest column is the first one or, going down, the last one.
template <int N>
bool anyBelow(LaneX<N> x, int limit) {
    return (x.stride >= 0 ? x.base : x.last()) < limit;
}

template <int N>
VecM<N> operator<(LaneX<N> x, int c) {
    return columnIndex(x) < VecI<N>(c);
}
template <int N>
VecM<N> operator>=(LaneX<N> x, int c) {
    return !(x < c);
}

// The lanes as the intrinsics take them, bit for bit.
template <int N>
auto raw(VecF<N> v) {
    return reinterpret_cast<typename NativeVectors<N>::IntrinsicF>(v.v);
}
template <int N>
auto raw(VecI<N> v) {
    return reinterpret_cast<typename NativeVectors<N>::IntrinsicI>(v.v);
}
template <class Register>
auto lanesOf(Register r) {
    constexpr int kLanes = sizeof(Register) / 4;
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(r[0])>, float>)  // __m256, __m512
        return VecF<kLanes>(reinterpret_cast<typename VecF<kLanes>::Native>(r));
    else
        return VecI<kLanes>(reinterpret_cast<typename VecI<kLanes>::Native>(r));
}

// ---- lane-wise operations with a thread's meaning --------------------------------

template <int N>
VecF<N> select(VecM<N> m, VecF<N> a, VecF<N> b) {
    return VecF<N>(m.v ? a.v : b.v);
}
template <int N>
VecI<N> select(VecM<N> m, VecI<N> a, VecI<N> b) {
    return VecI<N>(m.v ? a.v : b.v);
}

template <int N>
bool anyOf(VecM<N> m) {
    if constexpr (N == 8)
        return _mm256_movemask_ps(reinterpret_cast<__m256>(m.v)) != 0;
    else
        return _mm512_movepi32_mask(raw(VecI<N>(m.v))) != 0;
}

// The host's rules of maxOf/minOf (kernels/lanes.h): a NaN b gives a; of two
// equal values, b.
template <int N>
VecF<N> maxOf(VecF<N> a, VecF<N> b) {
    return select(a > b || b != b, a, b);
}
template <int N>
VecF<N> minOf(VecF<N> a, VecF<N> b) {
    return select(a < b || b != b, a, b);
}
// The processor's max(bound, v) (kMax) or min(bound, v): as on one thread,
// bound > v ? bound : v or bound < v ? bound : v, so a NaN v stays.
template <bool kMax, int N>
VecF<N> bounded(VecF<N> v, float bound) {
    const auto b = raw(VecF<N>(bound));
    if constexpr (N == 8)
        return lanesOf(kMax ? _mm256_max_ps(b, raw(v)) : _mm256_min_ps(b, raw(v)));
    else
        return lanesOf(kMax ? _mm512_maskz_max_ps(0xffff, b, raw(v)) : _mm512_maskz_min_ps(0xffff, b, raw(v)));
}

template <int N>
VecF<N> atLeast(VecF<N> v, float lo) {
    return bounded<true>(v, lo);
}
template <int N>
VecF<N> atMost(VecF<N> v, float hi) {
    return bounded<false>(v, hi);
}

template <int N>
VecI<N> maxOf(VecI<N> a, VecI<N> b) {
    return select(a > b, a, b);
}
template <int N>
VecI<N> minOf(VecI<N> a, VecI<N> b) {
    return select(a < b, a, b);
}

template <int N>
VecI<N> floatBits(VecF<N> a) {
    return VecI<N>(reinterpret_cast<typename VecI<N>::Native>(a.v));
}
template <int N>
VecF<N> floatFromBits(VecI<N> a) {
    return VecF<N>(reinterpret_cast<typename VecF<N>::Native>(a.v));
}

template <int N>
VecF<N> absOf(VecF<N> a) {
    return floatFromBits(floatBits(a) & VecI<N>(0x7fffffff));
}

template <int N>
VecF<N> sqrtOf(VecF<N> a) {
    if constexpr (N == 8)
        return lanesOf(_mm256_sqrt_ps(raw(a)));
    else
        return lanesOf(_mm512_sqrt_ps(raw(a)));
}

template <int N>
VecF<N> fusedMulAdd(VecF<N> a, VecF<N> b, VecF<N> c) {
    if constexpr (N == 8)
        return lanesOf(_mm256_fmadd_ps(raw(a), raw(b), raw(c)));
    else
        return lanesOf(_mm512_fmadd_ps(raw(a), raw(b), raw(c)));
}

template <int N>
VecF<N> toFloat(VecI<N> a) {
    return VecF<N>(__builtin_convertvector(a.v, typename VecF<N>::Native));
}
template <int N>
VecI<N> truncateToInt(VecF<N> a) {
    return VecI<N>(__builtin_convertvector(a.v, typename VecI<N>::Native));
}

// Lane i takes lane i + d of v (lanes past the last take any lane).
template <int N>
VecF<N> lanesFrom(VecF<N> v, int d) {
    const auto from = raw((laneNumbers<N>() + VecI<N>(d)) & VecI<N>(N - 1));
    if constexpr (N == 8)
        return lanesOf(_mm256_permutevar8x32_ps(raw(v), from));
    else
        return lanesOf(_mm512_permutexvar_ps(from, raw(v)));
}

template <int N>
float firstLane(VecF<N> v) {
    return v.v[0];
}

// ---- memory ---------------------------------------------------------------------

template <int N>
void storeWidened(double* p, VecF<N> v) {
    for (int i = 0; i < N; ++i) p[i] = static_cast<double>(v.v[i]);
}

// Lane i takes base[index[i]].
template <int N>
VecI<N> gather(const void* base, VecI<N> index) {
    if constexpr (N == 8)
        return lanesOf(_mm256_i32gather_epi32(static_cast<const int*>(base), raw(index), 4));
    else
        return lanesOf(_mm512_mask_i32gather_epi32(_mm512_setzero_si512(), 0xffff, raw(index), base, 4));
}

// Lanes 0, 2, 4, ... of the two registers side by side.
template <class Native, int... I>
Native evenLanes(Native lo, Native hi, std::integer_sequence<int, I...>) {
    return __builtin_shufflevector(lo, hi, (2 * I)...);
}

// Lanes 0, 2, 4, ... of 2N consecutive 32-bit values.
template <class V>
V loadEven(const void* p) {
    constexpr int kN = sizeof(V{}.v) / 4;
    const V lo = loadLanes<V>(p);
    const V hi = loadLanes<V>(static_cast<const char*>(p) + sizeof lo.v);
    return V{evenLanes(lo.v, hi.v, std::make_integer_sequence<int, kN>{})};
}

// 32-bit values at the lanes' columns of a row of `width` values: straight
// loads where every column lies inside the row, clamped columns otherwise.
template <class V, int N>
V loadRow(const void* row, LaneX<N> x, int width) {
    if (x.base >= 0) {
        if (x.contiguous() && x.base + N <= width)
            return loadLanes<V>(static_cast<const std::uint32_t*>(row) + x.base);
        if (x.stride == 2 && x.base + 2 * N <= width)
            return loadEven<V>(static_cast<const std::uint32_t*>(row) + x.base);
    }
    const VecI<N> c = maxOf(VecI<N>(0), minOf(columnIndex(x), VecI<N>(width - 1)));
    const VecI<N> values = gather(row, c);
    return loadLanes<V>(&values);
}

// ---- frames -----------------------------------------------------------------------

inline const uchar4* rowOf(FrameView f, int y) { return f.data + pixelIndex(0, y, f.pitch); }

template <int N>
VecPixel<N> pixelClamped(FrameView f, LaneX<N> x, int y) {
    return loadRow<VecPixel<N>>(rowOf(f, clampCoord(y, f.height)), x, f.width);
}

// In-frame columns of row y.
template <int N>
VecPixel<N> pixelAt(FrameView f, LaneX<N> x, int y) {
    return loadRow<VecPixel<N>>(rowOf(f, y), x, f.width);
}

// In-frame positions, one per lane. The executor's vector paths run only on
// frames whose pixel offsets fit 32 bits.
template <int N>
VecPixel<N> pixelAt(FrameView f, VecI<N> x, VecI<N> y) {
    return VecPixel<N>{gather(f.data, y * VecI<N>(f.pitch) + x).v};
}

// Byte k of each lane, as the lane's value: one byte shuffle, which picks
// within each 16 bytes (a set top bit picks zero).
template <int k, int N>
VecI<N> laneByte(VecPixel<N> p) {
    VecI<N> pick;
    for (int i = 0; i < N; ++i) pick.v[i] = (4 * (i % 4) + k) | static_cast<int>(0x80808000u);
    if constexpr (N == 8)
        return lanesOf(_mm256_shuffle_epi8(raw(VecI<N>(p.v)), raw(pick)));
    else
        return lanesOf(_mm512_shuffle_epi8(raw(VecI<N>(p.v)), raw(pick)));
}

template <int N>
RgbT<VecF<N>> toRgb(VecPixel<N> p) {
    return RgbT<VecF<N>>{toFloat(VecI<N>(p.v) & VecI<N>(0xff)), toFloat(laneByte<1>(p)), toFloat(laneByte<2>(p))};
}

template <int N>
VecPixel<N> opaquePixel(VecI<N> b, VecI<N> g, VecI<N> r) {
    return VecPixel<N>{(b | (g << 8) | (r << 16) | VecI<N>(static_cast<int>(0xff000000u))).v};
}

template <int N>
void storePixel(uchar4* out, int pitch, LaneX<N> x, int y, VecPixel<N> p) {
    std::memcpy(out + pixelIndex(x.base, y, pitch), &p.v, sizeof p.v);
}

template <int N>
MotionVector<VecI<N>> motionVectorAt(const int2* mv, int blocksX, LaneX<N> x, int y) {
    const int2* row = mv + static_cast<long long>(blocksX) * (y / kMotionBlock);
    if (x.contiguous() && x.base / kMotionBlock == x.last() / kMotionBlock) {
        const int2 v = row[x.base / kMotionBlock];
        return MotionVector<VecI<N>>{VecI<N>(v.x), VecI<N>(v.y)};
    }
    const VecI<N> entry = columnIndex(x) / kMotionBlock * 2;
    return MotionVector<VecI<N>>{gather(row, entry), gather(row, entry + 1)};
}

// ---- sampling ---------------------------------------------------------------------

template <int N>
LaneX<N> sampleCoord(LaneX<N> g, int step) {
    return g * step;
}
template <int N>
LaneX<N> narrowColumn(LaneX<N> x) {
    return x;
}

// The lane types of a group of N threads.
template <int N>
struct VectorLanes {
    using F = VecF<N>;
    using I = VecI<N>;
    using M = VecM<N>;
    using X = LaneX<N>;
    using Pixel = VecPixel<N>;
};

}  // namespace QNR_ISA

template <int N>
struct LanesOfColumn<LaneX<N>> {
    using type = VectorLanes<N>;
};

template <int N>
struct Columns<LaneX<N>> {
    static constexpr int kLanes = N;
    static LaneX<N> make(int base, int stride) { return LaneX<N>{base, stride}; }
};

}  // namespace qnr
