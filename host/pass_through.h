// Why an instance's frames pass through unfiltered. The module keeps the
// reason for each instance's most recent pass-through itself, keyed by the
// record's address (the record's layout is the host's), and writes it once
// per instance to the debug output as one line beginning "Quelmar: ".
// Neither the host nor the dialog sees any of it. Thread-safe; the lock is
// taken last and never held while writing.
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
    friend bool operator==(const NRPassThrough&, const NRPassThrough&) = default;
};

// A frame of the instance passed through for this reason. The words are made
// when the reason changes; the instance's first one is written out.
void NRRecordPassThrough(const NRFilterData* fd, const NRPassThrough& why);

// The words of the instance's most recent reason; empty when it has none.
std::string NRPassThroughReason(const NRFilterData* fd);

// Init and deinit: the instance at this address starts afresh, or is gone.
void NRForgetPassThrough(const NRFilterData* fd);

// Module deinit.
void NRForgetAllPassThroughs();
