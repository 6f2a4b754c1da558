// The settings: what each strength may hold, what a new instance starts with,
// how the dialog shows it; and the whole-record operations built on them. The
// dialog, vdhost and each frame's snapshot read these, and the profiling
// schedule's rule for sigmaY (gpu/profile_schedule.h); nothing restates them.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "gpu/profile_schedule.h"
#include "host/filter_data.h"

// One strength: its name (vdhost's option is --name), its field, the
// recommended value (a new instance's, and what the dialog's reset restores),
// the range the dialog keeps it in (0 to maximum), and what it does.
struct NRStrength {
    const char* name;
    float CudaNRParams::*field;
    float recommended;
    float maximum;
    const char* summary;
};

inline constexpr NRStrength kNRStrengths[] = {
    {"denoise", &CudaNRParams::denoise, 1.8f, 4.0f, "spatial denoise"},
    {"temporal", &CudaNRParams::temporal, 0.78f, 1.0f, "blend of the two previous frames"},
    {"deblock", &CudaNRParams::deblock, 1.25f, 2.0f, "softening of 8x8 block edges"},
    {"sharpen", &CudaNRParams::sharpen, 0.08f, 1.0f, "sharpening, capped by the noise"},
    {"stabilize", &CudaNRParams::stabilize, 0.2f, 1.0f, "pull toward the previous output"},
};
inline constexpr std::size_t kNRStrengthCount = std::size(kNRStrengths);

// Where one of the five fields stands in kNRStrengths.
constexpr std::size_t NRStrengthIndex(float CudaNRParams::*field) {
    for (std::size_t i = 0; i < kNRStrengthCount; ++i) {
        if (kNRStrengths[i].field == field) return i;
    }
    return 0;  // not reached: every strength field has an entry
}

constexpr const NRStrength& NRStrengthFor(float CudaNRParams::*field) {
    return kNRStrengths[NRStrengthIndex(field)];
}

// The switches a new instance starts with and the dialog's reset restores.
constexpr int32_t kNRRecommendedAutoProfile = 1;
constexpr int32_t kNRRecommendedShowFiltered = 1;

// The dialog's edit boxes and trackbars show each strength times this, as an
// integer; a trackbar runs from 0 to its strength's maximum so shown.
constexpr int kNRDialogScale = 100;

// A strength as the dialog shows it: scaled in single precision, rounded to
// the nearest integer (ties to even).
inline int NRStrengthToDialog(float value) {
    return static_cast<int>(std::lrintf(value * static_cast<float>(kNRDialogScale)));
}

// A number from the dialog as a strength, not yet brought into its range.
inline float NRStrengthFromDialog(int shown) {
    return static_cast<float>(shown) / static_cast<float>(kNRDialogScale);
}

// sigmaY before anything measured or set it. When a sigmaY counts as known,
// and what an unknown one becomes while automatic profiling is off, is the
// profiling schedule's rule (gpu/profile_schedule.h: CudaNRSigmaKnown,
// kCudaNRSigmaWithoutProfiling), which the dialog and vdhost follow too.
constexpr float kNRSigmaUnknown = 0.0f;
static_assert(kNRSigmaUnknown < kCudaNRSigmaKnown, "a new instance's noise level is unknown");

// Stores the five recommended strengths, sigmaY unknown and the recommended
// switches, each as a shared store.
void NRStoreRecommendedSettings(NRFilterData* fd);

// Re-initialises a record that lacks its marker; staging fields and dialogOpen
// are left as they are and nothing is allocated or released.
void EnsureDefaults(NRFilterData* fd);

// What the init callback does to a record: zero it whole, then the defaults.
void NRInitRecord(NRFilterData* fd);

// A strength as a frame uses it: brought into the dialog's range, a NaN the
// recommended value.
float NRConditionStrength(const NRStrength& strength, float value);

// The parameters for one frame: each field read whole while the dialog may be
// writing others, then conditioned (the record is the host's memory and may
// hold anything): strengths as above, a non-finite sigmaY unknown. The record
// itself is not changed.
CudaNRParams NRSnapshotParams(NRFilterData* fd);
