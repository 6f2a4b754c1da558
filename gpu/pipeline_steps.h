// The per-frame pipeline: upload into the ring, motion against the two previous
// input frames, the processing kernel, download and the feedback copy, queued
// on the context's stream in that order.
//
// Written once, over a callback told as each step is queued: the filter's
// CudaNRProcessFrame (gpu/pipeline.cpp) passes one that does nothing, so the
// module carries neither hook nor pointer; a measurement tool builds its own
// copy that records an event per step.
#pragma once
#include <cstddef>

#include "gpu/context_state.h"
#include "gpu/cudanr.h"
#include "gpu/device.h"
#include "gpu/failure.h"
#include "gpu/host_pitch.h"
#include "kernels/common.h"
#include "kernels/launch_geometry.h"

enum class CudaNRFrameStep {
    Begin,                 // nothing queued yet
    Upload,
    MotionPrevious,        // motion against the previous frame
    MotionBeforePrevious,  // and against the one before
    Process,
    Download,
    Feedback,              // the result kept on the device for the next frame
};
constexpr int kCudaNRFrameSteps = 7;

namespace cudanr_frame {

inline bool inputsValid(const CudaNRContext* ctx, const uchar4* src, const uchar4* dst, int width, int height,
                        const CudaNRParams* params) {
    return ctx != nullptr && src != nullptr && dst != nullptr && params != nullptr && ctx->out != nullptr &&
           width == ctx->width && height == ctx->height;
}

inline void launchMotion(const CudaNRContext* ctx, const uchar4* cur, const uchar4* ref, int2* mv, int pitch) {
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
inline bool failAfterHostCopy(const CudaNRContext* ctx, CudaNRStep step, dev::Status status) {
    dev::streamSynchronize(ctx->stream);
    return CudaNRFail(step, status);
}

}  // namespace cudanr_frame

// CudaNRProcessFrame, calling queued(step, stream) before the first step
// (CudaNRFrameStep::Begin) and after each step is queued; a step that fails
// to queue is not reported.
template <class Queued>
bool CudaNRQueueFrame(CudaNRContext* ctx, const uchar4* src, int srcPitch, uchar4* dst, int dstPitch, int width,
                      int height, const CudaNRParams* params, Queued&& queued) {
    using namespace cudanr_frame;
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

    queued(CudaNRFrameStep::Begin, ctx->stream);
    if (!CudaNRSucceeded(dev::memcpy2DAsync(cur, ctx->pitchBytes, src, static_cast<std::size_t>(srcPitch),
                                            rowBytes, rows, dev::CopyKind::HostToDevice, ctx->stream),
                         CudaNRStep::Upload)) {
        return false;
    }
    queued(CudaNRFrameStep::Upload, ctx->stream);
    launchMotion(ctx, cur, prev, ctx->mv1, pitch);
    queued(CudaNRFrameStep::MotionPrevious, ctx->stream);
    launchMotion(ctx, cur, prev2, ctx->mv2, pitch);
    if (dev::Status s = dev::getLastError(); s != dev::kSuccess) {
        return failAfterHostCopy(ctx, CudaNRStep::MotionSearch, s);
    }
    queued(CudaNRFrameStep::MotionBeforePrevious, ctx->stream);

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
    queued(CudaNRFrameStep::Process, ctx->stream);

    if (dev::Status s = dev::memcpy2DAsync(dst, static_cast<std::size_t>(dstPitch), ctx->out, ctx->pitchBytes,
                                           rowBytes, rows, dev::CopyKind::DeviceToHost, ctx->stream);
        s != dev::kSuccess) {
        return failAfterHostCopy(ctx, CudaNRStep::Download, s);
    }
    queued(CudaNRFrameStep::Download, ctx->stream);
    if (dev::Status s = dev::memcpy2DAsync(ctx->prevOut, ctx->pitchBytes, ctx->out, ctx->pitchBytes, rowBytes,
                                           rows, dev::CopyKind::DeviceToDevice, ctx->stream);
        s != dev::kSuccess) {
        return failAfterHostCopy(ctx, CudaNRStep::Feedback, s);
    }
    queued(CudaNRFrameStep::Feedback, ctx->stream);
    // A failed wait has still waited.
    if (!CudaNRSucceeded(dev::streamSynchronize(ctx->stream), CudaNRStep::Synchronize)) return false;
    ctx->ringIndex = (ctx->ringIndex + 1) % 3;
    return true;
}
