// Timing events on a stream and page-locked host memory, used by measurement
// tools only (the filter never times itself, and stages frames in pageable
// memory). Both backends implement them.
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

}  // namespace dev
