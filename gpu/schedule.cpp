// The noise-profiling schedule: profile the first GPU frame, then one in 48, and
// keep sigmaY usable whenever no estimate is available.
#include <algorithm>
#include <cstdint>

#include "gpu/cudanr.h"
#include "host/filter_data.h"
#include "host/settings.h"

namespace {

constexpr int32_t kProfileInterval = 48;
constexpr float kSigmaAfterFailure = 6.0f;

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
    return x < 0.8f ? 0.8f : std::min(x, 40.0f);
}

}  // namespace

void ApplyProfileSchedule(NRFilterData* fd, int width, int height) {
    if (fd == nullptr) return;
    // The dialog thread writes sigmaY and autoProfile while frames run.
    float& sigma = fd->params.sigmaY;
    if (NRLoadShared(fd->autoProfile) == 0) {
        if (!NRSigmaKnown(NRLoadShared(sigma))) NRStoreShared(sigma, kNRSigmaWithoutProfiling);
        return;
    }
    fd->frameCounter = wrappingAdd(fd->frameCounter, 1);
    bool due = !NRSigmaKnown(NRLoadShared(sigma)) ||
               wrappingSub(fd->frameCounter, fd->lastProfiledFrame) >= kProfileInterval;
    if (!due) return;
    float estimate = 0.0f;
    if (CudaNRProfileNoise(fd->gpu, reinterpret_cast<const uchar4*>(fd->stageIn), fd->stageInPitch,
                           width, height, &estimate)) {
        fd->lastProfiledFrame = fd->frameCounter;
        NRStoreShared(sigma, sigmaFromEstimate(estimate));
    } else if (!NRSigmaKnown(NRLoadShared(sigma))) {
        NRStoreShared(sigma, kSigmaAfterFailure);
    }
}
