// The per-pixel processing kernel: impulse correction against local medians,
// bilateral spatial filter, motion-compensated temporal blend, deblocking,
// stabilisation, sharpening and luma-only output. One call computes and writes
// one output pixel (or, with lane types, one pixel per lane); threads share
// nothing. The thread's column x is an int, or a group of neighbouring
// columns; its row y is the same for all lanes.
#pragma once

#include "kernels/helpers.h"
#include "kernels/kernel_args.h"
#include "kernels/launch_geometry.h"

namespace qnr {

// The current frame's 3x3 neighbourhood, as read (edge-clamped).
template <class L = ScalarLanes>
struct Neighbourhood {
    typename L::Pixel px[3][3];  // [row][column], centre at [1][1]
    typename L::F y[3][3];       // their lumas
};

// What the impulse correction leaves for the later stages.
template <class F = float>
struct Reference {
    F yref;  // reference luma
    F b, r;  // corrected blue and red
};

struct SpatialShape {
    float sigmaS, sigmaR;
    int radius;
};

template <class F = float>
struct BilateralSums {
    F b, g, r, w;
};

inline namespace QNR_ISA {

template <class M, class F>
QNR_HD RgbT<F> select(M m, RgbT<F> a, RgbT<F> b) {
    return RgbT<F>{select(m, a.b, b.b), select(m, a.g, b.g), select(m, a.r, b.r)};
}

// ---- selection ---------------------------------------------------------------

// Moves the smallest of v[0..n) to v[n-1] by neighbour exchanges.
template <class F>
QNR_HD void sinkSmallest(F* v, int n) {
    for (int i = 0; i + 1 < n; ++i) {
        const auto exchange = v[i] < v[i + 1];
        const F first = v[i];
        v[i] = select(exchange, v[i + 1], first);
        v[i + 1] = select(exchange, first, v[i + 1]);
    }
}

template <class F>
QNR_HD F smallestOf(const F* v, int n) {
    F m = v[0];
    for (int i = 1; i < n; ++i) m = minOf(m, v[i]);
    return m;
}

// The median of nine: drop the smallest four times, then the minimum of five.
template <class F>
QNR_HD F median9(F v[9]) {
QNR_UNROLL
    for (int n = 9; n > 5; --n) sinkSmallest(v, n);
    return smallestOf(v, 5);
}

// The median of five: drop the smallest twice, then the minimum of three.
template <class F>
QNR_HD F median5(F v[5]) {
QNR_UNROLL
    for (int n = 5; n > 3; --n) sinkSmallest(v, n);
    return smallestOf(v, 3);
}

// ---- frame and local statistics ----------------------------------------------

template <class X>
QNR_HD Neighbourhood<LanesOf<X>> readNeighbourhood(FrameView f, X x, int y) {
    Neighbourhood<LanesOf<X>> n;
QNR_UNROLL
    for (int j = 0; j < 3; ++j) {
QNR_UNROLL
        for (int i = 0; i < 3; ++i) {
            n.px[j][i] = pixelClamped(f, x + (i - 1), y + j - 1);
            n.y[j][i] = luma(n.px[j][i]);
        }
    }
    return n;
}

template <class L>
QNR_HD typename L::F median3x3(const Neighbourhood<L>& n) {
    typename L::F v[9];
QNR_UNROLL
    for (int k = 0; k < 9; ++k) v[k] = n.y[k / 3][k % 3];
    return median9(v);
}

template <class X>
QNR_HD typename LanesOf<X>::F medianRow5(FrameView f, const Neighbourhood<LanesOf<X>>& n, X x, int y) {
    typename LanesOf<X>::F v[5] = {lumaClamped(f, x - 2, y), n.y[1][0], n.y[1][1], n.y[1][2],
                                   lumaClamped(f, x + 2, y)};
    return median5(v);
}

QNR_HD float impulseThreshold(const Settings& s) {
    return maxOf((2.2f + 2.4f * s.sigmaY) * (1.0f + 0.1f * s.d), 8.0f);
}

// Pulls an impulse toward its median by scaling the centre's channels; the
// frame itself is not changed, only the reference the stages measure against.
template <class X>
QNR_HD Reference<typename LanesOf<X>::F> correctImpulse(const Settings& s, FrameView f,
                                                         const Neighbourhood<LanesOf<X>>& n, X x, int y) {
    using F = typename LanesOf<X>::F;
    const RgbT<F> c = toRgb(n.px[1][1]);
    const F yc = n.y[1][1];
    const Reference<F> plain{yc, c.b, c.r};
    if (s.d <= 0.15f && s.db <= 0.05f) return plain;

    // The 3x3 median decides first; the row of five only where it finds none.
    const float threshold = impulseThreshold(s);
    F median = median3x3(n);
    auto impulse = absOf(yc - median) > threshold;
    if (anyOf(!impulse)) {
        const F row = medianRow5(f, n, x, y);
        median = select(impulse, median, row);
        impulse = impulse || absOf(yc - row) > threshold;
    }
    if (!anyOf(impulse)) return plain;

    const F k = select(yc > 0.001f, clampf(median / yc, 0.8f, 1.25f), F(1.0f));
    const F b = toFloat(roundToByte(c.b * k));
    const F g = toFloat(roundToByte(c.g * k));
    const F r = toFloat(roundToByte(c.r * k));
    const F yref = lumaGreenFirst(b, g, r);
    return Reference<F>{select(impulse, yref, plain.yref), select(impulse, b, plain.b),
                        select(impulse, r, plain.r)};
}

// The spatial window's largest radius; the CPU executor sizes its weight
// table from it.
constexpr int kMaxSpatialRadius = 5;

QNR_HD SpatialShape spatialShape(const Settings& s) {
    SpatialShape sh;
    sh.sigmaS = 1.15f + 0.48f * sqrtOf(s.d);
    sh.sigmaR = maxOf(s.d * (3.8f + 2.45f * s.sigmaY), 3.0f);
    if (s.sigmaY > 16.0f || s.d > 2.5f)
        sh.radius = kMaxSpatialRadius;
    else if (s.sigmaY > 10.0f || s.d > 1.25f)
        sh.radius = 4;
    else
        sh.radius = 3;
    return sh;
}

QNR_HD float inverseSigmaS(const SpatialShape& sh) { return 1.0f / (sh.sigmaS + 0.000001f); }

// ---- spatial denoise ---------------------------------------------------------

// exp(-1/2 (dist/sigmaS)^2) for the integer squared distance `dist2`.
QNR_HD float spatialWeight(int dist2, float invSigmaS) {
    const float t = sqrtOf(static_cast<float>(dist2)) * invSigmaS;
    return fastExp(t * (-0.5f * t));
}

// The spatial weights depend only on the tap and the launch's settings. The
// GPU computes each where it is needed; the CPU executor may hand in a table
// of the very same values (spatialWeight of the same arguments).
struct ComputedSpatialWeights {
    QNR_HD float operator()(int dist2, float invSigmaS) const { return spatialWeight(dist2, invSigmaS); }
};

template <class X>
struct BilateralTap {
    using F = typename LanesOf<X>::F;
    FrameView f;
    X x;
    int y;
    F yref;
    float invSigmaR;

    QNR_HD void add(BilateralSums<F>& s, int dx, int dy, float ws) const {
        const RgbT<F> p = toRgb(pixelClamped(f, x + dx, y + dy));
        const F u = (luma(p) - yref) * invSigmaR;
        const F w = ws * fastExp(u * (-0.5f * u));
        s.b = fusedMulAdd(w, p.b, s.b);
        s.g = fusedMulAdd(w, p.g, s.g);
        s.r = fusedMulAdd(w, p.r, s.r);
        s.w += w;
    }
};

// Radius 3: fully unrolled; one spatial weight per distinct distance.
template <class X, class Weights = ComputedSpatialWeights>
QNR_HD BilateralSums<typename LanesOf<X>::F> bilateral3(const BilateralTap<X>& tap, float invSigmaS,
                                                         const Weights& weights = Weights{}) {
    float ws[4][4];  // [|dx|][|dy|], symmetric
QNR_UNROLL
    for (int a = 0; a < 4; ++a) {
QNR_UNROLL
        for (int b = a; b < 4; ++b) {
            ws[a][b] = weights(a * a + b * b, invSigmaS);
            ws[b][a] = ws[a][b];
        }
    }
    BilateralSums<typename LanesOf<X>::F> s{0.0f, 0.0f, 0.0f, 0.0f};
QNR_UNROLL
    for (int dy = -3; dy <= 3; ++dy) {
QNR_UNROLL
        for (int dx = -3; dx <= 3; ++dx) tap.add(s, dx, dy, ws[dx < 0 ? -dx : dx][dy < 0 ? -dy : dy]);
    }
    return s;
}

// Radius 4: a loop over rows; per row one weight per |dx| serves both sides.
template <class X, class Weights = ComputedSpatialWeights>
QNR_HD BilateralSums<typename LanesOf<X>::F> bilateral4(const BilateralTap<X>& tap, float invSigmaS,
                                                         const Weights& weights = Weights{}) {
    BilateralSums<typename LanesOf<X>::F> s{0.0f, 0.0f, 0.0f, 0.0f};
    for (int dy = -4; dy <= 4; ++dy) {
        float ws[5];
QNR_UNROLL
        for (int a = 4; a >= 0; --a) ws[a] = weights(a * a + dy * dy, invSigmaS);
QNR_UNROLL
        for (int dx = -4; dx <= 4; ++dx) tap.add(s, dx, dy, ws[dx < 0 ? -dx : dx]);
    }
    return s;
}

// Radius 5: rows, and four taps per pass along a row (three in the last).
template <class X, class Weights = ComputedSpatialWeights>
QNR_HD BilateralSums<typename LanesOf<X>::F> bilateral5(const BilateralTap<X>& tap, float invSigmaS,
                                                         const Weights& weights = Weights{}) {
    BilateralSums<typename LanesOf<X>::F> s{0.0f, 0.0f, 0.0f, 0.0f};
    for (int dy = -5; dy <= 5; ++dy) {
        for (int dx0 = -5; dx0 <= 5; dx0 += 4) {
QNR_UNROLL
            for (int k = 0; k < 4; ++k) {
                const int dx = dx0 + k;
                if (dx <= 5) tap.add(s, dx, dy, weights(dx * dx + dy * dy, invSigmaS));
            }
        }
    }
    return s;
}

template <class X, class Weights = ComputedSpatialWeights>
QNR_HD RgbT<typename LanesOf<X>::F> spatialDenoise(FrameView f, X x, int y, typename LanesOf<X>::F yref,
                                                   const SpatialShape& sh, const Weights& weights = Weights{}) {
    using F = typename LanesOf<X>::F;
    const float invSigmaS = inverseSigmaS(sh);
    const BilateralTap<X> tap{f, x, y, yref, 1.0f / (sh.sigmaR + 0.000001f)};
    BilateralSums<F> s;
    if (sh.radius == 3)
        s = bilateral3(tap, invSigmaS, weights);
    else if (sh.radius == 4)
        s = bilateral4(tap, invSigmaS, weights);
    else
        s = bilateral5(tap, invSigmaS, weights);
    const F n = 1.0f / maxOf(s.w, F(0.000001f));
    return RgbT<F>{s.b * n, s.g * n, s.r * n};
}

// ---- temporal blend ----------------------------------------------------------

// The vector of the motion block that holds pixel (x, y).
QNR_HD MotionVector<int> motionVectorAt(const int2* mv, int blocksX, int x, int y) {
    const int2 v = mv[x / kMotionBlock + static_cast<long long>(blocksX) * (y / kMotionBlock)];
    return MotionVector<int>{v.x, v.y};
}

template <class X, class I>
QNR_HD RgbT<typename LanesOf<X>::F> compensatedPixel(FrameView f, X x, int y, MotionVector<I> v) {
    const I cx = clampOffset(columnIndex(x), v.dx, f.width);
    const I cy = clampOffset(I(y), v.dy, f.height);
    return toRgb(pixelAt(f, cx, cy));
}

template <class F>
QNR_HD F similarity(F y, F yref, float scale) {
    const F q = absOf(y - yref) / scale;
    return fastExp(-0.5f * (q * q));
}

// Adds a candidate whose weight is above 0.0001; lighter ones count not at all.
template <class F>
QNR_HD void addCandidate(RgbT<F>& a, F& w, RgbT<F> p, F wp) {
    const auto counts = wp > 0.0001f;
    a.b = select(counts, fusedMulAdd(wp, p.b, a.b), a.b);
    a.g = select(counts, fusedMulAdd(wp, p.g, a.g), a.g);
    a.r = select(counts, fusedMulAdd(wp, p.r, a.r), a.r);
    w = select(counts, w + wp, w);
}

template <class F>
QNR_HD F blendChannel(F s, F avg, float t) {
    return fusedMulAdd(F(1.0f - t), s, t * avg);
}

template <class X>
QNR_HD RgbT<typename LanesOf<X>::F> temporalBlend(const ProcessArgs& a, const Settings& st, X x, int y,
                                                  typename LanesOf<X>::F yref, RgbT<typename LanesOf<X>::F> s) {
    using F = typename LanesOf<X>::F;
    const float t = st.temporal;
    if (!(t > 0.01f)) return s;
    const FrameView prev{a.prev, a.width, a.height, a.pitch};
    const FrameView prev2{a.prev2, a.width, a.height, a.pitch};
    const RgbT<F> p1 = compensatedPixel(prev, x, y, motionVectorAt(a.mv1, a.blocksX, x, y));
    const RgbT<F> p2 = compensatedPixel(prev2, x, y, motionVectorAt(a.mv2, a.blocksX, x, y));
    const float scale = maxOf(2.4f * st.sigmaY + 4.0f, 7.0f);
    const F w1 = similarity(luma(p1), yref, scale);
    const F w2 = 0.85f * similarity(luma(p2), yref, scale);

    RgbT<F> acc = s;
    F w = 1.0f;
    addCandidate(acc, w, p1, w1);
    addCandidate(acc, w, p2, w2);
    const F inv = 1.0f / w;
    return RgbT<F>{blendChannel(s.b, acc.b * inv, t), blendChannel(s.g, acc.g * inv, t),
                   blendChannel(s.r, acc.r * inv, t)};
}

// ---- deblock, stabilise, sharpen -------------------------------------------

// |Y(x+1) - Y(x-1)| + |Y(y+1) - Y(y-1)| of the input luma.
template <class L>
QNR_HD typename L::F crossGradient(const Neighbourhood<L>& n) {
    return absOf(n.y[1][2] - n.y[1][0]) + absOf(n.y[2][1] - n.y[0][1]);
}

template <class L>
QNR_HD RgbT<typename L::F> boxMean(const Neighbourhood<L>& n) {
    using F = typename L::F;
    RgbT<F> sum{0.0f, 0.0f, 0.0f};
QNR_UNROLL
    for (int j = 0; j < 3; ++j) {
QNR_UNROLL
        for (int i = 0; i < 3; ++i) {
            const RgbT<F> p = toRgb(n.px[j][i]);
            sum.b += p.b;
            sum.g += p.g;
            sum.r += p.r;
        }
    }
    return RgbT<F>{sum.b * kNinth, sum.g * kNinth, sum.r * kNinth};
}

template <class F>
QNR_HD RgbT<F> mix(RgbT<F> s, RgbT<F> target, F k) {
    const F keep = 1.0f - k;
    return RgbT<F>{s.b * keep + k * target.b, s.g * keep + k * target.g, s.r * keep + k * target.r};
}

// Distance of a coordinate to the nearest border of its 8-pixel cell (0..3).
template <class I>
QNR_HD I cellBorderDistance(I c) {
    const I i = c % 8;
    return select(i < 7 - i, i, 7 - i);
}

// Blend weight toward the box mean on the two outer rows and columns of every
// 8x8 cell; 0 elsewhere.
template <class X>
QNR_HD typename LanesOf<X>::F deblockWeight(const Settings& st, X x, int y, typename LanesOf<X>::F gradient) {
    using L = LanesOf<X>;
    using F = typename L::F;
    const typename L::I r = minOf(cellBorderDistance(columnIndex(x)), typename L::I(cellBorderDistance(y)));
    const F e = maxOf(1.0f - gradient / 56.0f, F(0.0f));
    const float a = minOf(0.022f * st.sigmaY + 0.1f, 0.42f);
    const float b = minOf(0.12f * st.d + 0.55f, 1.0f);
    F k = b * (a * (st.db * e));
    k = select(r == 1, k * 0.65f, k);
    return select(r > 1, F(0.0f), k);
}

template <class F>
QNR_HD F stabiliseWeight(const Settings& st, F flatness, F yPrevOut, F yref) {
    const F a = minOf(st.stabilize * flatness, F(0.45f));
    const float limit = maxOf(2.6f * st.sigmaY + 7.0f, 12.0f);
    return select(absOf(yPrevOut - yref) < limit, a, F(0.0f));
}

QNR_HD float sharpenCap(float sigmaY) {
    if (sigmaY > 24.0f) return 0.05f;
    if (sigmaY > 16.0f) return 0.07f;
    if (sigmaY > 8.0f) return 0.10f;
    return 0.14f;
}

QNR_HD float sharpenAmount(const Settings& st) {
    return minOf(st.sharpen, sharpenCap(st.sigmaY)) * (1.0f - 0.35f * st.db);
}

template <class F>
QNR_HD F sharpenDetail(F s, F mean, float limit, float scale) {
    return clampf(s - mean, -limit, limit) * scale;
}

template <class L>
QNR_HD RgbT<typename L::F> sharpen(const Settings& st, const Neighbourhood<L>& n, typename L::F yref,
                                   typename L::F flatness, float amount, RgbT<typename L::F> mean,
                                   RgbT<typename L::F> s) {
    using F = typename L::F;
    const float limit = 0.65f * st.sigmaY + 6.0f;
    const float scale = 1.0f / (0.03f * st.sigmaY + 1.0f);
    const F lap = n.y[1][0] - 4.0f * yref + n.y[1][2] + n.y[0][1] + n.y[2][1];
    const F q = minOf(absOf(lap) / 64.0f, F(1.0f));
    const F gain = (0.35f + 0.65f * flatness) * ((amount * q) * (0.35f + 0.65f * q));
    return RgbT<F>{fusedMulAdd(sharpenDetail(s.b, mean.b, limit, scale), gain, s.b),
                   fusedMulAdd(sharpenDetail(s.g, mean.g, limit, scale), gain, s.g),
                   fusedMulAdd(sharpenDetail(s.r, mean.r, limit, scale), gain, s.r)};
}

// ---- output ------------------------------------------------------------------

// Keeps the reference pixel's colour differences and takes only the (limited)
// luma change of the running result.
template <class F>
QNR_HD auto recombine(const Settings& st, const Reference<F>& ref, RgbT<F> s)
    -> decltype(opaquePixel(roundToByte(s.b), roundToByte(s.g), roundToByte(s.r))) {
    F delta = luma(s) - ref.yref;
    delta = select(absOf(delta) > 2.3f * st.sigmaY + 7.0f, 0.45f * delta, delta);
    const F yn = ref.yref + delta;
    const F cb = (ref.b - ref.yref) / kBlueDifferenceScale;
    const F cr = (ref.r - ref.yref) / kRedDifferenceScale;
    const F r = cr * kRedDifferenceScale + yn;
    const F b = cb * kBlueDifferenceScale + yn;
    const F g = ((yn - kLumaR * r) - kLumaB * b) / kLumaG;
    return opaquePixel(roundToByte(b), roundToByte(g), roundToByte(r));
}

// ---- the whole pixel -----------------------------------------------------------

QNR_HD void storePixel(uchar4* out, int pitch, int x, int y, uchar4 p) { out[pixelIndex(x, y, pitch)] = p; }

// The whole chain for in-frame pixels.
template <class X, class Weights>
QNR_HD void processInFrame(const ProcessArgs& a, X x, int y, const Weights& weights) {
    using F = typename LanesOf<X>::F;
    const Settings st = conditionSettings(a.params);
    const FrameView cur{a.cur, a.width, a.height, a.pitch};
    const Neighbourhood<LanesOf<X>> n = readNeighbourhood(cur, x, y);
    const Reference<F> ref = correctImpulse(st, cur, n, x, y);

    RgbT<F> s = spatialDenoise(cur, x, y, ref.yref, spatialShape(st), weights);
    s = temporalBlend(a, st, x, y, ref.yref, s);

    const F gradient = crossGradient(n);
    const float amount = sharpenAmount(st);
    const bool needMean = st.db > 0.001f || amount > 0.001f;
    const RgbT<F> mean = needMean ? boxMean(n) : RgbT<F>{0.0f, 0.0f, 0.0f};
    if (st.db > 0.001f) {
        const F k = deblockWeight(st, x, y, gradient);
        const auto blends = k != 0.0f;
        if (anyOf(blends)) s = select(blends, mix(s, mean, k), s);
    }

    const F flatness = 1.0f - minOf(gradient / 64.0f, F(1.0f));
    const RgbT<F> o = toRgb(pixelAt(FrameView{a.prevOut, a.width, a.height, a.pitch}, x, y));
    s = mix(s, o, stabiliseWeight(st, flatness, luma(o), ref.yref));

    if (amount > 0.001f) s = sharpen(st, n, ref.yref, flatness, amount, mean, s);

    storePixel(a.out, a.pitch, x, y, recombine(st, ref, s));
}

// One thread: pixels outside the frame write nothing.
QNR_HD void processPixel(const ProcessArgs& a, int x, int y) {
    if (x < 0 || y < 0 || x >= a.width || y >= a.height) return;
    processInFrame(a, x, y, ComputedSpatialWeights{});
}

}  // namespace QNR_ISA
}  // namespace qnr
