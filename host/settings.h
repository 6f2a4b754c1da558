// The instance record's defaults, the ranges the dialog keeps the settings in,
// and whole-record operations.
#pragma once
#include <cmath>
#include <cstdint>

#include "gpu/profile_schedule.h"  // when sigmaY is known, and what it is without profiling
#include "host/filter_data.h"

// One strength the dialog edits: its field, the recommended value (also what
// the dialog's reset restores) and the range the dialog keeps it in, 0 to maximum.
struct NRStrength {
    float CudaNRParams::*field;
    float recommended;
    float maximum;
};

inline constexpr NRStrength kNRStrengths[] = {
    {&CudaNRParams::denoise, 1.8f, 4.0f},
    {&CudaNRParams::temporal, 0.78f, 1.0f},
    {&CudaNRParams::deblock, 1.25f, 2.0f},
    {&CudaNRParams::sharpen, 0.08f, 1.0f},
    {&CudaNRParams::stabilize, 0.2f, 1.0f},
};

// The entry of kNRStrengths for one of the five fields.
constexpr const NRStrength& NRStrengthFor(float CudaNRParams::*field) {
    for (const NRStrength& s : kNRStrengths) {
        if (s.field == field) return s;
    }
    return kNRStrengths[0];  // not reached: every strength field has an entry
}

// Stores the five recommended strengths, sigmaY 0 (unknown), autoProfile 1 and
// showFiltered 1, each as a shared store.
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
// hold anything): strengths as above, a non-finite sigmaY unknown (0). The
// record itself is not changed.
CudaNRParams NRSnapshotParams(NRFilterData* fd);
