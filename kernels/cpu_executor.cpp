// The executor's front: checks a launch as a GPU would, derives what all its
// threads share, picks the build for the processor's instruction set and
// spreads the launch's shares over the worker pool. Everything that combines
// threads (the two block reductions) happens in a fixed order, and each block
// writes only its own outputs, so results depend neither on the number of
// workers nor on the build.
#include "kernels/cpu_executor.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>

#include "kernels/executor_kernels.h"
#include "kernels/executor_settings.h"
#include "kernels/motion.h"
#include "kernels/profile.h"
#include "platform/worker_pool.h"

namespace cpuexec {

namespace detail {

std::atomic<int> g_chosenSet{-1};
std::atomic<unsigned> g_workerLimit{0};

}  // namespace detail

namespace {

using detail::KernelFloatMode;

InstructionSet bestInstructionSet() {
    if (instructionSetSupported(InstructionSet::Avx512)) return InstructionSet::Avx512;
    if (instructionSetSupported(InstructionSet::Avx2)) return InstructionSet::Avx2;
    return InstructionSet::Baseline;
}

const detail::KernelSet& kernels() {
    switch (instructionSetInUse()) {
        case InstructionSet::Avx512:
            return detail::kAvx512Kernels;
        case InstructionSet::Avx2:
            return detail::kAvx2Kernels;
        case InstructionSet::Baseline:
            break;
    }
    return detail::kBaselineKernels;
}

// Runs the shares on the workers, or on the calling thread alone (oneThread).
template <class Share>
void runShares(unsigned shares, const Share& share, bool oneThread = false) {
    const unsigned workers = oneThread ? 1u : detail::g_workerLimit.load(std::memory_order_relaxed);
    platform::ParallelFor(shares, workers, [&](unsigned i) {
        const KernelFloatMode mode;
        share(i);
    });
}

// Threads of the grid along one axis that fall inside a frame of `size`.
int coveredExtent(unsigned gridSize, unsigned blockSize, int size) {
    return static_cast<int>(std::min<long long>(static_cast<long long>(gridSize) * blockSize, std::max(size, 0)));
}

// The vector paths address pixels by 32-bit offsets from the frame's start.
bool offsetsFit32(int width, int height, int pitch) {
    const long long lastRow = std::max(height - 1, 0);
    return lastRow * std::llabs(pitch) + width <= INT_MAX;
}

// A grid a GPU takes for the kernel's own block.
bool gridValid(Dim3 grid, const qnr::KernelShape& shape) {
    return launchConfigValid(grid, shape.block, shape.dynamicSharedBytes, shape.staticSharedBytes);
}

void fillSpatialWeights(const CudaNRParams& params, float* byDist2) {
    const float invSigmaS = qnr::inverseSigmaS(qnr::spatialShape(qnr::conditionSettings(params)));
    for (int d = 0; d <= detail::kMaxSpatialDist2; ++d) byDist2[d] = qnr::spatialWeight(d, invSigmaS);
}

}  // namespace

bool instructionSetSupported(InstructionSet set) {
    __builtin_cpu_init();
    switch (set) {
        case InstructionSet::Avx512:
            return instructionSetSupported(InstructionSet::Avx2) && __builtin_cpu_supports("avx512f") &&
                   __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("avx512vl");
        case InstructionSet::Avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case InstructionSet::Baseline:
            return true;
    }
    return false;
}

InstructionSet instructionSetInUse() {
    int set = detail::g_chosenSet.load(std::memory_order_relaxed);
    if (set < 0) {
        set = static_cast<int>(bestInstructionSet());
        detail::g_chosenSet.store(set, std::memory_order_relaxed);
    }
    return static_cast<InstructionSet>(set);
}

bool launchConfigValid(Dim3 grid, Dim3 block, std::size_t dynamicSharedBytes,
                       std::size_t staticSharedBytes) {
    if (grid.x == 0 || grid.y == 0 || grid.z == 0 || block.x == 0 || block.y == 0 || block.z == 0)
        return false;
    constexpr unsigned kMaxThreads = qnr::kMaxThreadsPerBlock;
    if (block.x > kMaxThreads || block.y > kMaxThreads || block.z > 64) return false;
    if (static_cast<unsigned long long>(block.x) * block.y * block.z > kMaxThreads) return false;
    if (grid.x > 0x7fffffffu || grid.y > 65535 || grid.z > 65535) return false;
    constexpr std::size_t kSharedLimit = qnr::kMaxSharedBytesPerBlock;
    return staticSharedBytes <= kSharedLimit && dynamicSharedBytes <= kSharedLimit - staticSharedBytes;
}

LaunchFit launchFit(const qnr::KernelShape& shape, Dim3 grid, Dim3 block, std::size_t dynamicSharedBytes,
                    std::size_t staticSharedBytes) {
    const auto threads = [](Dim3 d) { return static_cast<unsigned long long>(d.x) * d.y * d.z; };
    if (!launchConfigValid(grid, block, dynamicSharedBytes, staticSharedBytes) ||
        threads(block) > threads(shape.block)) {
        return LaunchFit::Refused;
    }
    if (block != shape.block || dynamicSharedBytes < shape.dynamicSharedBytes) return LaunchFit::Misfit;
    return LaunchFit::Runs;
}

// Threads are independent, and a thread's pixel depends only on its position,
// so the covered pixels are run row by row in bands; threads along z, and
// threads past the frame, add nothing.
void runProcess(Dim3 grid, const qnr::ProcessArgs& args) {
    if (!gridValid(grid, qnr::kProcessShape)) return;  // a GPU would refuse it, and run nothing
    const int width = args.width, height = args.height, pitch = args.pitch;
    detail::ProcessLaunch l;
    l.args = args;
    l.columns = coveredExtent(grid.x, qnr::kProcessThreadsX, width);
    l.rows = coveredExtent(grid.y, qnr::kProcessThreadsY, height);
    if (l.columns == 0 || l.rows == 0) return;
    const KernelFloatMode mode;  // the weight table is made on the calling thread
    fillSpatialWeights(args.params, l.spatialWeights);
    l.vectors = offsetsFit32(width, height, pitch);
    constexpr int kBandRows = 8;
    const detail::KernelSet& k = kernels();
    // Rows closer than a row's width share output pixels: one thread then
    // writes them all, in row order, rather than several racing.
    const bool rowsOverlap = std::llabs(pitch) < width;
    runShares(
        qnr::piecesCovering(l.rows, kBandRows),
        [&](unsigned band) {
            const int first = static_cast<int>(band) * kBandRows;
            k.processRows(l, first, std::min(first + kBandRows, l.rows));
        },
        rowsOverlap);
}

void runEstimateMV16(Dim3 grid, const qnr::MotionArgs& args) {
    if (!gridValid(grid, qnr::kMotionShape)) return;
    const int blocksY = args.blocksY;
    const detail::MotionLaunch l{qnr::FrameView{args.cur, args.width, args.height, args.pitch},
                                 qnr::FrameView{args.ref, args.width, args.height, args.pitch},
                                 args.mv, args.blocksX, blocksY, args.radius, args.step,
                                 std::min<unsigned>(grid.x, static_cast<unsigned>(std::max(args.blocksX, 0)))};
    const detail::KernelSet& k = kernels();
    runShares(std::min<unsigned>(grid.y, static_cast<unsigned>(std::max(blocksY, 0))),
              [&](unsigned by) { k.motionRow(l, by); });
}

// Each block's totals go to its own slot, so shares may finish in any order;
// every z layer of the grid would write the same values, so one computes them.
// Blocks are handed out in chunks, as a share count is 32 bits.
void runProfileAuto(Dim3 grid, const qnr::ProfileArgs& args) {
    if (!gridValid(grid, qnr::kProfileShape)) return;
    const int step = args.step;
    const long long columns = static_cast<long long>(grid.x) * qnr::kProfileThreadsX;
    // Lanes compute their sample columns in 32 bits.
    const bool vectors = step >= 1 && columns <= INT_MAX && (columns - 1) * step <= INT_MAX;
    const detail::ProfileLaunch l{qnr::FrameView{args.src, args.width, args.height, args.pitch}, step, grid.x,
                                  vectors, args.blockSums, args.blockWeights};
    const detail::KernelSet& k = kernels();
    constexpr unsigned long long kChunk = 1ull << 20, kShare = 16;
    const unsigned long long blocks = static_cast<unsigned long long>(grid.x) * grid.y;
    for (unsigned long long first = 0; first < blocks; first += kChunk) {
        const unsigned count = static_cast<unsigned>(std::min(kChunk, blocks - first));
        runShares(qnr::piecesCovering(static_cast<int>(count), kShare), [&](unsigned share) {
            const unsigned begin = share * kShare;
            k.profileBlocks(l, first + begin, std::min<unsigned>(kShare, count - begin));
        });
    }
}

}  // namespace cpuexec
