// The CUDA backend's timing events and page-locked allocation: what the
// measurement tools use (gpu/device_events.h). A unit of its own, so that a
// module, which calls none of it, never links it.
#include "gpu/cuda_driver_api.h"
#include "gpu/device_cuda_calls.h"
#include "gpu/device_events.h"

namespace dev {

using namespace cudrv;
using cudacalls::CuStream;
using cudacalls::InDeviceContext;
using cudacalls::WithOptional;

namespace {

CUevent cuEvent(Event e) { return reinterpret_cast<CUevent>(e); }

}  // namespace

Status hostAllocPageLocked(void** ptr, std::size_t bytes) {
    if (ptr == nullptr) return CUDA_ERROR_INVALID_VALUE;
    return WithOptional([](const Driver& d) { return d.memAllocHost; },
                        [&](const Driver& d) { return d.memAllocHost(ptr, bytes); });
}

Status hostFreePageLocked(void* ptr) {
    if (ptr == nullptr) return CUDA_SUCCESS;
    return WithOptional([](const Driver& d) { return d.memFreeHost; },
                        [&](const Driver& d) { return d.memFreeHost(ptr); });
}

Status eventCreate(Event* event) {
    if (event == nullptr) return CUDA_ERROR_INVALID_VALUE;
    CUevent e = nullptr;
    Status s = InDeviceContext([&](const Driver& d) { return d.eventCreate(&e, CU_EVENT_DEFAULT); });
    if (s == CUDA_SUCCESS) *event = reinterpret_cast<Event>(e);
    return s;
}

Status eventRecord(Event event, Stream stream) {
    return InDeviceContext([&](const Driver& d) { return d.eventRecord(cuEvent(event), CuStream(stream)); });
}

Status eventSynchronize(Event event) {
    return InDeviceContext([&](const Driver& d) { return d.eventSynchronize(cuEvent(event)); });
}

Status eventElapsedMs(float* ms, Event start, Event end) {
    if (ms == nullptr) return CUDA_ERROR_INVALID_VALUE;
    return WithOptional([](const Driver& d) { return d.eventElapsedTime; },
                        [&](const Driver& d) { return d.eventElapsedTime(ms, cuEvent(start), cuEvent(end)); });
}

Status eventDestroy(Event event) {
    return InDeviceContext([&](const Driver& d) { return d.eventDestroy(cuEvent(event)); });
}

}  // namespace dev
