// The filter's per-frame pipeline: the sequence of gpu/pipeline_steps.h with
// nothing told of its steps.
#include "gpu/pipeline_steps.h"

bool CudaNRProcessFrame(CudaNRContext* ctx, const uchar4* src, int srcPitch, uchar4* dst, int dstPitch, int width,
                        int height, const CudaNRParams* params) {
    return CudaNRQueueFrame(ctx, src, srcPitch, dst, dstPitch, width, height, params,
                            [](CudaNRFrameStep, dev::Stream) {});
}
