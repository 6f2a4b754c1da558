// Noise profiling: one kernel measures flat-area luma residuals of a frame; the
// host turns their weighted mean into a noise standard deviation.
#include <algorithm>
#include <cfenv>
#include <cstddef>

#include "gpu/context_state.h"
#include "gpu/host_pitch.h"
#include "gpu/profile_schedule.h"
#include "kernels/launch_geometry.h"
#include "kernels/common.h"

namespace {

// sqrt(pi/2): mean absolute value of zero-mean Gaussian noise times this is sigma.
constexpr double kMeanAbsToSigma = 1.2533141373155001;

void launchProfile(const CudaNRContext* ctx, const uchar4* frame, int width, int height) {
    const qnr::ProfileArgs args{.src = frame,
                                .blockSums = ctx->blockSums,
                                .blockWeights = ctx->blockWeights,
                                .width = width,
                                .height = height,
                                .pitch = static_cast<int>(ctx->pitchBytes / kBgraPixelBytes),
                                .step = qnr::kProfileStep};
    dev::launchProfileAuto(qnr::profileGrid(width, height), qnr::kProfileThreadBlock, 0, ctx->stream, args);
}

float sigmaFromSums(double sum, double weight) {
    double ratio = weight > 1e-12 ? sum / weight : 0.0;
    double sigma = ratio * kMeanAbsToSigma;
    sigma = std::min(std::max(sigma, static_cast<double>(kCudaNRSigmaMin)), static_cast<double>(kCudaNRSigmaMax));
    return static_cast<float>(sigma);
}

// The blocks' totals added in block order from zero, then mapped onto sigma,
// in round-to-nearest whatever mode the host's thread runs in: the same bits
// from every module, however the blocks were scheduled.
float estimateFromBlocks(const double* sums, const double* weights, std::size_t blocks) {
    const int mode = std::fegetround();
    std::fesetround(FE_TONEAREST);
    double sum = 0.0, weight = 0.0;
    for (std::size_t i = 0; i < blocks; ++i) {
        sum += sums[i];
        weight += weights[i];
    }
    // Volatile, so that the compiler, which assumes one rounding mode, cannot
    // move any of the arithmetic past the mode's return.
    const volatile float sigma = sigmaFromSums(sum, weight);
    std::fesetround(mode);
    return sigma;
}

}  // namespace

bool CudaNRProfileNoise(CudaNRContext* ctx, const uchar4* src, int srcPitch, int width,
                        int height, float* estimate) {
    if (ctx == nullptr || src == nullptr || estimate == nullptr) return false;
    if (!HostPitchValid(srcPitch, width)) return false;
    if (!CudaNREnsureBuffers(ctx, width, height)) return false;  // it selects ctx's device, makes every buffer
    const std::size_t blocks = ctx->profileBlocks;
    const std::size_t slotBytes = blocks * sizeof(double);

    // The frame goes into the slot the pipeline fills with this same frame
    // next, so the two previous input frames stay intact.
    uchar4* slot = ctx->ring[ctx->ringIndex];
    if (dev::memcpy2DAsync(slot, ctx->pitchBytes, src, static_cast<std::size_t>(srcPitch),
                           static_cast<std::size_t>(width) * kBgraPixelBytes, static_cast<std::size_t>(height),
                           dev::CopyKind::HostToDevice, ctx->stream) != dev::kSuccess) {
        return false;
    }
    // Every block writes its own slot, so nothing is cleared first. Once the
    // upload is queued, no failure returns before it has run: the frame is
    // page-locked staging, read when the copy runs.
    launchProfile(ctx, slot, width, height);
    if (dev::getLastError() != dev::kSuccess) {
        dev::streamSynchronize(ctx->stream);
        return false;
    }

    double* sums = ctx->hostBlockTotals;
    double* weights = ctx->hostBlockTotals + blocks;
    const bool readBack =
        dev::memcpyAsync(sums, ctx->blockSums, slotBytes, dev::CopyKind::DeviceToHost, ctx->stream) ==
            dev::kSuccess &&
        dev::memcpyAsync(weights, ctx->blockWeights, slotBytes, dev::CopyKind::DeviceToHost, ctx->stream) ==
            dev::kSuccess;
    // Wait whatever happened: a queued read-back must not land in the buffer
    // after the context has replaced it. A failed wait has still waited.
    if (dev::streamSynchronize(ctx->stream) != dev::kSuccess || !readBack) return false;
    *estimate = estimateFromBlocks(sums, weights, blocks);
    return true;
}
