#include "tests/simdriver/kernels.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "kernels/common.h"
#include "kernels/cpu_executor.h"
#include "kernels/params.h"

namespace sim {
namespace {

// Extents from the launch's own arguments and grid, by this driver's own
// arithmetic (never the product's), each saturating where the true extent
// would not fit a size_t, so that it then lies outside every allocation.

// A frame of 4-byte pixels, rows `pitch` pixels apart; 0 for an empty frame or
// rows that overlap.
std::size_t frameBytes(int width, int height, int pitch) {
    if (width <= 0 || height <= 0 || pitch < width) return 0;
    // At most (2^31 - 1)^2 + 2^31 pixels, which fits 64 bits.
    const unsigned long long pixels = static_cast<unsigned long long>(pitch) * (static_cast<unsigned>(height) - 1) +
                                      static_cast<unsigned>(width);
    return pixels > SIZE_MAX / 4 ? SIZE_MAX : static_cast<std::size_t>(pixels * 4);
}

// One int2 (8 bytes) per 16x16 motion block; 0 when there are none.
constexpr std::size_t kVectorBytes = 8;
constexpr int kMotionBlockPixels = 16;

std::size_t vectorBytes(int blocksX, int blocksY) {
    if (blocksX <= 0 || blocksY <= 0) return 0;
    const unsigned long long blocks = static_cast<unsigned long long>(blocksX) * static_cast<unsigned>(blocksY);
    return blocks > SIZE_MAX / kVectorBytes ? SIZE_MAX : static_cast<std::size_t>(blocks * kVectorBytes);
}

int motionBlocksDown(int height) {
    return height > 0 ? static_cast<int>((static_cast<long long>(height) + kMotionBlockPixels - 1) / kMotionBlockPixels)
                      : 0;
}

// One double per thread block of the launch's grid (x by y; every z layer
// writes the same slots).
std::size_t blockSlotBytes(qnr::Dim3 grid) {
    const unsigned long long blocks = static_cast<unsigned long long>(grid.x) * grid.y;
    return blocks > SIZE_MAX / sizeof(double) ? SIZE_MAX : static_cast<std::size_t>(blocks * sizeof(double));
}

// Every pointer argument inside the context's memory, each for its extent.
bool pointersOk(Driver& d, const char* entry, Context* c, const char* kernel,
                std::initializer_list<std::pair<const void*, std::size_t>> args) {
    for (const auto& [p, bytes] : args) {
        if (bytes == 0) {
            violation(d, entry, std::string(kernel) + ": sizes that describe no memory", CUDA_SUCCESS);
            return false;
        }
        if (!deviceRangeOk(d, entry, std::string(kernel) + " argument", c,
                           reinterpret_cast<std::uintptr_t>(p), bytes)) {
            return false;
        }
    }
    return true;
}

void queueEstimateMV16(Driver& d, const char* entry, Context* c, Stream* s, Launch l) {
    const auto cur = l.arg<const uchar4*>(0), ref = l.arg<const uchar4*>(1);
    const int width = l.arg<int>(2), height = l.arg<int>(3), pitch = l.arg<int>(4);
    const auto mv = l.arg<int2*>(5);
    const int blocksX = l.arg<int>(6), blocksY = l.arg<int>(7), radius = l.arg<int>(8), step = l.arg<int>(9);
    const std::size_t span = frameBytes(width, height, pitch);
    if (!pointersOk(d, entry, c, "kEstimateMV16", {{cur, span}, {ref, span}, {mv, vectorBytes(blocksX, blocksY)}})) {
        return queueFault(s);
    }
    s->queue.push_back([=] {
        cpuexec::runEstimateMV16(l.grid, cur, ref, width, height, pitch, mv, blocksX, blocksY, radius, step);
        return CUDA_SUCCESS;
    });
}

void queueProcess(Driver& d, const char* entry, Context* c, Stream* s, Launch l) {
    const auto cur = l.arg<const uchar4*>(0), prev = l.arg<const uchar4*>(1),
               prev2 = l.arg<const uchar4*>(2), prevOut = l.arg<const uchar4*>(3);
    const auto mv1 = l.arg<const int2*>(4), mv2 = l.arg<const int2*>(5);
    const int blocksX = l.arg<int>(6);
    const auto out = l.arg<uchar4*>(7);
    const int width = l.arg<int>(8), height = l.arg<int>(9), pitch = l.arg<int>(10);
    const auto params = l.arg<CudaNRParams>(11);
    const std::size_t span = frameBytes(width, height, pitch);
    const std::size_t vectors = vectorBytes(blocksX, motionBlocksDown(height));
    if (!pointersOk(d, entry, c, "kProcess",
                    {{cur, span}, {prev, span}, {prev2, span}, {prevOut, span}, {out, span},
                     {mv1, vectors}, {mv2, vectors}})) {
        return queueFault(s);
    }
    s->queue.push_back([=] {
        cpuexec::runProcess(l.grid, cur, prev, prev2, prevOut, mv1, mv2, blocksX, out, width, height, pitch,
                            params);
        return CUDA_SUCCESS;
    });
}

void queueProfileAuto(Driver& d, const char* entry, Context* c, Stream* s, Launch l) {
    const auto src = l.arg<const uchar4*>(0);
    const int width = l.arg<int>(1), height = l.arg<int>(2), pitch = l.arg<int>(3), step = l.arg<int>(4);
    const auto blockSums = l.arg<double*>(5), blockWeights = l.arg<double*>(6);
    const std::size_t slots = blockSlotBytes(l.grid);
    if (!pointersOk(d, entry, c, "kProfileAuto",
                    {{src, frameBytes(width, height, pitch)}, {blockSums, slots}, {blockWeights, slots}})) {
        return queueFault(s);
    }
    s->queue.push_back([=] {
        cpuexec::runProfileAuto(l.grid, src, width, height, pitch, step, blockSums, blockWeights);
        return CUDA_SUCCESS;
    });
}

constexpr std::size_t kPtr = sizeof(void*), kInt = sizeof(int);

const KernelSignature kKernels[] = {
    {"kEstimateMV16", {kPtr, kPtr, kInt, kInt, kInt, kPtr, kInt, kInt, kInt, kInt}, qnr::kMotionShape,
     queueEstimateMV16},
    {"kProcess",
     {kPtr, kPtr, kPtr, kPtr, kPtr, kPtr, kInt, kPtr, kInt, kInt, kInt, sizeof(CudaNRParams)},
     qnr::kProcessShape, queueProcess},
    {"kProfileAuto", {kPtr, kInt, kInt, kInt, kInt, kPtr, kPtr}, qnr::kProfileShape, queueProfileAuto},
};

std::string dims(qnr::Dim3 d) {
    return std::to_string(d.x) + "x" + std::to_string(d.y) + "x" + std::to_string(d.z);
}

}  // namespace

void queueFault(Stream* s) {
    s->queue.push_back([] { return CUDA_ERROR_ILLEGAL_ADDRESS; });
}

std::string misfitReason(const KernelSignature& kernel, const Launch& launch) {
    if (launch.block != kernel.shape.block) {
        return std::string(kernel.name) + " is written for " + dims(kernel.shape.block) + " thread blocks, not " +
               dims(launch.block);
    }
    return std::string(kernel.name) + " needs " + std::to_string(kernel.shape.dynamicSharedBytes) +
           " bytes of dynamic shared memory";
}

const KernelSignature* FindKernel(std::string_view name, int* index) {
    for (int i = 0; i < static_cast<int>(std::size(kKernels)); ++i) {
        if (name == kKernels[i].name) {
            *index = i;
            return &kKernels[i];
        }
    }
    return nullptr;
}

const KernelSignature& KernelAt(int index) { return kKernels[index]; }

}  // namespace sim
