// Why an instance's frames pass through unfiltered: one line beginning
// "Quelmar: " on the debug output, written once per instance with its first
// reason. The module keeps only that the instance has written it, keyed by the
// record's address (the record's layout is the host's). Neither the host nor
// the dialog sees any of it. Thread-safe; the lock is taken last and never
// held while writing.
#pragma once
#include <cstdint>
#include <string>

#include "gpu/cudanr.h"
#include "host/filter_data.h"

enum class NRRefusal {
    Depth,               // a frame format other than BGRA and YUY2
    Unaddressable,       // a bitmap whose rows cannot be located
    DestinationSmaller,  // a destination smaller than the source
    RowsOverlap,         // a pitch shorter than a row
    TooWide,             // a frame wider than a staging buffer can be
    StagingMemory,       // no host memory for the staging buffers
    Gpu,                 // a GPU operation failed (gpu says where)
};

struct NRPassThrough {
    NRRefusal refusal = NRRefusal::Gpu;
    int32_t depth = 0;
    int32_t width = 0;
    int32_t height = 0;
    CudaNRFailure gpu{};
};

// A frame of the instance passed through for this reason: the instance's
// first one is written out.
void NRRecordPassThrough(const NRFilterData* fd, const NRPassThrough& why);

// Init and deinit: the instance at this address starts afresh, or is gone.
void NRForgetPassThrough(const NRFilterData* fd);

// Module deinit.
void NRForgetAllPassThroughs();
