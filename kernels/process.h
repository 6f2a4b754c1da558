// The per-pixel processing kernel: impulse correction against local medians,
// bilateral spatial filter, motion-compensated temporal blend, deblocking,
// stabilisation, sharpening and luma-only output. One call computes and writes
// one output pixel; threads share nothing.
#pragma once

#include "kernels/helpers.h"

namespace qnr {

struct ProcessArgs {
    const uchar4* cur;
    const uchar4* prev;
    const uchar4* prev2;
    const uchar4* prevOut;
    const int2* mv1;
    const int2* mv2;
    int blocksX;
    uchar4* out;
    int width, height, pitch;
    CudaNRParams params;
};

// The current frame's 3x3 neighbourhood, as read (edge-clamped).
struct Neighbourhood {
    uchar4 px[3][3];  // [row][column], centre at [1][1]
    float y[3][3];    // their lumas
};

// What the impulse correction leaves for the later stages.
struct Reference {
    float yref;  // reference luma
    float b, r;  // corrected blue and red
};

struct SpatialShape {
    float sigmaS, sigmaR;
    int radius;
};

// ---- selection ---------------------------------------------------------------

// Moves the smallest of v[0..n) to v[n-1] by neighbour exchanges.
QNR_HD void sinkSmallest(float* v, int n) {
    for (int i = 0; i + 1 < n; ++i) {
        if (v[i] < v[i + 1]) {
            const float t = v[i];
            v[i] = v[i + 1];
            v[i + 1] = t;
        }
    }
}

QNR_HD float minOf(const float* v, int n) {
    float m = v[0];
    for (int i = 1; i < n; ++i) m = fminf(m, v[i]);
    return m;
}

// The median of nine: drop the smallest four times, then the minimum of five.
QNR_HD float median9(float v[9]) {
QNR_UNROLL
    for (int n = 9; n > 5; --n) sinkSmallest(v, n);
    return minOf(v, 5);
}

// The median of five: drop the smallest twice, then the minimum of three.
QNR_HD float median5(float v[5]) {
QNR_UNROLL
    for (int n = 5; n > 3; --n) sinkSmallest(v, n);
    return minOf(v, 3);
}

// ---- frame and local statistics ----------------------------------------------

QNR_HD Neighbourhood readNeighbourhood(FrameView f, int x, int y) {
    Neighbourhood n;
QNR_UNROLL
    for (int j = 0; j < 3; ++j) {
QNR_UNROLL
        for (int i = 0; i < 3; ++i) {
            n.px[j][i] = pixelClamped(f, x + i - 1, y + j - 1);
            n.y[j][i] = luma(n.px[j][i]);
        }
    }
    return n;
}

QNR_HD float median3x3(const Neighbourhood& n) {
    float v[9];
QNR_UNROLL
    for (int k = 0; k < 9; ++k) v[k] = n.y[k / 3][k % 3];
    return median9(v);
}

QNR_HD float medianRow5(FrameView f, const Neighbourhood& n, int x, int y) {
    float v[5] = {lumaClamped(f, x - 2, y), n.y[1][0], n.y[1][1], n.y[1][2], lumaClamped(f, x + 2, y)};
    return median5(v);
}

QNR_HD float impulseThreshold(const Settings& s) {
    return fmaxf((2.2f + 2.4f * s.sigmaY) * (1.0f + 0.1f * s.d), 8.0f);
}

// Pulls an impulse toward its median by scaling the centre's channels; the
// frame itself is not changed, only the reference the stages measure against.
QNR_HD Reference correctImpulse(const Settings& s, FrameView f, const Neighbourhood& n, int x,
                                int y) {
    const Rgb c = toRgb(n.px[1][1]);
    const float yc = n.y[1][1];
    Reference ref{yc, c.b, c.r};
    if (s.d <= 0.15f && s.db <= 0.05f) return ref;

    const float threshold = impulseThreshold(s);
    float median = median3x3(n);
    if (!(fabsf(yc - median) > threshold)) {
        median = medianRow5(f, n, x, y);
        if (!(fabsf(yc - median) > threshold)) return ref;
    }

    const float k = yc > 0.001f ? clampf(median / yc, 0.8f, 1.25f) : 1.0f;
    const float b = roundToByte(c.b * k);
    const float g = roundToByte(c.g * k);
    const float r = roundToByte(c.r * k);
    ref.yref = fusedMulAdd(b, 0.0722f, fusedMulAdd(r, 0.2126f, g * 0.7152f));
    ref.b = b;
    ref.r = r;
    return ref;
}

QNR_HD SpatialShape spatialShape(const Settings& s) {
    SpatialShape sh;
    sh.sigmaS = 1.15f + 0.48f * sqrtf(s.d);
    sh.sigmaR = fmaxf(s.d * (3.8f + 2.45f * s.sigmaY), 3.0f);
    if (s.sigmaY > 16.0f || s.d > 2.5f)
        sh.radius = 5;
    else if (s.sigmaY > 10.0f || s.d > 1.25f)
        sh.radius = 4;
    else
        sh.radius = 3;
    return sh;
}

// ---- spatial denoise ---------------------------------------------------------

struct BilateralSums {
    float b, g, r, w;
};

// exp(-1/2 (dist/sigmaS)^2) for the integer squared distance `dist2`.
QNR_HD float spatialWeight(int dist2, float invSigmaS) {
    const float t = sqrtf(static_cast<float>(dist2)) * invSigmaS;
    return fastExp(t * (-0.5f * t));
}

struct BilateralTap {
    FrameView f;
    int x, y;
    float yref, invSigmaR;

