// The noise-profiling schedule: profile the first frame that reaches the GPU,
// then one frame in kCudaNRProfileInterval, and keep sigmaY usable whenever no
// estimate is available. It works on fields the caller keeps (the module keeps
// them in its instance record), handed over by reference.
#pragma once
#include <atomic>
#include <cmath>
#include <cstdint>

#include "gpu/cudanr.h"

// sigmaY is unknown below this, and when it is not a finite number.
constexpr float kCudaNRSigmaKnown = 0.5f;
// What an unknown sigmaY becomes while automatic profiling is off.
constexpr float kCudaNRSigmaWithoutProfiling = 4.0f;
// What an unknown sigmaY becomes when profiling fails.
constexpr float kCudaNRSigmaAfterFailure = 6.0f;
constexpr int32_t kCudaNRProfileInterval = 48;

// The range a measured sigmaY is kept in.
constexpr float kCudaNRSigmaMin = 0.8f;
constexpr float kCudaNRSigmaMax = 40.0f;
static_assert(kCudaNRSigmaMin >= kCudaNRSigmaKnown, "a measured sigmaY counts as known");

inline bool CudaNRSigmaKnown(float sigma) { return std::isfinite(sigma) && sigma >= kCudaNRSigmaKnown; }

// The rule while automatic profiling is off, for the schedule and the dialog
// alike: an unknown sigmaY becomes kCudaNRSigmaWithoutProfiling, a known one
// stays. Read and written whole, relaxed, as another thread may write it.
inline void CudaNRSettleSigmaWithoutProfiling(std::atomic_ref<float> sigmaY) {
    if (!CudaNRSigmaKnown(sigmaY.load(std::memory_order_relaxed)))
        sigmaY.store(kCudaNRSigmaWithoutProfiling, std::memory_order_relaxed);
}

// The schedule's state. sigmaY and autoProfile may be written by another
// thread (the settings dialog's) while frames run: they are read and written
// whole, relaxed (no ordering with other fields is needed).
struct CudaNRProfileState {
    std::atomic_ref<float> sigmaY;
    std::atomic_ref<int32_t> autoProfile;  // 0: profiling off
    int32_t& frameCounter;                 // frames seen with profiling on; wraps around
    int32_t& lastProfiledFrame;            // frameCounter when the last estimate was made
};

// Applied to every frame that takes the GPU path after a successful
// CudaNREnsureBuffers and before CudaNRProcessFrame: advances frameCounter,
// profiles `frame` (host memory, rows `pitch` bytes apart) when due and keeps
// sigmaY usable.
void CudaNRApplyProfileSchedule(CudaNRContext* ctx, const CudaNRProfileState& state, const uchar4* frame,
                                int pitch, int width, int height);
