// Timing events on a stream and page-locked host memory. The measurement
// tools time and allocate with them; the filter registers its staging blocks
// so that uploads and downloads are direct transfers. Both backends implement
// them; a driver that lacks one answers CUDA_ERROR_NOT_SUPPORTED.
#pragma once
#include <cstddef>

#include "gpu/device.h"

namespace dev {

using Event = struct EventImpl*;

Status eventCreate(Event* event);
Status eventRecord(Event event, Stream stream);
Status eventSynchronize(Event event);
// Milliseconds between two recorded, completed events.
Status eventElapsedMs(float* ms, Event start, Event end);
Status eventDestroy(Event event);

// Host memory the device copies from and to directly, on the calling thread's
// device (which must have a stream); freed before that device's last stream goes.
Status hostAllocPageLocked(void** ptr, std::size_t bytes);
Status hostFreePageLocked(void* ptr);

// Page-locks host memory the caller allocated, for every context, so that
// copies from and to it are direct transfers; unregister before freeing it.
// On failure the memory stays as it was, pageable, and copies still work.
Status hostRegister(void* ptr, std::size_t bytes);
Status hostUnregister(void* ptr);

}  // namespace dev
