// Noise profiling: per sample point, the luma's absolute deviation from its 3x3
// mean, weighted by how flat the neighbourhood is. Blocks of 16x16 threads sum
// their contributions in double precision by a halving tree.
#pragma once

#include "kernels/helpers.h"

namespace qnr {

constexpr int kProfileSlots = 256;

struct ProfileSample {
    double weighted;  // residual times weight
    double weight;
};

// The contribution of sample point (gx, gy) of the sampling grid; (0, 0) when
// the point lies outside the frame.
QNR_HD ProfileSample profileSample(FrameView f, int gx, int gy, int step) {
    const long long px = static_cast<long long>(step) * gx;
    const long long py = static_cast<long long>(step) * gy;
    if (px < 0 || py < 0 || px >= f.width || py >= f.height) return ProfileSample{0.0, 0.0};
    const int x = static_cast<int>(px), y = static_cast<int>(py);
    const int xl = x - 1 > 0 ? x - 1 : 0;
    const int xr = x + 1 < f.width - 1 ? x + 1 : f.width - 1;
    const int yu = y - 1 > 0 ? y - 1 : 0;
    const int yd = y + 1 < f.height - 1 ? y + 1 : f.height - 1;

    const int cols[3] = {xl, x, xr};
    const int rows[3] = {yu, y, yd};
    float l[3][3];
    float sum = 0.0f;
QNR_UNROLL
    for (int j = 0; j < 3; ++j) {
QNR_UNROLL
        for (int i = 0; i < 3; ++i) {
            l[j][i] = luma(pixelAt(f, cols[i], rows[j]));
            sum += l[j][i];
        }
    }
    const float residual = fabsf(fusedMulAdd(sum, -kNinth, l[1][1]));
    const float gradient = fabsf(l[1][2] - l[1][0]) + fabsf(l[2][1] - l[0][1]);
    const float w = fmaxf(1.0f + gradient / -60.0f, 0.0f);
    return ProfileSample{static_cast<double>(residual * w), static_cast<double>(w)};
}

// The linear thread number indexes a 256-slot buffer and ignores z.
QNR_HD bool profileLaunchUsable(unsigned threads, unsigned blockDepth) {
    return blockDepth == 1 && threads <= static_cast<unsigned>(kProfileSlots);
}

// One level of the tree, for the threads below `half`. Slots past the block's
// thread count were never written and are left out.
QNR_HD void reduceProfileLevel(double* sums, double* weights, int t, int half, int threads) {
    if (t < half && t + half < threads) {
        sums[t] = sums[t + half] + sums[t];
        weights[t] = weights[t + half] + weights[t];
    }
}

}  // namespace qnr
