// Noise profiling: per sample point, the luma's absolute deviation from its 3x3
// mean, weighted by how flat the neighbourhood is. Each thread block sums its
// points' contributions in double precision by a halving tree and leaves the
// totals in its own slot; the host adds the slots in block order.
#pragma once

#include "kernels/helpers.h"
#include "kernels/launch_geometry.h"

namespace qnr {

// A sample point's contribution as floats; the block sums them as doubles.
template <class F = float>
struct ProfileSample {
    F weighted;  // residual times weight (the float product)
    F weight;
};

inline namespace QNR_ISA {

// The sampled position step * g; never overflows for one thread.
QNR_HD long long sampleCoord(int g, int step) { return static_cast<long long>(step) * g; }
QNR_HD int narrowColumn(long long x) { return static_cast<int>(x); }

// The contribution of sample point (gx, gy) of the sampling grid; (0, 0) when
// the point lies outside the frame. With lane types, gx stands for
// neighbouring threads of one row of the block.
template <class G>
QNR_HD auto profileSample(FrameView f, G gx, int gy, int step) -> ProfileSample<decltype(lumaClamped(f, gx, 0))> {
    using F = decltype(lumaClamped(f, gx, 0));
    const ProfileSample<F> none{0.0f, 0.0f};
    const long long py = sampleCoord(gy, step);
    if (py < 0 || py >= f.height) return none;
    const auto px = sampleCoord(gx, step);
    const auto inside = px >= 0 && px < f.width;
    if (!anyOf(inside)) return none;

    // Neighbours clamped to the frame; a lane outside it reads clamped pixels
    // and contributes nothing.
    const auto x = narrowColumn(px);
    const int y = static_cast<int>(py);
    F l[3][3];
    F sum = 0.0f;
QNR_UNROLL
    for (int j = 0; j < 3; ++j) {
QNR_UNROLL
        for (int i = 0; i < 3; ++i) {
            l[j][i] = lumaClamped(f, x + (i - 1), y + j - 1);
            sum += l[j][i];
        }
    }
    const F residual = absOf(fusedMulAdd(sum, F(-kNinth), l[1][1]));
    const F gradient = absOf(l[1][2] - l[1][0]) + absOf(l[2][1] - l[0][1]);
    const F w = maxOf(1.0f + gradient / -60.0f, F(0.0f));
    return ProfileSample<F>{select(inside, residual * w, F(0.0f)), select(inside, w, F(0.0f))};
}

// One level of the tree, for the threads below `half`.
QNR_HD void reduceProfileLevel(double* sums, double* weights, int t, int half) {
    if (t < half) {
        sums[t] = sums[t + half] + sums[t];
        weights[t] = weights[t + half] + weights[t];
    }
}

}  // namespace QNR_ISA
}  // namespace qnr
