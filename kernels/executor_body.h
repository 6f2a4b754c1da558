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

constexpr int roundUp(int v, int multiple) { return static_cast<int>(qnr::piecesCovering(v, multiple)) * multiple; }

// The lumas a block's threads compare, gathered once per block: the current
// frame over the block and the reference over the block and the search
// window, each the value a thread computes from the frame at that position.
// Each row keeps its even and its odd columns apart, so that the lanes of a
// group sampling every second column read one straight run. Rows run past
// the block so that every lane of a group reads inside.
template <class X, int kStep>
struct MotionTiles {
    static constexpr int kLanes = qnr::Columns<X>::kLanes;
    // Columns a group may read from the first of its window: the block, the
    // lanes' reach at a step of 2 and the search to both sides.
    static constexpr int kSpan = qnr::kMotionBlock + 2 * (kLanes - 1) + 2 * kTileRadius;
    static constexpr int kHalf = roundUp((kSpan + 1) / 2, kLanes);  // columns of one parity
    static constexpr int kRows = qnr::kMotionBlock + 2 * kTileRadius;
    using Row = float[2][kHalf];

    Row cur[qnr::kMotionBlock];
    Row ref[kRows];
    int x0, y0, radius;

    auto curLuma(X x, int y) const { return load(cur[y - y0], x - x0); }
    auto refLuma(X x, int y) const { return load(ref[y - y0 + radius], x - x0 + radius); }

    // Columns counted from the row's first; the lanes' columns are kStep apart.
    static auto load(const Row& row, X c) {
        using F = typename qnr::LanesOf<X>::F;
        if constexpr (kStep == 2) {
            return qnr::loadLanes<F>(row[c.base & 1] + (c.base >> 1));
        } else {
            const auto i = qnr::columnIndex(c);
            return qnr::floatFromBits(qnr::gather(row[0], (i & 1) * kHalf + (i >> 1)));
        }
    }

    // Lumas of `rows` rows of `span` columns from (left, top), edge-clamped as
    // the threads read them.
    static void fill(Row* tile, qnr::FrameView f, int left, int top, int rows, int span) {
        const int half = roundUp((span + 1) / 2, kLanes);
        for (int r = 0; r < rows; ++r)
            for (int parity = 0; parity < 2; ++parity)
                for (int k = 0; k < half; k += kLanes)
                    qnr::storeLanes(tile[r][parity] + k,
                                    qnr::lumaClamped(f, qnr::Columns<X>::make(left + parity + 2 * k, 2), top + r));
    }

    void fill(const MotionLaunch& l, const qnr::MotionBlock& b) {
        x0 = b.x0;
        y0 = b.y0;
        radius = l.radius;
        const int curSpan = kSpan - 2 * kTileRadius;
        fill(cur, l.cur, x0, y0, b.height, curSpan);
        fill(ref, l.ref, x0 - radius, y0 - radius, b.height + 2 * radius, curSpan + 2 * radius);
    }
};

// The tree's levels half, half / 2, ..., 1 inside one register.
template <int half, class F>
F foldLanes(F sums) {
    if constexpr (half == 0)
        return sums;
    else
        return foldLanes<half / 2>(qnr::lanesFrom(sums, half) + sums);
}
#endif

// The halving tree over the motion threads' slots; returns slot 0. Levels of
// whole groups of threads run a group per register; the last levels, once the
// slots still summed fit one register, run inside it: lane t adds lane
// t + half, as thread t adds slot t + half.
template <class X>
float reduceSlots(float* slots) {
    int half = qnr::kMotionThreads / 2;
#if defined(__AVX2__)
    constexpr int n = qnr::Columns<X>::kLanes;
    if constexpr (n > 1) {
        static_assert(static_cast<int>(qnr::kMotionThreads) >= n, "a register holds at most the block's slots");
        using F = typename qnr::LanesOf<X>::F;
        for (; half >= n; half /= 2)
            for (int t = 0; t < half; t += n)
                qnr::storeLanes(slots + t, qnr::loadLanes<F>(slots + t + half) + qnr::loadLanes<F>(slots + t));
        return qnr::firstLane(foldLanes<n / 2>(qnr::loadLanes<F>(slots)));
    }
#endif
    for (; half > 0; half /= 2)
        for (int t = 0; t < half; ++t) qnr::reduceLevel(slots, t, half);
    return slots[0];
}

// Room for the threads' shares of several candidates' costs.
constexpr int kShareSlots = 4096;
// Candidates whose shares a group of threads computes from one read of its
// samples.
constexpr int kBatch = 8;

// The shares of the K candidates from (dx, dy) of one group of threads, each
// into its candidate's slots.
template <int K, class X, class Lumas>
void storeShares(const MotionLaunch& l, const Lumas& lumas, const qnr::MotionBlock& b, int dx, int dy, int tx,
                 int ty, float* slots) {
    constexpr int threads = qnr::kMotionThreads, nx = qnr::kMotionThreadsX;
    typename qnr::LanesOf<X>::F costs[K];
    qnr::motionPartialCosts(lumas, b, dx, dy, qnr::Columns<X>::make(tx, 1), ty, qnr::motionStep(l.step), costs);
    for (int k = 0; k < K; ++k) qnr::storeLanes(slots + k * threads + ty * nx + tx, costs[k]);
}

