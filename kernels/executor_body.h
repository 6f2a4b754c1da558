// The CPU executor's launch bodies for one instruction set: they run the
// kernels' per-thread code for the threads of one share of a launch, a group
// of neighbouring threads at a time where the launch's shape allows (the
// column types X = qnr::LaneX<N>), one thread at a time elsewhere (X = int).
// Included once by each build (kernels/executor_*.cpp) after it has chosen
// its QNR_ISA namespace; it uses no standard-library templates, whose shared
// copies the linker could take from a build for another instruction set.
#pragma once

#include "kernels/executor_kernels.h"
#include "kernels/motion.h"
#include "kernels/process.h"
#include "kernels/profile.h"
#if defined(__AVX2__)
#include "kernels/simd_lanes.h"
#endif

// The vector builds inline the per-thread code whole into each body, so that
// the lanes' values stay in registers from one stage to the next.
#if defined(__AVX2__)
#define QNR_BODY __attribute__((flatten))
#else
#define QNR_BODY
#endif

namespace cpuexec::detail {
inline namespace QNR_ISA {

// ---- kProcess ----------------------------------------------------------------

// The launch's spatial weights, computed once by the same function the GPU
// calls per tap.
struct TabulatedSpatialWeights {
    const float* byDist2;
    float operator()(int dist2, float) const { return byDist2[dist2]; }
};

template <class X>
QNR_BODY void processRows(const ProcessLaunch& l, int firstRow, int endRow) {
    constexpr int n = qnr::Columns<X>::kLanes;
    const TabulatedSpatialWeights weights{l.spatialWeights};
    const bool groups = n > 1 && l.vectors && l.columns >= n;
    for (int y = firstRow; y < endRow; ++y) {
        if (!groups) {
            for (int x = 0; x < l.columns; ++x) qnr::processInFrame(l.args, x, y, weights);
            continue;
        }
        // Whole groups only: the last one ends at the last column and may
        // repeat columns of the one before, which get the same values again.
        for (int x = 0; x < l.columns; x += n)
            qnr::processInFrame(l.args, qnr::Columns<X>::make(qnr::minOf(x, l.columns - n), 1), y, weights);
    }
}

// ---- kEstimateMV16 -------------------------------------------------------------

#if defined(__AVX2__)
// Search radii up to this use tiles of lumas; larger ones read the frames.
constexpr int kTileRadius = 16;

// The lumas a block's threads compare, gathered once per block: the current
// frame over the block and the reference over the block and the search
// window, each the value a thread computes from the frame at that position.
// Columns run past the block so that every lane of a group reads inside.
template <class X>
struct MotionTiles {
    static constexpr int kLanes = qnr::Columns<X>::kLanes;
    static constexpr int kCurColumns = 16 + 2 * kLanes;  // lanes of a group sampled every 1 or 2 columns
    static constexpr int kStride = kCurColumns + 2 * kTileRadius;
    static constexpr int kRows = 16 + 2 * kTileRadius;

    float cur[16][kStride];
    float ref[kRows][kStride];
    int x0, y0, radius;

    auto curLuma(X x, int y) const { return loadTileRow(cur[y - y0], x - x0); }
    auto refLuma(X x, int y) const { return loadTileRow(ref[y - y0 + radius], x - x0 + radius); }

    static auto loadTileRow(const float* row, X x) {
        return qnr::loadRow<typename qnr::LanesOf<X>::F>(row, x, kStride);
    }

    // Lumas of `rows` rows from (left, top), edge-clamped as the threads read them.
    static void fill(float (*tile)[kStride], qnr::FrameView f, int left, int top, int rows, int columns) {
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < columns; c += kLanes)
                qnr::storeLanes(tile[r] + c, qnr::lumaClamped(f, qnr::Columns<X>::make(left + c, 1), top + r));
    }

    void fill(const MotionLaunch& l, const qnr::MotionBlock& b) {
        x0 = b.x0;
        y0 = b.y0;
        radius = l.radius;
        const int refColumns = (kCurColumns + 2 * radius + kLanes - 1) / kLanes * kLanes;
        fill(cur, l.cur, x0, y0, b.height, kCurColumns);
        fill(ref, l.ref, x0 - radius, y0 - radius, b.height + 2 * radius, refColumns);
    }
};
#endif

// One level of the halving tree: lanes of neighbouring threads at once where
// the level is made of whole groups.
template <class X>
void reduceSlots(float* slots, int threads) {
    constexpr int n = qnr::Columns<X>::kLanes;
    for (int half = threads / 2; half > 0; half /= 2) {
        int t = 0;
        if constexpr (n > 1) {
            using F = typename qnr::LanesOf<X>::F;
            if (half % n == 0)
                for (; t < half; t += n)
                    qnr::storeLanes(slots + t, qnr::loadLanes<F>(slots + t + half) + qnr::loadLanes<F>(slots + t));
        }
        for (; t < half; ++t) qnr::reduceLevel(slots, t, half);
    }
}

// The block's cost for one displacement: every thread's share into its slot,
// then the tree. Groups of lanes take whole rows of threads.
template <class X, class Lumas>
float motionCost(const MotionLaunch& l, const Lumas& lumas, const qnr::MotionBlock& b, int dx, int dy,
                 float* slots) {
    constexpr int n = qnr::Columns<X>::kLanes;
    const int nx = static_cast<int>(l.nx), ny = static_cast<int>(l.ny);
    const int step = qnr::motionStep(l.step);
    for (int ty = 0; ty < ny; ++ty) {
        for (int tx = 0; tx < nx; tx += n) {
            const auto cost = qnr::motionPartialCost(lumas, b, dx, dy, qnr::Columns<X>::make(tx, 1), ty, nx, ny, step);
            qnr::storeLanes(slots + ty * nx + tx, cost);
        }
    }
    reduceSlots<X>(slots, nx * ny);
    return slots[0];
}

// The full search in the kernel's order; only a strictly lower cost wins.
template <class X, class Lumas>
int2 searchBlock(const MotionLaunch& l, const Lumas& lumas, const qnr::MotionBlock& b, float* slots) {
    float best = 1.0e30f;
    int2 bestV{0, 0};
    for (int dy = -l.radius; dy <= l.radius; ++dy) {
        for (int dx = -l.radius; dx <= l.radius; ++dx) {
            const float cost = motionCost<X>(l, lumas, b, dx, dy, slots);
            if (cost < best) {
                best = cost;
                bestV = int2{dx, dy};
            }
        }
    }
    return bestV;
}

// Calls search(block) for the row's blocks and writes the vectors it finds;
// empty blocks, and every block of an unusable launch, get (0, 0).
template <class Search>
void estimateRow(const MotionLaunch& l, unsigned by, const Search& search) {
    for (unsigned bx = 0; bx < l.columns; ++bx) {
        const qnr::MotionBlock b = qnr::motionBlock(static_cast<int>(bx), static_cast<int>(by), l.cur.width,
                                                    l.cur.height);
        int2 v{0, 0};
        if (!qnr::motionBlockEmpty(b) && qnr::motionLaunchUsable(l.nx * l.ny, l.depth, l.sharedBytes))
            v = search(b);
        l.mv[static_cast<long long>(by) * l.blocksX + bx] = v;
    }
}

template <class X>
QNR_BODY void motionRow(const MotionLaunch& l, unsigned by) {
    float slots[1024];  // one per thread of a block, as the shared buffer
#if defined(__AVX2__)
    // Tiles serve groups that are whole rows of threads sampling every first
    // or second column.
    constexpr unsigned n = qnr::Columns<X>::kLanes;
    if (n > 1 && l.nx % n == 0 && qnr::motionStep(l.step) <= 2 && l.radius >= 0 && l.radius <= kTileRadius) {
        MotionTiles<X> tiles;
        estimateRow(l, by, [&](const qnr::MotionBlock& b) {
            tiles.fill(l, b);
            return searchBlock<X>(l, tiles, b, slots);
        });
        return;
    }
#endif
    const qnr::MotionFrames frames{l.cur, l.ref};
    estimateRow(l, by, [&](const qnr::MotionBlock& b) { return searchBlock<int>(l, frames, b, slots); });
}

// ---- kProfileAuto ----------------------------------------------------------------

template <class X>
BlockTotal profileBlock(const ProfileLaunch& l, unsigned bx, unsigned by) {
    constexpr int n = qnr::Columns<X>::kLanes;
    double sums[qnr::kProfileSlots];
    double weights[qnr::kProfileSlots];
    for (unsigned ty = 0; ty < l.ny; ++ty) {
        const int gy = static_cast<int>(by * l.ny + ty);
        double* rowSums = sums + ty * l.nx;
        double* rowWeights = weights + ty * l.nx;
        unsigned tx = 0;
        if constexpr (n > 1) {
            for (; l.vectors && tx + n <= l.nx; tx += n) {
                const auto gx = qnr::Columns<X>::make(static_cast<int>(bx * l.nx + tx), 1);
                const auto p = qnr::profileSample(l.frame, gx, gy, l.step);
                qnr::storeWidened(rowSums + tx, p.weighted);
                qnr::storeWidened(rowWeights + tx, p.weight);
            }
        }
        for (; tx < l.nx; ++tx) {
            const auto p = qnr::profileSample(l.frame, static_cast<int>(bx * l.nx + tx), gy, l.step);
            rowSums[tx] = static_cast<double>(p.weighted);
            rowWeights[tx] = static_cast<double>(p.weight);
        }
    }
    const int threads = static_cast<int>(l.nx * l.ny);
    for (int half = qnr::kProfileSlots / 2; half > 0; half /= 2)
        for (int t = 0; t < half; ++t) qnr::reduceProfileLevel(sums, weights, t, half, threads);
    return BlockTotal{sums[0], weights[0]};
}

template <class X>
QNR_BODY void profileBlocks(const ProfileLaunch& l, unsigned long long first, unsigned count, BlockTotal* totals) {
    for (unsigned i = 0; i < count; ++i) {
        const unsigned long long block = first + i;
        totals[i] = profileBlock<X>(l, static_cast<unsigned>(block % l.gridX), static_cast<unsigned>(block / l.gridX));
    }
}

// ---- the exponential on its own -------------------------------------------------

template <class X>
QNR_BODY void fastExps(const float* v, float* out, unsigned count) {
    constexpr unsigned n = qnr::Columns<X>::kLanes;
    unsigned i = 0;
    for (; i + n <= count && n > 1; i += n)
        qnr::storeLanes(out + i, qnr::fastExp(qnr::loadLanes<typename qnr::LanesOf<X>::F>(v + i)));
    for (; i < count; ++i) out[i] = qnr::fastExp(v[i]);
}

template <class ProcessX, class MotionX, class ProfileX>
constexpr KernelSet kernelSet() {
    return KernelSet{&processRows<ProcessX>, &motionRow<MotionX>, &profileBlocks<ProfileX>, &fastExps<ProcessX>};
}

}  // namespace QNR_ISA
}  // namespace cpuexec::detail

#undef QNR_BODY
