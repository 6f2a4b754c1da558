// The three device entry points. Their per-thread work lives in the headers,
// which the CPU executor compiles as well; the names stay unmangled because the
// driver backend looks them up by name.
#include "kernels/motion.h"
#include "kernels/process.h"
#include "kernels/profile.h"

extern "C" __global__ void kProcess(const uchar4* cur, const uchar4* prev, const uchar4* prev2,
                                    const uchar4* prevOut, const int2* mv1, const int2* mv2,
                                    int blocksX, uchar4* out, int width, int height, int pitch,
                                    CudaNRParams params) {
    const qnr::ProcessArgs a{cur, prev, prev2, prevOut, mv1, mv2, blocksX, out, width, height, pitch, params};
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int y = static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
    qnr::processPixel(a, x, y);
}

extern "C" __global__ void kEstimateMV16(const uchar4* cur, const uchar4* ref, int width,
                                         int height, int pitch, int2* mv, int blocksX,
                                         int blocksY, int radius, int step) {
    extern __shared__ float slots[];
    const int bx = static_cast<int>(blockIdx.x), by = static_cast<int>(blockIdx.y);
    if (bx >= blocksX || by >= blocksY) return;

    const int nx = static_cast<int>(blockDim.x), ny = static_cast<int>(blockDim.y);
    const int tx = static_cast<int>(threadIdx.x), ty = static_cast<int>(threadIdx.y);
    const int t = ty * nx + tx;
    const bool lead = t == 0 && threadIdx.z == 0;
    const long long out = static_cast<long long>(by) * blocksX + bx;

    unsigned sharedBytes;
    asm("mov.u32 %0, %%dynamic_smem_size;" : "=r"(sharedBytes));
    const qnr::MotionBlock block = qnr::motionBlock(bx, by, width, height);
    if (qnr::motionBlockEmpty(block) ||
        !qnr::motionLaunchUsable(nx * ny, blockDim.z, sharedBytes)) {
        if (lead) mv[out] = make_int2(0, 0);
        return;
    }

    const qnr::MotionFrames frames{qnr::FrameView{cur, width, height, pitch},
                                   qnr::FrameView{ref, width, height, pitch}};
    const int s = qnr::motionStep(step);
    float best = 1.0e30f;
    int2 bestV = make_int2(0, 0);
    for (int dy = -radius; dy <= radius; ++dy) {
        for (int dx = -radius; dx <= radius; ++dx) {
            slots[t] = qnr::motionPartialCost(frames, block, dx, dy, tx, ty, nx, ny, s);
            __syncthreads();
            for (int half = (nx * ny) / 2; half > 0; half /= 2) {
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
    if (lead) mv[out] = bestV;
}

extern "C" __global__ void kProfileAuto(const uchar4* src, int width, int height, int pitch,
                                        int step, double* accSum, double* accWeight) {
    __shared__ double sums[qnr::kProfileSlots];
    __shared__ double weights[qnr::kProfileSlots];
    const int threads = static_cast<int>(blockDim.x * blockDim.y);
    if (!qnr::profileLaunchUsable(threads, blockDim.z)) return;

    const int gx = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int gy = static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
    const int t = static_cast<int>(threadIdx.y * blockDim.x + threadIdx.x);
    const qnr::ProfileSample<float> p = qnr::profileSample(qnr::FrameView{src, width, height, pitch}, gx, gy, step);
    sums[t] = static_cast<double>(p.weighted);
    weights[t] = static_cast<double>(p.weight);
    __syncthreads();
    for (int half = qnr::kProfileSlots / 2; half > 0; half /= 2) {
        qnr::reduceProfileLevel(sums, weights, t, half, threads);
        __syncthreads();
    }
    if (t == 0) {
        atomicAdd(accSum, sums[0]);
        atomicAdd(accWeight, weights[0]);
    }
}
