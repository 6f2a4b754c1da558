#include "host/settings.h"

#include <algorithm>
#include <cstring>

void NRStoreRecommendedSettings(NRFilterData* fd) {
    for (const NRStrength& s : kNRStrengths) NRStoreShared(fd->params.*s.field, s.recommended);
    NRStoreShared(fd->params.sigmaY, kNRSigmaUnknown);
    NRStoreShared(fd->autoProfile, kNRRecommendedAutoProfile);
    NRStoreShared(fd->showFiltered, kNRRecommendedShowFiltered);
}

namespace {

// What a record holds when it starts: no GPU, no frames seen, never profiled,
// the recommended settings, then the marker. Staging fields and dialogOpen are
// the caller's to set.
void NRApplyDefaults(NRFilterData* fd) {
    fd->deviceOrdinal = 0;
    fd->gpu = nullptr;
    fd->frameCounter = 0;
    fd->lastProfiledFrame = kNRNeverProfiled;
    NRStoreRecommendedSettings(fd);
    NRStoreShared(fd->marker, kNRMarker);
}

}  // namespace

void EnsureDefaults(NRFilterData* fd) {
    if (!fd || NRLoadShared(fd->marker) == kNRMarker) return;
    NRApplyDefaults(fd);
}

void NRInitRecord(NRFilterData* fd) {
    std::memset(static_cast<void*>(fd), 0, sizeof *fd);
    NRApplyDefaults(fd);
}

float NRConditionStrength(const NRStrength& strength, float value) {
    if (std::isnan(value)) return strength.recommended;
    return std::clamp(value, 0.0f, strength.maximum);
}

CudaNRParams NRSnapshotParams(NRFilterData* fd) {
    CudaNRParams p;
    for (const NRStrength& s : kNRStrengths)
        p.*s.field = NRConditionStrength(s, NRLoadShared(fd->params.*s.field));
    const float sigma = NRLoadShared(fd->params.sigmaY);
    p.sigmaY = std::isfinite(sigma) ? sigma : kNRSigmaUnknown;
    return p;
}
