// The per-frame pipeline: upload into the ring, motion against the two previous
// input frames, the processing kernel, download and the feedback copy.
#include "gpu/context_state.h"
#include "gpu/failure.h"
#include "gpu/host_pitch.h"
#include "gpu/pipeline_steps.h"
#include "kernels/launch_geometry.h"
#include "kernels/common.h"

namespace {

bool inputsValid(const CudaNRContext* ctx, const uchar4* src, const uchar4* dst, int width,
                 int height, const CudaNRParams* params) {
    return ctx != nullptr && src != nullptr && dst != nullptr && params != nullptr &&
           ctx->out != nullptr && width == ctx->width && height == ctx->height;
}

void launchMotion(const CudaNRContext* ctx, const uchar4* cur, const uchar4* ref, int2* mv,
                  int pitch) {
    const qnr::MotionArgs args{.cur = cur,
                               .ref = ref,
                               .mv = mv,
                               .width = ctx->width,
                               .height = ctx->height,
                               .pitch = pitch,
                               .blocksX = ctx->blocksX,
                               .blocksY = ctx->blocksY,
                               .radius = qnr::kMotionRadius,
                               .step = qnr::kMotionStep};
    dev::launchEstimateMV16(qnr::motionGrid(ctx->width, ctx->height), qnr::kMotionThreadBlock,
                            qnr::kMotionSharedBytes, ctx->stream, args);
}

// Once a copy from or to host memory has been queued, a failure must not
// return while that copy can still run: staging memory is page-locked, so an
// upload reads it, and a download writes it, when the copy runs, and the
// caller is about to reuse both.
bool failAfterHostCopy(const CudaNRContext* ctx, CudaNRStep step, dev::Status status) {
    dev::streamSynchronize(ctx->stream);
    return CudaNRFail(step, status);
}

void queued(const CudaNRStepHook* hook, CudaNRFrameStep step, const CudaNRContext* ctx) {
    if (hook != nullptr) hook->queued(hook->user, step, ctx->stream);
}

}  // namespace

bool CudaNRProcessFrame(CudaNRContext* ctx, const uchar4* src, int srcPitch, uchar4* dst,
                        int dstPitch, int width, int height, const CudaNRParams* params) {
    return CudaNRProcessFrameHooked(ctx, src, srcPitch, dst, dstPitch, width, height, params, nullptr);
}

bool CudaNRProcessFrameHooked(CudaNRContext* ctx, const uchar4* src, int srcPitch, uchar4* dst, int dstPitch,
                              int width, int height, const CudaNRParams* params, const CudaNRStepHook* hook) {
    if (!inputsValid(ctx, src, dst, width, height, params) || !HostPitchValid(srcPitch, width) ||
        !HostPitchValid(dstPitch, width)) {
        return CudaNRFail(CudaNRStep::InvalidCall);
    }
    if (!CudaNRSelectDevice(ctx)) return false;
    const int e = ctx->ringIndex;
    uchar4* cur = ctx->ring[e];
    const uchar4* prev = ctx->ring[(e + 2) % 3];
    const uchar4* prev2 = ctx->ring[(e + 1) % 3];
    const auto rowBytes = static_cast<std::size_t>(width) * kBgraPixelBytes;
    const auto rows = static_cast<std::size_t>(height);
    const int pitch = static_cast<int>(ctx->pitchBytes / kBgraPixelBytes);

    queued(hook, CudaNRFrameStep::Begin, ctx);
    if (!CudaNRSucceeded(dev::memcpy2DAsync(cur, ctx->pitchBytes, src, static_cast<std::size_t>(srcPitch),
                                            rowBytes, rows, dev::CopyKind::HostToDevice, ctx->stream),
                         CudaNRStep::Upload)) {
        return false;
    }
    queued(hook, CudaNRFrameStep::Upload, ctx);
    launchMotion(ctx, cur, prev, ctx->mv1, pitch);
    queued(hook, CudaNRFrameStep::MotionPrevious, ctx);
    launchMotion(ctx, cur, prev2, ctx->mv2, pitch);
    if (dev::Status s = dev::getLastError(); s != dev::kSuccess) {
        return failAfterHostCopy(ctx, CudaNRStep::MotionSearch, s);
    }
    queued(hook, CudaNRFrameStep::MotionBeforePrevious, ctx);

    const qnr::ProcessArgs args{.cur = cur,
                                .prev = prev,
                                .prev2 = prev2,
                                .prevOut = ctx->prevOut,
                                .mv1 = ctx->mv1,
                                .mv2 = ctx->mv2,
                                .out = ctx->out,
                                .blocksX = ctx->blocksX,
                                .width = width,
                                .height = height,
                                .pitch = pitch,
                                .params = *params};
    dev::launchProcess(qnr::processGrid(width, height), qnr::kProcessThreadBlock, 0, ctx->stream, args);
    if (dev::Status s = dev::getLastError(); s != dev::kSuccess) return failAfterHostCopy(ctx, CudaNRStep::Process, s);
    queued(hook, CudaNRFrameStep::Process, ctx);

    if (dev::Status s = dev::memcpy2DAsync(dst, static_cast<std::size_t>(dstPitch), ctx->out, ctx->pitchBytes,
                                           rowBytes, rows, dev::CopyKind::DeviceToHost, ctx->stream);
        s != dev::kSuccess) {
        return failAfterHostCopy(ctx, CudaNRStep::Download, s);
    }
    queued(hook, CudaNRFrameStep::Download, ctx);
    if (dev::Status s = dev::memcpy2DAsync(ctx->prevOut, ctx->pitchBytes, ctx->out, ctx->pitchBytes, rowBytes,
                                           rows, dev::CopyKind::DeviceToDevice, ctx->stream);
        s != dev::kSuccess) {
        return failAfterHostCopy(ctx, CudaNRStep::Feedback, s);
    }
    queued(hook, CudaNRFrameStep::Feedback, ctx);
    // A failed wait has still waited.
    if (!CudaNRSucceeded(dev::streamSynchronize(ctx->stream), CudaNRStep::Synchronize)) return false;
    ctx->ringIndex = (ctx->ringIndex + 1) % 3;
    return true;
}
