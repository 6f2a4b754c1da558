#include "host/settings.h"

#include <cstring>

void NRStoreRecommendedSettings(NRFilterData* fd) {
    NRStoreShared(fd->params.denoise, kNRDefaultDenoise);
    NRStoreShared(fd->params.temporal, kNRDefaultTemporal);
    NRStoreShared(fd->params.deblock, kNRDefaultDeblock);
    NRStoreShared(fd->params.sharpen, kNRDefaultSharpen);
    NRStoreShared(fd->params.stabilize, kNRDefaultStabilize);
    NRStoreShared(fd->params.sigmaY, 0.0f);
    NRStoreShared(fd->autoProfile, int32_t{1});
    NRStoreShared(fd->showFiltered, int32_t{1});
}

void EnsureDefaults(NRFilterData* fd) {
    if (!fd || NRLoadShared(fd->marker) == kNRMarker) return;
    fd->deviceOrdinal = 0;
    fd->gpu = nullptr;
    fd->frameCounter = 0;
    fd->lastProfiledFrame = kNRNeverProfiled;
    NRStoreRecommendedSettings(fd);
    NRStoreShared(fd->marker, kNRMarker);
}

void NRInitRecord(NRFilterData* fd) {
    std::memset(static_cast<void*>(fd), 0, sizeof *fd);
    fd->lastProfiledFrame = kNRNeverProfiled;
    NRStoreRecommendedSettings(fd);
    NRStoreShared(fd->marker, kNRMarker);
}

CudaNRParams NRSnapshotParams(NRFilterData* fd) {
    CudaNRParams p;
    p.denoise = NRLoadShared(fd->params.denoise);
    p.temporal = NRLoadShared(fd->params.temporal);
    p.deblock = NRLoadShared(fd->params.deblock);
    p.sharpen = NRLoadShared(fd->params.sharpen);
    p.stabilize = NRLoadShared(fd->params.stabilize);
    p.sigmaY = NRLoadShared(fd->params.sigmaY);
    return p;
}
