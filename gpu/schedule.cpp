#include <algorithm>

#include "gpu/profile_schedule.h"

namespace {

constexpr std::memory_order kRelaxed = std::memory_order_relaxed;

// Counters wrap around instead of overflowing.
int32_t wrappingAdd(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
int32_t wrappingSub(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

float sigmaFromEstimate(float estimate) {
    float scaled = estimate * 1.35f;  // a product and a sum, each rounded (no contraction)
    float x = scaled + 0.15f;
    return x < kCudaNRSigmaMin ? kCudaNRSigmaMin : std::min(x, kCudaNRSigmaMax);
}

}  // namespace

void CudaNRApplyProfileSchedule(CudaNRContext* ctx, const CudaNRProfileState& state, const uchar4* frame,
                                int pitch, int width, int height) {
    if (state.autoProfile.load(kRelaxed) == 0) {
        CudaNRSettleSigmaWithoutProfiling(state.sigmaY);
        return;
    }
    state.frameCounter = wrappingAdd(state.frameCounter, 1);
    const bool due = !CudaNRSigmaKnown(state.sigmaY.load(kRelaxed)) ||
                     wrappingSub(state.frameCounter, state.lastProfiledFrame) >= kCudaNRProfileInterval;
    if (!due) return;
    float estimate = 0.0f;
    if (CudaNRProfileNoise(ctx, frame, pitch, width, height, &estimate)) {
        state.lastProfiledFrame = state.frameCounter;
        state.sigmaY.store(sigmaFromEstimate(estimate), kRelaxed);
    } else if (!CudaNRSigmaKnown(state.sigmaY.load(kRelaxed))) {
        state.sigmaY.store(kCudaNRSigmaAfterFailure, kRelaxed);
    }
}
