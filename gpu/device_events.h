// Timing events on a stream, used by measurement tools only (the filter never
// times itself). Both backends implement them.
#pragma once
#include "gpu/device.h"

namespace dev {

using Event = struct EventImpl*;

Status eventCreate(Event* event);
Status eventRecord(Event event, Stream stream);
Status eventSynchronize(Event event);
// Milliseconds between two recorded, completed events.
Status eventElapsedMs(float* ms, Event start, Event end);
Status eventDestroy(Event event);

}  // namespace dev
