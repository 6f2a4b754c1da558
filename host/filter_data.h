// The per-instance record the host allocates with the size we declare. A plain,
// zero-initialisable struct: fields shared between the dialog thread and the
// frame thread are plain 32-bit values accessed through std::atomic_ref.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "kernels/params.h"

struct CudaNRContext;

constexpr uint32_t kNRMarker = 0x514C4D52u;  // "QLMR" read big-endian
constexpr int32_t kNRNeverProfiled = -99999;

struct NRFilterData {
    uint32_t marker;
    int32_t deviceOrdinal;
    CudaNRContext* gpu;
    CudaNRParams params;
    int32_t autoProfile;
    int32_t frameCounter;
    int32_t lastProfiledFrame;
    int32_t showFiltered;
    int32_t dialogOpen;
    uint8_t* stageIn;
    uint8_t* stageOut;
    int32_t stageInWidth;
    int32_t stageInHeight;
    int32_t stageInPitch;
    int32_t stageOutWidth;
    int32_t stageOutHeight;
    int32_t stageOutPitch;
};

static_assert(offsetof(NRFilterData, marker) == 0);
static_assert(offsetof(NRFilterData, deviceOrdinal) == 4);
static_assert(offsetof(NRFilterData, gpu) == 8);
static_assert(offsetof(NRFilterData, params) == 16);
static_assert(offsetof(NRFilterData, params) + offsetof(CudaNRParams, sigmaY) == 36);
static_assert(offsetof(NRFilterData, autoProfile) == 40);
static_assert(offsetof(NRFilterData, frameCounter) == 44);
static_assert(offsetof(NRFilterData, lastProfiledFrame) == 48);
static_assert(offsetof(NRFilterData, showFiltered) == 52);
static_assert(offsetof(NRFilterData, dialogOpen) == 56);
static_assert(offsetof(NRFilterData, stageIn) == 64);
static_assert(offsetof(NRFilterData, stageOut) == 72);
static_assert(offsetof(NRFilterData, stageInWidth) == 80);
static_assert(offsetof(NRFilterData, stageInHeight) == 84);
static_assert(offsetof(NRFilterData, stageInPitch) == 88);
static_assert(offsetof(NRFilterData, stageOutWidth) == 92);
static_assert(offsetof(NRFilterData, stageOutHeight) == 96);
static_assert(offsetof(NRFilterData, stageOutPitch) == 100);
static_assert(sizeof(NRFilterData) == 104);

// Fields the dialog thread and the frame thread share are read and written
// whole, relaxed: no ordering between them is needed.
template <typename T>
inline T NRLoadShared(T& field) {
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}

template <typename T>
inline void NRStoreShared(T& field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}