    QNR_HD void add(BilateralSums& s, int dx, int dy, float ws) const {
        const Rgb p = toRgb(pixelClamped(f, x + dx, y + dy));
        const float u = (luma(p) - yref) * invSigmaR;
        const float w = ws * fastExp(u * (-0.5f * u));
        s.b = fusedMulAdd(w, p.b, s.b);
        s.g = fusedMulAdd(w, p.g, s.g);
        s.r = fusedMulAdd(w, p.r, s.r);
        s.w += w;
    }
};

// Radius 3: fully unrolled; one spatial weight per distinct distance.
QNR_HD BilateralSums bilateral3(const BilateralTap& tap, float invSigmaS) {
    float ws[4][4];  // [|dx|][|dy|], symmetric
QNR_UNROLL
    for (int a = 0; a < 4; ++a) {
QNR_UNROLL
        for (int b = a; b < 4; ++b) {
            ws[a][b] = spatialWeight(a * a + b * b, invSigmaS);
            ws[b][a] = ws[a][b];
        }
    }
    BilateralSums s{0.0f, 0.0f, 0.0f, 0.0f};
QNR_UNROLL
    for (int dy = -3; dy <= 3; ++dy) {
QNR_UNROLL
        for (int dx = -3; dx <= 3; ++dx) tap.add(s, dx, dy, ws[dx < 0 ? -dx : dx][dy < 0 ? -dy : dy]);
    }
    return s;
}

// Radius 4: a loop over rows; per row one weight per |dx| serves both sides.
QNR_HD BilateralSums bilateral4(const BilateralTap& tap, float invSigmaS) {
    BilateralSums s{0.0f, 0.0f, 0.0f, 0.0f};
    for (int dy = -4; dy <= 4; ++dy) {
        float ws[5];
QNR_UNROLL
        for (int a = 4; a >= 0; --a) ws[a] = spatialWeight(a * a + dy * dy, invSigmaS);
QNR_UNROLL
        for (int dx = -4; dx <= 4; ++dx) tap.add(s, dx, dy, ws[dx < 0 ? -dx : dx]);
    }
    return s;
}

// Radius 5: rows, and four taps per pass along a row (three in the last).
QNR_HD BilateralSums bilateral5(const BilateralTap& tap, float invSigmaS) {
    BilateralSums s{0.0f, 0.0f, 0.0f, 0.0f};
    for (int dy = -5; dy <= 5; ++dy) {
        for (int dx0 = -5; dx0 <= 5; dx0 += 4) {
QNR_UNROLL
            for (int k = 0; k < 4; ++k) {
                const int dx = dx0 + k;
                if (dx <= 5) tap.add(s, dx, dy, spatialWeight(dx * dx + dy * dy, invSigmaS));
            }
        }
    }
    return s;
}

QNR_HD Rgb spatialDenoise(FrameView f, int x, int y, float yref, const SpatialShape& sh) {
    const float invSigmaS = 1.0f / (sh.sigmaS + 0.000001f);
    const BilateralTap tap{f, x, y, yref, 1.0f / (sh.sigmaR + 0.000001f)};
    BilateralSums s;
    if (sh.radius == 3)
        s = bilateral3(tap, invSigmaS);
    else if (sh.radius == 4)
        s = bilateral4(tap, invSigmaS);
    else
        s = bilateral5(tap, invSigmaS);
    const float n = 1.0f / fmaxf(s.w, 0.000001f);
    return Rgb{s.b * n, s.g * n, s.r * n};
}

// ---- temporal blend ----------------------------------------------------------

QNR_HD Rgb compensatedPixel(FrameView f, int x, int y, int2 v) {
    const int cx = clampCoordWide(static_cast<long long>(x) + v.x, f.width);
    const int cy = clampCoordWide(static_cast<long long>(y) + v.y, f.height);
    return toRgb(pixelAt(f, cx, cy));
}

QNR_HD float similarity(float y, float yref, float scale) {
    const float q = fabsf(y - yref) / scale;
    return fastExp(-0.5f * (q * q));
}

QNR_HD void addCandidate(Rgb& a, float& w, Rgb p, float wp) {
    if (!(wp > 0.0001f)) return;
    a.b = fusedMulAdd(wp, p.b, a.b);
    a.g = fusedMulAdd(wp, p.g, a.g);
    a.r = fusedMulAdd(wp, p.r, a.r);
    w += wp;
}

QNR_HD float blendChannel(float s, float avg, float t) {
    return fusedMulAdd(1.0f - t, s, t * avg);
}

QNR_HD Rgb temporalBlend(const ProcessArgs& a, const Settings& st, int x, int y, float yref,
                         Rgb s) {
    const float t = st.temporal;
    if (!(t > 0.01f)) return s;
    const long long block = x / 16 + static_cast<long long>(a.blocksX) * (y / 16);
    const FrameView prev{a.prev, a.width, a.height, a.pitch};
    const FrameView prev2{a.prev2, a.width, a.height, a.pitch};
    const Rgb p1 = compensatedPixel(prev, x, y, a.mv1[block]);
    const Rgb p2 = compensatedPixel(prev2, x, y, a.mv2[block]);
    const float scale = fmaxf(2.4f * st.sigmaY + 4.0f, 7.0f);
    const float w1 = similarity(luma(p1), yref, scale);
    const float w2 = 0.85f * similarity(luma(p2), yref, scale);

    Rgb acc = s;
    float w = 1.0f;
    addCandidate(acc, w, p1, w1);
    addCandidate(acc, w, p2, w2);
    const float inv = 1.0f / w;
    return Rgb{blendChannel(s.b, acc.b * inv, t), blendChannel(s.g, acc.g * inv, t),
               blendChannel(s.r, acc.r * inv, t)};
}

// ---- deblock, stabilise, sharpen -------------------------------------------

// |Y(x+1) - Y(x-1)| + |Y(y+1) - Y(y-1)| of the input luma.
QNR_HD float crossGradient(const Neighbourhood& n) {
    return fabsf(n.y[1][2] - n.y[1][0]) + fabsf(n.y[2][1] - n.y[0][1]);
}

QNR_HD Rgb boxMean(const Neighbourhood& n) {
    Rgb sum{0.0f, 0.0f, 0.0f};
QNR_UNROLL
    for (int j = 0; j < 3; ++j) {
QNR_UNROLL
        for (int i = 0; i < 3; ++i) {
            const Rgb p = toRgb(n.px[j][i]);
            sum.b += p.b;
            sum.g += p.g;
            sum.r += p.r;
        }
    }
    return Rgb{sum.b * kNinth, sum.g * kNinth, sum.r * kNinth};
}

QNR_HD Rgb mix(Rgb s, Rgb target, float k) {
    const float keep = 1.0f - k;
    return Rgb{s.b * keep + k * target.b, s.g * keep + k * target.g, s.r * keep + k * target.r};
}

// Distance of a coordinate to the nearest border of its 8-pixel cell (0..3).
QNR_HD int cellBorderDistance(int c) {
    const int i = c % 8;
    return i < 7 - i ? i : 7 - i;
}

// Blend weight toward the box mean on the two outer rows and columns of every
// 8x8 cell; 0 elsewhere.
QNR_HD float deblockWeight(const Settings& st, int x, int y, float gradient) {
    const int dx = cellBorderDistance(x), dy = cellBorderDistance(y);
    const int r = dx < dy ? dx : dy;
    if (r > 1) return 0.0f;
    const float e = fmaxf(1.0f - gradient / 56.0f, 0.0f);
    const float a = fminf(0.022f * st.sigmaY + 0.1f, 0.42f);
    const float b = fminf(0.12f * st.d + 0.55f, 1.0f);
    float k = b * (a * (st.db * e));
    if (r == 1) k *= 0.65f;
    return k;
}

QNR_HD float stabiliseWeight(const Settings& st, float flatness, float yPrevOut, float yref) {
    const float a = fminf(st.stabilize * flatness, 0.45f);
    const float limit = fmaxf(2.6f * st.sigmaY + 7.0f, 12.0f);
    return fabsf(yPrevOut - yref) < limit ? a : 0.0f;
}

QNR_HD float sharpenCap(float sigmaY) {
    if (sigmaY > 24.0f) return 0.05f;
    if (sigmaY > 16.0f) return 0.07f;
    if (sigmaY > 8.0f) return 0.10f;
    return 0.14f;
}

QNR_HD float sharpenAmount(const Settings& st) {
    return fminf(st.sharpen, sharpenCap(st.sigmaY)) * (1.0f - 0.35f * st.db);
}

QNR_HD float sharpenDetail(float s, float mean, float limit, float scale) {
    return clampf(s - mean, -limit, limit) * scale;
}

QNR_HD Rgb sharpen(const Settings& st, const Neighbourhood& n, float yref, float flatness,
                   float amount, Rgb mean, Rgb s) {
    const float limit = 0.65f * st.sigmaY + 6.0f;
    const float scale = 1.0f / (0.03f * st.sigmaY + 1.0f);
    const float lap = n.y[1][0] - 4.0f * yref + n.y[1][2] + n.y[0][1] + n.y[2][1];
    const float q = fminf(fabsf(lap) / 64.0f, 1.0f);
    const float gain = (0.35f + 0.65f * flatness) * ((amount * q) * (0.35f + 0.65f * q));
    return Rgb{fusedMulAdd(sharpenDetail(s.b, mean.b, limit, scale), gain, s.b),
               fusedMulAdd(sharpenDetail(s.g, mean.g, limit, scale), gain, s.g),
               fusedMulAdd(sharpenDetail(s.r, mean.r, limit, scale), gain, s.r)};
}

// ---- output ------------------------------------------------------------------

// Keeps the reference pixel's colour differences and takes only the (limited)
// luma change of the running result.
QNR_HD uchar4 recombine(const Settings& st, const Reference& ref, Rgb s) {
    float delta = luma(s) - ref.yref;
    if (fabsf(delta) > 2.3f * st.sigmaY + 7.0f) delta = 0.45f * delta;
    const float yn = ref.yref + delta;
    const float cb = (ref.b - ref.yref) / 1.8556f;
    const float cr = (ref.r - ref.yref) / 1.5748f;
    const float r = cr * 1.5748f + yn;
    const float b = cb * 1.8556f + yn;
    const float g = ((yn - 0.2126f * r) - 0.0722f * b) / 0.7152f;
    uchar4 o;
    o.x = roundToByte(b);
    o.y = roundToByte(g);
    o.z = roundToByte(r);
    o.w = 255;
    return o;
}

// ---- the whole pixel -----------------------------------------------------------

QNR_HD void processPixel(const ProcessArgs& a, int x, int y) {
    if (x < 0 || y < 0 || x >= a.width || y >= a.height) return;
    const Settings st = conditionSettings(a.params);
    const FrameView cur{a.cur, a.width, a.height, a.pitch};
    const Neighbourhood n = readNeighbourhood(cur, x, y);
    const Reference ref = correctImpulse(st, cur, n, x, y);

    Rgb s = spatialDenoise(cur, x, y, ref.yref, spatialShape(st));
    s = temporalBlend(a, st, x, y, ref.yref, s);

    const float gradient = crossGradient(n);
    const float amount = sharpenAmount(st);
    const bool needMean = st.db > 0.001f || amount > 0.001f;
    const Rgb mean = needMean ? boxMean(n) : Rgb{0.0f, 0.0f, 0.0f};
    if (st.db > 0.001f) {
        const float k = deblockWeight(st, x, y, gradient);
        if (k != 0.0f) s = mix(s, mean, k);
    }

    const float flatness = 1.0f - fminf(gradient / 64.0f, 1.0f);
    const Rgb o = toRgb(pixelAt(FrameView{a.prevOut, a.width, a.height, a.pitch}, x, y));
    s = mix(s, o, stabiliseWeight(st, flatness, luma(o), ref.yref));

    if (amount > 0.001f) s = sharpen(st, n, ref.yref, flatness, amount, mean, s);

    a.out[pixelIndex(x, y, a.pitch)] = recombine(st, ref, s);
}

}  // namespace qnr