// The full search in the kernel's order: every thread's share of a candidate's
// cost, the tree, and only a strictly lower cost wins. Threads are independent
// up to the tree, so each group of threads computes its shares of several
// candidates of a row at once (reading its samples of the current frame once),
// before the trees and comparisons run in the kernel's order.
template <class X, class Lumas>
int2 searchBlock(const MotionLaunch& l, const Lumas& lumas, const qnr::MotionBlock& b, float* shares) {
    constexpr int n = qnr::Columns<X>::kLanes;
    constexpr int nx = qnr::kMotionThreadsX, ny = qnr::kMotionThreadsY, threads = qnr::kMotionThreads;
    constexpr int chunk = kShareSlots / threads;  // candidates per pass
    static_assert(chunk >= 1, "room for one candidate's shares at least");
    float best = 1.0e30f;
    int2 bestV{0, 0};
    for (int dy = -l.radius; dy <= l.radius; ++dy) {
        for (int first = -l.radius; first <= l.radius; first += chunk) {
            const int last = qnr::minOf(first + (chunk - 1), l.radius);
            for (int ty = 0; ty < ny; ++ty) {
                for (int tx = 0; tx < nx; tx += n) {
                    int dx = first;
                    for (; dx + (kBatch - 1) <= last; dx += kBatch)
                        storeShares<kBatch, X>(l, lumas, b, dx, dy, tx, ty, shares + (dx - first) * threads);
                    for (; dx <= last; ++dx)
                        storeShares<1, X>(l, lumas, b, dx, dy, tx, ty, shares + (dx - first) * threads);
                }
            }
            for (int dx = first; dx <= last; ++dx) {
                const float cost = reduceSlots<X>(shares + (dx - first) * threads);
                if (cost < best) {
                    best = cost;
                    bestV = int2{dx, dy};
                }
            }
        }
    }
    return bestV;
}

// Calls search(block) for the row's blocks and writes the vectors it finds;
// empty blocks get (0, 0).
template <class Search>
void estimateRow(const MotionLaunch& l, unsigned by, const Search& search) {
    for (unsigned bx = 0; bx < l.columns; ++bx) {
        const qnr::MotionBlock b = qnr::motionBlock(static_cast<int>(bx), static_cast<int>(by), l.cur.width,
                                                    l.cur.height);
        int2 v{0, 0};
        if (!qnr::motionBlockEmpty(b)) v = search(b);
        l.mv[static_cast<long long>(by) * l.blocksX + bx] = v;
    }
}

#if defined(__AVX2__)
template <class X, int kStep>
void motionRowTiled(const MotionLaunch& l, unsigned by, float* shares) {
    MotionTiles<X, kStep> tiles;
    estimateRow(l, by, [&](const qnr::MotionBlock& b) {
        tiles.fill(l, b);
        return searchBlock<X>(l, tiles, b, shares);
    });
}
#endif

template <class X>
QNR_BODY void motionRow(const MotionLaunch& l, unsigned by) {
    float shares[kShareSlots] = {};
#if defined(__AVX2__)
    // Tiles serve groups that are whole rows of threads sampling every first
    // or second column.
    constexpr unsigned n = qnr::Columns<X>::kLanes;
    static_assert(qnr::kMotionThreadsX % n == 0, "a group of lanes is a whole row of threads or part of one");
    if (n > 1 && l.radius >= 0 && l.radius <= kTileRadius) {
        if (qnr::motionStep(l.step) == 2) return motionRowTiled<X, 2>(l, by, shares);
        if (qnr::motionStep(l.step) == 1) return motionRowTiled<X, 1>(l, by, shares);
    }
#endif
    const qnr::MotionFrames frames{l.cur, l.ref};
    estimateRow(l, by, [&](const qnr::MotionBlock& b) { return searchBlock<int>(l, frames, b, shares); });
}

// ---- kProfileAuto ----------------------------------------------------------------

template <class X>
BlockTotal profileBlock(const ProfileLaunch& l, unsigned bx, unsigned by) {
    constexpr int n = qnr::Columns<X>::kLanes;
    constexpr unsigned nx = qnr::kProfileThreadsX, ny = qnr::kProfileThreadsY;
    double sums[qnr::kProfileSlots];
    double weights[qnr::kProfileSlots];
    for (unsigned ty = 0; ty < ny; ++ty) {
        const int gy = static_cast<int>(by * ny + ty);
        // The sample of one thread, or of a group of threads, into their slots.
        const auto sample = [&](auto gx, unsigned tx) {
            const auto p = qnr::profileSample(l.frame, gx, gy, l.step);
            qnr::storeWidened(sums + ty * nx + tx, p.weighted);
            qnr::storeWidened(weights + ty * nx + tx, p.weight);
        };
        unsigned tx = 0;
        if constexpr (n > 1)
            for (; l.vectors && tx + n <= nx; tx += n)
                sample(qnr::Columns<X>::make(static_cast<int>(bx * nx + tx), 1), tx);
        for (; tx < nx; ++tx) sample(static_cast<int>(bx * nx + tx), tx);
    }
    for (int half = qnr::kProfileSlots / 2; half > 0; half /= 2)
        for (int t = 0; t < half; ++t) qnr::reduceProfileLevel(sums, weights, t, half);
    return BlockTotal{sums[0], weights[0]};
}

template <class X>
QNR_BODY void profileBlocks(const ProfileLaunch& l, unsigned long long first, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        const unsigned long long block = first + i;
        const BlockTotal t =
            profileBlock<X>(l, static_cast<unsigned>(block % l.gridX), static_cast<unsigned>(block / l.gridX));
        l.blockSums[block] = t.sum;
        l.blockWeights[block] = t.weight;
    }
}

template <class ProcessX, class MotionX, class ProfileX>
constexpr KernelSet kernelSet() {
    return KernelSet{&processRows<ProcessX>, &motionRow<MotionX>, &profileBlocks<ProfileX>};
}

}  // namespace QNR_ISA
}  // namespace cpuexec::detail

#undef QNR_BODY
