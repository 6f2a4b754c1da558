#include "tests/simdriver/kernels.h"

#include <cstring>
#include <initializer_list>

#include "kernels/common.h"
#include "kernels/cpu_executor.h"
#include "kernels/params.h"

namespace sim {
namespace {

using qnr::frameSpanBytes;
using qnr::motionVectorBytes;

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
    const std::size_t span = frameSpanBytes(width, height, pitch);
    if (!pointersOk(d, entry, c, "kEstimateMV16",
                    {{cur, span}, {ref, span}, {mv, motionVectorBytes(blocksX, blocksY)}})) {
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
    const std::size_t span = frameSpanBytes(width, height, pitch);
    const std::size_t vectors = motionVectorBytes(blocksX, qnr::motionBlocksCovering(height));
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
    const auto accSum = l.arg<double*>(5), accWeight = l.arg<double*>(6);
    if (!pointersOk(d, entry, c, "kProfileAuto",
                    {{src, frameSpanBytes(width, height, pitch)}, {accSum, sizeof(double)},
                     {accWeight, sizeof(double)}})) {
        return queueFault(s);
    }
    s->queue.push_back([=] {
        cpuexec::runProfileAuto(l.grid, src, width, height, pitch, step, accSum, accWeight);
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
