// Block motion estimation: full search of whole-pixel displacements per 16x16
// block, scored by summed absolute luma differences on a subsampled grid. The
// per-thread partial costs are summed by a halving tree, on the GPU in shared
// memory and on the CPU in the same order.
#pragma once

#include "kernels/helpers.h"

namespace qnr {

// The in-frame part of one 16x16 block.
struct MotionBlock {
    int x0, y0;
    int width, height;  // <= 16; 0 or less when the block lies outside the frame
};

inline namespace QNR_ISA {

QNR_HD MotionBlock motionBlock(int bx, int by, int frameWidth, int frameHeight) {
    // Origins beyond the frame are not formed: far blocks of a huge grid would
    // overflow them, and their blocks are empty anyway.
    MotionBlock b{0, 0, 0, 0};
    if (16ll * bx >= frameWidth || 16ll * by >= frameHeight) return b;
    b.x0 = 16 * bx;
    b.y0 = 16 * by;
    b.width = b.x0 + 16 > frameWidth ? frameWidth - b.x0 : 16;
    b.height = b.y0 + 16 > frameHeight ? frameHeight - b.y0 : 16;
    return b;
}

QNR_HD bool motionBlockEmpty(const MotionBlock& b) { return b.width <= 0 || b.height <= 0; }

// A non-positive sampling step would never advance; sample every pixel instead.
// Beyond 16 every step samples the same single pixel per thread, so larger
// ones are taken as 16, which keeps the sample offsets far from overflowing.
QNR_HD int motionStep(int step) { return step < 1 ? 1 : (step > 16 ? 16 : step); }

// The lumas a thread compares: a sample of the current frame and a pixel of
// the reference at an edge-clamped position, read from the frames.
struct MotionFrames {
    FrameView cur, ref;
    QNR_HD float curLuma(int x, int y) const { return luma(pixelAt(cur, x, y)); }
    QNR_HD float refLuma(int x, int y) const { return lumaClamped(ref, x, y); }
};

// The cost shares of thread (tx, ty) of an nx x ny block for the K
// displacements (dx0 + k, dy): for each, one float sum over the thread's
// samples, rows outer, columns inner. With lane types, tx stands for
// neighbouring threads of one row of the block.
template <int K, class X, class Lumas>
QNR_HD void motionPartialCosts(const Lumas& lumas, const MotionBlock& b, int dx0, int dy, X tx, int ty, int nx,
                               int ny, int step, typename LanesOf<X>::F (&costs)[K]) {
    using F = typename LanesOf<X>::F;
QNR_UNROLL
    for (int k = 0; k < K; ++k) costs[k] = 0.0f;
    for (int ly = step * ty; ly < b.height; ly += step * ny) {
        const int y = b.y0 + ly;
        for (X lx = tx * step; anyBelow(lx, b.width); lx += step * nx) {
            const auto inside = lx < b.width;
            const X x = lx + b.x0;
            const F sample = lumas.curLuma(x, y);
QNR_UNROLL
            for (int k = 0; k < K; ++k)
                costs[k] = select(inside, costs[k] + absOf(sample - lumas.refLuma(x + (dx0 + k), y + dy)), costs[k]);
        }
    }
}

// The share of one displacement, as each GPU thread computes it.
template <class X, class Lumas>
QNR_HD typename LanesOf<X>::F motionPartialCost(const Lumas& lumas, const MotionBlock& b, int dx, int dy, X tx,
                                                int ty, int nx, int ny, int step) {
    typename LanesOf<X>::F cost[1];
    motionPartialCosts(lumas, b, dx, dy, tx, ty, nx, ny, step, cost);
    return cost[0];
}

// The kernel's shared buffer must hold one float per thread, and the linear
// thread number ignores z, so a block must be flat.
QNR_HD bool motionLaunchUsable(unsigned threads, unsigned blockDepth, unsigned long long sharedBytes) {
    return blockDepth == 1 && sharedBytes >= 4ull * threads;
}

// One level of the halving tree over `slots`, for the threads below `half`.
QNR_HD void reduceLevel(float* slots, int t, int half) {
    if (t < half) slots[t] = slots[t + half] + slots[t];
}

}  // namespace QNR_ISA
}  // namespace qnr
