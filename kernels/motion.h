// Block motion estimation: full search of whole-pixel displacements per motion
// block (kMotionBlock pixels square), scored by summed absolute luma
// differences on a subsampled grid. The per-thread partial costs are summed by
// a halving tree, on the GPU in shared memory and on the CPU in the same order.
#pragma once

#include "kernels/helpers.h"
#include "kernels/launch_geometry.h"

namespace qnr {

// The in-frame part of one motion block.
struct MotionBlock {
    int x0, y0;
    int width, height;  // <= kMotionBlock; 0 or less when the block lies outside the frame
};

inline namespace QNR_ISA {

QNR_HD MotionBlock motionBlock(int bx, int by, int frameWidth, int frameHeight) {
    // Origins beyond the frame are not formed: far blocks of a huge grid would
    // overflow them, and their blocks are empty anyway.
    constexpr long long kSide = kMotionBlock;
    MotionBlock b{0, 0, 0, 0};
    if (kSide * bx >= frameWidth || kSide * by >= frameHeight) return b;
    b.x0 = kMotionBlock * bx;
    b.y0 = kMotionBlock * by;
    b.width = b.x0 + kMotionBlock > frameWidth ? frameWidth - b.x0 : kMotionBlock;
    b.height = b.y0 + kMotionBlock > frameHeight ? frameHeight - b.y0 : kMotionBlock;
    return b;
}

QNR_HD bool motionBlockEmpty(const MotionBlock& b) { return b.width <= 0 || b.height <= 0; }

// A non-positive sampling step would never advance; sample every pixel instead.
// Beyond a block's side every step samples the same single pixel per thread,
// so larger ones are taken as the side, which keeps the sample offsets far
// from overflowing.
QNR_HD int motionStep(int step) { return step < 1 ? 1 : (step > kMotionBlock ? kMotionBlock : step); }

// The lumas a thread compares: a sample of the current frame and a pixel of
// the reference at an edge-clamped position, read from the frames.
struct MotionFrames {
    FrameView cur, ref;
    QNR_HD float curLuma(int x, int y) const { return luma(pixelAt(cur, x, y)); }
    QNR_HD float refLuma(int x, int y) const { return lumaClamped(ref, x, y); }
};

// The cost shares of thread (tx, ty) of the motion thread block for the K
// displacements (dx0 + k, dy): for each, one float sum over the thread's
// samples, rows outer, columns inner. With lane types, tx stands for
// neighbouring threads of one row of the block.
template <int K, class X, class Lumas>
QNR_HD void motionPartialCosts(const Lumas& lumas, const MotionBlock& b, int dx0, int dy, X tx, int ty, int step,
                               typename LanesOf<X>::F (&costs)[K]) {
    using F = typename LanesOf<X>::F;
    constexpr int nx = kMotionThreadsX, ny = kMotionThreadsY;
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
                                                int ty, int step) {
    typename LanesOf<X>::F cost[1];
    motionPartialCosts(lumas, b, dx, dy, tx, ty, step, cost);
    return cost[0];
}

// One level of the halving tree over `slots`, for the threads below `half`.
QNR_HD void reduceLevel(float* slots, int t, int half) {
    if (t < half) slots[t] = slots[t + half] + slots[t];
}

}  // namespace QNR_ISA
}  // namespace qnr
