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

QNR_HD MotionBlock motionBlock(int bx, int by, int frameWidth, int frameHeight) {
    MotionBlock b;
    b.x0 = 16 * bx;
    b.y0 = 16 * by;
    b.width = b.x0 + 16 > frameWidth ? frameWidth - b.x0 : 16;
    b.height = b.y0 + 16 > frameHeight ? frameHeight - b.y0 : 16;
    return b;
}

QNR_HD bool motionBlockEmpty(const MotionBlock& b) { return b.width <= 0 || b.height <= 0; }

// A non-positive sampling step would never advance; sample every pixel instead.
QNR_HD int motionStep(int step) { return step < 1 ? 1 : step; }

// The cost share of thread (tx, ty) of an nx x ny block for the displacement
// (dx, dy): rows outer, columns inner, one float sum.
QNR_HD float motionPartialCost(FrameView cur, FrameView ref, const MotionBlock& b, int dx, int dy,
                               int tx, int ty, int nx, int ny, int step) {
    float sum = 0.0f;
    for (int ly = step * ty; ly < b.height; ly += step * ny) {
        const int y = b.y0 + ly;
        const int ry = clampCoord(y + dy, ref.height);
        for (int lx = step * tx; lx < b.width; lx += step * nx) {
            const int x = b.x0 + lx;
            const float yc = luma(pixelAt(cur, x, y));
            const float yr = luma(pixelAt(ref, clampCoord(x + dx, ref.width), ry));
            sum += fabsf(yc - yr);
        }
    }
    return sum;
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

}  // namespace qnr
