// Runs the kernels' per-thread code on the host. Blocks are independent, so
// rows of blocks go to worker threads; everything that combines threads (the
// two reductions, the profiling totals) happens in a fixed order, which makes
// the results independent of the number of workers.
#include "kernels/cpu_executor.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "kernels/motion.h"
#include "kernels/process.h"
#include "kernels/profile.h"

// The per-thread code is fused into each loop below, and on x86-64 Linux an
// FMA-enabled copy is picked at load time where the processor has it, so that
// fmaf becomes one instruction. Results are the same: fmaf is exact either way
// and -ffp-contract=off keeps every other operation as written.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) && \
    !defined(__SANITIZE_ADDRESS__)
#define CPU_KERNEL_LOOP __attribute__((flatten, target_clones("fma", "default")))
#elif defined(__GNUC__)
#define CPU_KERNEL_LOOP __attribute__((flatten))
#else
#define CPU_KERNEL_LOOP
#endif

namespace cpuexec {
namespace {

std::atomic<unsigned> g_workerLimit{0};

unsigned workerCount(unsigned rows) {
    unsigned n = g_workerLimit.load(std::memory_order_relaxed);
    if (n == 0) n = std::thread::hardware_concurrency();
    n = std::max(n, 1u);
    return std::min(n, std::max(rows, 1u));
}

// Calls rowJob(by) for every row of blocks, spread over worker threads. Rows
// are handed out one at a time; each row is done by exactly one worker. Blocks
// and threads along z repeat the work of z = 0 (the kernels index by x and y
// only), so they are run once.
template <class RowJob>
void forEachBlockRow(Dim3 grid, const RowJob& rowJob) {
    const unsigned rows = grid.y;
    const unsigned workers = workerCount(rows);
    std::atomic<unsigned> next{0};
    auto work = [&] {
        for (unsigned by = next.fetch_add(1); by < rows; by = next.fetch_add(1)) rowJob(by);
    };
    if (workers <= 1) {
        work();
        return;
    }
    std::vector<std::thread> pool;
    pool.reserve(workers - 1);
    for (unsigned i = 1; i < workers; ++i) pool.emplace_back(work);
    work();
    for (std::thread& t : pool) t.join();
}

// ---- kProcess ----------------------------------------------------------------

CPU_KERNEL_LOOP void processBlockRow(const qnr::ProcessArgs& a, Dim3 grid, Dim3 block, unsigned by) {
    for (unsigned bx = 0; bx < grid.x; ++bx) {
        for (unsigned ty = 0; ty < block.y; ++ty) {
            const int y = static_cast<int>(by * block.y + ty);
            for (unsigned tx = 0; tx < block.x; ++tx)
                qnr::processPixel(a, static_cast<int>(bx * block.x + tx), y);
        }
    }
}

// ---- kEstimateMV16 -------------------------------------------------------------

struct MotionLaunch {
    qnr::FrameView cur, ref;
    int2* mv;
    int blocksX, blocksY, radius, step;
    Dim3 block;
    std::size_t sharedBytes;
};

// The block's cost for one displacement: every thread's share, then the
// halving tree over the shared slots.
float motionCost(const MotionLaunch& l, const qnr::MotionBlock& b, int dx, int dy,
                 std::vector<float>& slots) {
    const int nx = static_cast<int>(l.block.x), ny = static_cast<int>(l.block.y);
    const int step = qnr::motionStep(l.step);
    for (int ty = 0; ty < ny; ++ty)
        for (int tx = 0; tx < nx; ++tx)
            slots[ty * nx + tx] = qnr::motionPartialCost(l.cur, l.ref, b, dx, dy, tx, ty, nx, ny, step);
    for (int half = (nx * ny) / 2; half > 0; half /= 2)
        for (int t = 0; t < half; ++t) qnr::reduceLevel(slots.data(), t, half);
    return slots[0];
}

CPU_KERNEL_LOOP int2 estimateBlock(const MotionLaunch& l, int bx, int by, std::vector<float>& slots) {
    const qnr::MotionBlock b = qnr::motionBlock(bx, by, l.cur.width, l.cur.height);
    const unsigned threads = l.block.x * l.block.y;
    if (qnr::motionBlockEmpty(b) || !qnr::motionLaunchUsable(threads, l.block.z, l.sharedBytes))
        return int2{0, 0};
    float best = 1.0e30f;
    int2 bestV{0, 0};
    for (int dy = -l.radius; dy <= l.radius; ++dy) {
        for (int dx = -l.radius; dx <= l.radius; ++dx) {
            const float cost = motionCost(l, b, dx, dy, slots);
            if (cost < best) {
                best = cost;
                bestV = int2{dx, dy};
            }
        }
    }
    return bestV;
}

// ---- kProfileAuto ----------------------------------------------------------------

struct BlockTotal {
    double sum = 0.0, weight = 0.0;
};

CPU_KERNEL_LOOP BlockTotal profileBlock(const qnr::FrameView& f, int step, Dim3 block, unsigned bx, unsigned by) {
    const int threads = static_cast<int>(block.x * block.y);
    double sums[qnr::kProfileSlots];
    double weights[qnr::kProfileSlots];
    for (unsigned ty = 0; ty < block.y; ++ty) {
        for (unsigned tx = 0; tx < block.x; ++tx) {
            const int gx = static_cast<int>(bx * block.x + tx), gy = static_cast<int>(by * block.y + ty);
            const qnr::ProfileSample p = qnr::profileSample(f, gx, gy, step);
            const unsigned t = ty * block.x + tx;
            sums[t] = p.weighted;
            weights[t] = p.weight;
        }
    }
    for (int half = qnr::kProfileSlots / 2; half > 0; half /= 2)
        for (int t = 0; t < half; ++t) qnr::reduceProfileLevel(sums, weights, t, half, threads);
    return BlockTotal{sums[0], weights[0]};
}

}  // namespace

void setWorkerLimit(unsigned workers) { g_workerLimit.store(workers, std::memory_order_relaxed); }

bool launchConfigValid(Dim3 grid, Dim3 block, std::size_t dynamicSharedBytes,
                       std::size_t staticSharedBytes) {
    if (grid.x == 0 || grid.y == 0 || grid.z == 0 || block.x == 0 || block.y == 0 || block.z == 0)
        return false;
    if (block.x > 1024 || block.y > 1024 || block.z > 64) return false;
    if (static_cast<unsigned long long>(block.x) * block.y * block.z > 1024) return false;
    if (grid.x > 0x7fffffffu || grid.y > 65535 || grid.z > 65535) return false;
    constexpr std::size_t kSharedLimit = 48 * 1024;
    return staticSharedBytes <= kSharedLimit && dynamicSharedBytes <= kSharedLimit - staticSharedBytes;
}

void runProcess(Dim3 grid, Dim3 block, const uchar4* cur, const uchar4* prev, const uchar4* prev2,
                const uchar4* prevOut, const int2* mv1, const int2* mv2, int blocksX, uchar4* out,
                int width, int height, int pitch, CudaNRParams params) {
    if (!launchConfigValid(grid, block, 0)) return;  // a GPU would refuse it, and run nothing
    const qnr::ProcessArgs a{cur, prev, prev2, prevOut, mv1, mv2, blocksX, out, width, height, pitch, params};
    forEachBlockRow(grid, [&](unsigned by) { processBlockRow(a, grid, block, by); });
}

void runEstimateMV16(Dim3 grid, Dim3 block, std::size_t dynamicSharedBytes, const uchar4* cur,
                     const uchar4* ref, int width, int height, int pitch, int2* mv, int blocksX,
                     int blocksY, int radius, int step) {
    if (!launchConfigValid(grid, block, dynamicSharedBytes)) return;
    const MotionLaunch l{qnr::FrameView{cur, width, height, pitch},
                         qnr::FrameView{ref, width, height, pitch},
                         mv, blocksX, blocksY, radius, step, block, dynamicSharedBytes};
    forEachBlockRow(grid, [&](unsigned by) {
        if (static_cast<long long>(by) >= blocksY) return;
        std::vector<float> slots(static_cast<std::size_t>(block.x) * block.y);
        const unsigned columns = std::min<unsigned>(grid.x, blocksX > 0 ? static_cast<unsigned>(blocksX) : 0u);
        for (unsigned bx = 0; bx < columns; ++bx) {
            const int2 v = estimateBlock(l, static_cast<int>(bx), static_cast<int>(by), slots);
            mv[static_cast<long long>(by) * blocksX + bx] = v;
        }
    });
}

void runProfileAuto(Dim3 grid, Dim3 block, const uchar4* src, int width, int height, int pitch,
                    int step, double* accSum, double* accWeight) {
    if (!launchConfigValid(grid, block, 0, kProfileStaticSharedBytes)) return;
    if (!qnr::profileLaunchUsable(block.x * block.y, block.z)) return;
    const qnr::FrameView f{src, width, height, pitch};
    std::vector<BlockTotal> totals(static_cast<std::size_t>(grid.x) * grid.y);
    forEachBlockRow(grid, [&](unsigned by) {
        for (unsigned bx = 0; bx < grid.x; ++bx)
            totals[static_cast<std::size_t>(by) * grid.x + bx] = profileBlock(f, step, block, bx, by);
    });
    // Block totals in block order; every z layer of the grid adds them again,
    // as its blocks do on the GPU.
    for (unsigned bz = 0; bz < grid.z; ++bz) {
        for (const BlockTotal& t : totals) {
            *accSum += t.sum;
            *accWeight += t.weight;
        }
    }
}

}  // namespace cpuexec
