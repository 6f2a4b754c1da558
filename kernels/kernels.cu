// The three device entry points. Their per-thread work lives in the headers,
// which the CPU executor compiles as well; the names stay unmangled because the
// driver backend looks them up by name. Each is written for the one thread
// block of kernels/launch_geometry.h: it indexes its threads and its shared
// memory by that shape, and the launch bounds let the driver refuse a larger one.
// Each takes its one argument struct (kernels/kernel_args.h) by value.
#include "kernels/motion.h"
#include "kernels/process.h"
#include "kernels/profile.h"

extern "C" __global__ void __launch_bounds__(qnr::kProcessThreads)
    kProcess(qnr::ProcessArgs a) {
    const int x = static_cast<int>(blockIdx.x * qnr::kProcessThreadsX + threadIdx.x);
    const int y = static_cast<int>(blockIdx.y * qnr::kProcessThreadsY + threadIdx.y);
    qnr::processPixel(a, x, y);
}

extern "C" __global__ void __launch_bounds__(qnr::kMotionThreads)
    kEstimateMV16(qnr::MotionArgs a) {
    const int blocksX = a.blocksX, blocksY = a.blocksY, radius = a.radius;
    int2* const mv = a.mv;
    extern __shared__ float slots[];  // qnr::kMotionSharedBytes
    const int bx = static_cast<int>(blockIdx.x), by = static_cast<int>(blockIdx.y);
    if (bx >= blocksX || by >= blocksY) return;

    const int tx = static_cast<int>(threadIdx.x), ty = static_cast<int>(threadIdx.y);
    const int t = ty * static_cast<int>(qnr::kMotionThreadsX) + tx;
    const long long out = static_cast<long long>(by) * blocksX + bx;
    const qnr::MotionBlock block = qnr::motionBlock(bx, by, a.width, a.height);
    if (qnr::motionBlockEmpty(block)) {
        if (t == 0) mv[out] = make_int2(0, 0);
        return;
    }

    const qnr::MotionFrames frames{qnr::FrameView{a.cur, a.width, a.height, a.pitch},
                                   qnr::FrameView{a.ref, a.width, a.height, a.pitch}};
    const int s = qnr::motionStep(a.step);
    float best = 1.0e30f;
    int2 bestV = make_int2(0, 0);
    for (int dy = -radius; dy <= radius; ++dy) {
        for (int dx = -radius; dx <= radius; ++dx) {
            slots[t] = qnr::motionPartialCost(frames, block, dx, dy, tx, ty, s);
            __syncthreads();
QNR_UNROLL
            for (int half = qnr::kMotionThreads / 2; half > 0; half /= 2) {
                qnr::reduceLevel(slots, t, half);
                __syncthreads();
            }
            if (t == 0 && slots[0] < best) {
                best = slots[0];
                bestV = make_int2(dx, dy);
            }
            __syncthreads();
        }
    }
    if (t == 0) mv[out] = bestV;
}

extern "C" __global__ void __launch_bounds__(qnr::kProfileSlots)
    kProfileAuto(qnr::ProfileArgs a) {
    __shared__ double sums[qnr::kProfileSlots];
    __shared__ double weights[qnr::kProfileSlots];
    const int gx = static_cast<int>(blockIdx.x * qnr::kProfileThreadsX + threadIdx.x);
    const int gy = static_cast<int>(blockIdx.y * qnr::kProfileThreadsY + threadIdx.y);
    const int t = static_cast<int>(threadIdx.y * qnr::kProfileThreadsX + threadIdx.x);
    const qnr::FrameView frame{a.src, a.width, a.height, a.pitch};
    const qnr::ProfileSample<float> p = qnr::profileSample(frame, gx, gy, a.step);
    sums[t] = static_cast<double>(p.weighted);
    weights[t] = static_cast<double>(p.weight);
    __syncthreads();
QNR_UNROLL
    for (int half = qnr::kProfileSlots / 2; half > 0; half /= 2) {
        qnr::reduceProfileLevel(sums, weights, t, half);
        __syncthreads();
    }
    // Each block's totals go to its own slot, which every z layer writes
    // alike; the host adds them in block order, so the estimate does not
    // depend on the order in which blocks finish.
    if (t == 0) {
        const unsigned long long block = static_cast<unsigned long long>(blockIdx.y) * gridDim.x + blockIdx.x;
        a.blockSums[block] = sums[0];
        a.blockWeights[block] = weights[0];
    }
}
