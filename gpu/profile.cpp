// Noise profiling: one kernel measures flat-area luma residuals of a frame; the
// host turns their weighted mean into a noise standard deviation.
#include <algorithm>

#include "gpu/context_state.h"
#include "gpu/host_pitch.h"
#include "kernels/launch_geometry.h"

namespace {

// sqrt(pi/2): mean absolute value of zero-mean Gaussian noise times this is sigma.
constexpr double kMeanAbsToSigma = 1.2533141373155001;

void launchProfile(const CudaNRContext* ctx, const uchar4* frame, int width, int height) {
    dev::launchProfileAuto(qnr::profileGrid(width, height), qnr::kProfileThreadBlock, 0, ctx->stream, frame, width,
                           height, static_cast<int>(ctx->pitchBytes / 4), qnr::kProfileStep, ctx->accSum,
                           ctx->accWeight);
}

float sigmaFromSums(double sum, double weight) {
    double ratio = weight > 1e-12 ? sum / weight : 0.0;
    double sigma = ratio * kMeanAbsToSigma;
    sigma = std::min(std::max(sigma, 0.8), 40.0);
    return static_cast<float>(sigma);
}

}  // namespace

bool CudaNRProfileNoise(CudaNRContext* ctx, const uchar4* src, int srcPitch, int width,
                        int height, float* estimate) {
    if (ctx == nullptr || src == nullptr || estimate == nullptr) return false;
    if (!HostPitchValid(srcPitch, width)) return false;
    if (!CudaNREnsureBuffers(ctx, width, height)) return false;  // it selects ctx's device, makes every buffer

    // The frame goes into the slot the pipeline fills with this same frame
    // next, so the two previous input frames stay intact.
    uchar4* slot = ctx->ring[ctx->ringIndex];
    if (dev::memcpy2DAsync(slot, ctx->pitchBytes, src, static_cast<std::size_t>(srcPitch),
                           static_cast<std::size_t>(width) * 4, static_cast<std::size_t>(height),
                           dev::CopyKind::HostToDevice, ctx->stream) != dev::kSuccess) {
        return false;
    }
    // Sums left over from an earlier run, or never read back, would give a
    // plausible but wrong estimate: these statuses count too.
    if (dev::memsetAsync(ctx->accSum, 0, sizeof(double), ctx->stream) != dev::kSuccess ||
        dev::memsetAsync(ctx->accWeight, 0, sizeof(double), ctx->stream) != dev::kSuccess) {
        return false;
    }
    launchProfile(ctx, slot, width, height);
    if (dev::getLastError() != dev::kSuccess) return false;

    double sum = 0.0;
    double weight = 1.0;
    bool readBack =
        dev::memcpyAsync(&sum, ctx->accSum, sizeof sum, dev::CopyKind::DeviceToHost,
                         ctx->stream) == dev::kSuccess &&
        dev::memcpyAsync(&weight, ctx->accWeight, sizeof weight, dev::CopyKind::DeviceToHost,
                         ctx->stream) == dev::kSuccess;
    // Wait whatever happened: a queued read-back must not land in this stack
    // frame after it is gone. A failed wait has still waited.
    if (dev::streamSynchronize(ctx->stream) != dev::kSuccess || !readBack) return false;
    *estimate = sigmaFromSums(sum, weight);
    return true;
}
