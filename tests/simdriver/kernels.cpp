#include "tests/simdriver/kernels.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "kernels/common.h"
#include "kernels/cpu_executor.h"
#include "kernels/kernel_args.h"

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

// Each kernel's one parameter as kernels.cu documents it, written here from
// that layout (x86-64 natural alignment) rather than taken from the product's
// struct, so that a layout the backends and the image disagree on shows here.
namespace motion {
constexpr std::size_t kCur = 0, kRef = 8, kMv = 16, kWidth = 24, kHeight = 28, kPitch = 32, kBlocksX = 36,
                      kBlocksY = 40, kBytes = 56;
}
namespace process {
constexpr std::size_t kCur = 0, kPrev = 8, kPrev2 = 16, kPrevOut = 24, kMv1 = 32, kMv2 = 40, kOut = 48,
                      kBlocksX = 56, kWidth = 60, kHeight = 64, kPitch = 68, kBytes = 96;
}
namespace profile {
constexpr std::size_t kSrc = 0, kSums = 8, kWeights = 16, kWidth = 24, kHeight = 28, kPitch = 32, kBytes = 40;
}

// The executor's view of the parameter: its bytes as the launch passed them.
// An executor whose struct is another size cannot run what the image takes.
template <typename Args>
bool executorArgs(Driver& d, const char* entry, const char* kernel, const Launch& l, Args* args) {
    if (l.params.size() != sizeof(Args)) {
        violation(d, entry,
                  std::string(kernel) + ": the executor takes " + std::to_string(sizeof(Args)) +
                      " parameter bytes, the image " + std::to_string(l.params.size()),
                  CUDA_SUCCESS);
        return false;
    }
    std::memcpy(args, l.params.data(), sizeof(Args));
    return true;
}

void queueEstimateMV16(Driver& d, const char* entry, Context* c, Stream* s, Launch l) {
    using namespace motion;
    const auto cur = l.field<const void*>(kCur), ref = l.field<const void*>(kRef), mv = l.field<const void*>(kMv);
    const int width = l.field<int>(kWidth), height = l.field<int>(kHeight), pitch = l.field<int>(kPitch);
    const int blocksX = l.field<int>(kBlocksX), blocksY = l.field<int>(kBlocksY);
    const std::size_t span = frameBytes(width, height, pitch);
    qnr::MotionArgs args{};
    if (!pointersOk(d, entry, c, "kEstimateMV16", {{cur, span}, {ref, span}, {mv, vectorBytes(blocksX, blocksY)}}) ||
        !executorArgs(d, entry, "kEstimateMV16", l, &args)) {
        return queueFault(s);
    }
    s->queue.push_back([grid = l.grid, args] {
        cpuexec::runEstimateMV16(grid, args);
        return CUDA_SUCCESS;
    });
}

void queueProcess(Driver& d, const char* entry, Context* c, Stream* s, Launch l) {
    using namespace process;
    const auto cur = l.field<const void*>(kCur), prev = l.field<const void*>(kPrev),
               prev2 = l.field<const void*>(kPrev2), prevOut = l.field<const void*>(kPrevOut),
               mv1 = l.field<const void*>(kMv1), mv2 = l.field<const void*>(kMv2), out = l.field<const void*>(kOut);
    const int blocksX = l.field<int>(kBlocksX);
    const int width = l.field<int>(kWidth), height = l.field<int>(kHeight), pitch = l.field<int>(kPitch);
    const std::size_t span = frameBytes(width, height, pitch);
    const std::size_t vectors = vectorBytes(blocksX, motionBlocksDown(height));
    qnr::ProcessArgs args{};
    if (!pointersOk(d, entry, c, "kProcess",
                    {{cur, span}, {prev, span}, {prev2, span}, {prevOut, span}, {out, span},
                     {mv1, vectors}, {mv2, vectors}}) ||
        !executorArgs(d, entry, "kProcess", l, &args)) {
        return queueFault(s);
    }
    s->queue.push_back([grid = l.grid, args] {
        cpuexec::runProcess(grid, args);
        return CUDA_SUCCESS;
    });
}

void queueProfileAuto(Driver& d, const char* entry, Context* c, Stream* s, Launch l) {
    using namespace profile;
    const auto src = l.field<const void*>(kSrc);
    const auto blockSums = l.field<const void*>(kSums), blockWeights = l.field<const void*>(kWeights);
    const int width = l.field<int>(kWidth), height = l.field<int>(kHeight), pitch = l.field<int>(kPitch);
    const std::size_t slots = blockSlotBytes(l.grid);
    qnr::ProfileArgs args{};
    if (!pointersOk(d, entry, c, "kProfileAuto",
                    {{src, frameBytes(width, height, pitch)}, {blockSums, slots}, {blockWeights, slots}}) ||
        !executorArgs(d, entry, "kProfileAuto", l, &args)) {
        return queueFault(s);
    }
    s->queue.push_back([grid = l.grid, args] {
        cpuexec::runProfileAuto(grid, args);
        return CUDA_SUCCESS;
    });
}

const KernelSignature kKernels[] = {
    {"kEstimateMV16", {motion::kBytes}, qnr::kMotionShape, queueEstimateMV16},
    {"kProcess", {process::kBytes}, qnr::kProcessShape, queueProcess},
    {"kProfileAuto", {profile::kBytes}, qnr::kProfileShape, queueProfileAuto},
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
