// The instance record's defaults and whole-record operations.
#pragma once
#include <cstdint>

#include "host/filter_data.h"

// The recommended strengths, also restored by the dialog's reset.
constexpr float kNRDefaultDenoise = 1.8f;
constexpr float kNRDefaultTemporal = 0.78f;
constexpr float kNRDefaultDeblock = 1.25f;
constexpr float kNRDefaultSharpen = 0.08f;
constexpr float kNRDefaultStabilize = 0.2f;

// Stores the five recommended strengths, sigmaY 0 (unknown), autoProfile 1 and
// showFiltered 1, each as a shared store.
void NRStoreRecommendedSettings(NRFilterData* fd);

// Re-initialises a record that lacks its marker; staging fields and dialogOpen
// are left as they are and nothing is allocated or released.
void EnsureDefaults(NRFilterData* fd);

// What the init callback does to a record: zero it whole, then the defaults.
void NRInitRecord(NRFilterData* fd);

// A consistent-enough copy of the parameters for one frame: each field is
// read whole while the dialog may be writing others.
CudaNRParams NRSnapshotParams(NRFilterData* fd);
