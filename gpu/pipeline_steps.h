// The steps CudaNRProcessFrame queues on the context's stream, in order, and a
// hook called as each is queued: how a measurement tool times each step of the
// real pipeline (with an event per call). The filter itself passes no hook.
#pragma once
#include "gpu/cudanr.h"

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

struct CudaNRStepHook {
    void (*queued)(void* user, CudaNRFrameStep step, dev::Stream stream);
    void* user;
};

// CudaNRProcessFrame, calling hook (when given) before the first step and
// after each step is queued.
bool CudaNRProcessFrameHooked(CudaNRContext* ctx, const uchar4* src, int srcPitch, uchar4* dst, int dstPitch,
                              int width, int height, const CudaNRParams* params, const CudaNRStepHook* hook);
