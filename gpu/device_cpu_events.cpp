// The CPU backend's timing events and page-locked allocation: what the
// measurement tools use (gpu/device_events.h). A unit of its own, so that a
// module, which calls none of it, never links it.
#include <atomic>
#include <chrono>
#include <limits>
#include <new>

#include "gpu/cuda_status.h"
#include "gpu/device_events.h"

namespace dev {

// Work is done when issued, so a record is the moment the event completes.
struct EventImpl {
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::rep kNotRecorded = std::numeric_limits<Clock::rep>::min();
    // Atomic so that a record on one thread and a read on another are no race.
    std::atomic<Clock::rep> ticks{kNotRecorded};
};

namespace {

constexpr Status kInvalidValue = cudrv::CUDA_ERROR_INVALID_VALUE, kOutOfMemory = cudrv::CUDA_ERROR_OUT_OF_MEMORY,
                 kInvalidHandle = cudrv::CUDA_ERROR_INVALID_HANDLE;

}  // namespace

Status eventCreate(Event* event) {
    if (event == nullptr) return kInvalidValue;
    *event = new (std::nothrow) EventImpl();
    return *event != nullptr ? kSuccess : kOutOfMemory;
}

Status eventRecord(Event event, Stream stream) {
    if (event == nullptr || stream == nullptr) return kInvalidHandle;
    event->ticks.store(EventImpl::Clock::now().time_since_epoch().count(), std::memory_order_release);
    return kSuccess;
}

Status eventSynchronize(Event event) { return event != nullptr ? kSuccess : kInvalidHandle; }

Status eventElapsedMs(float* ms, Event start, Event end) {
    if (ms == nullptr) return kInvalidValue;
    if (start == nullptr || end == nullptr) return kInvalidHandle;
    const auto from = start->ticks.load(std::memory_order_acquire);
    const auto to = end->ticks.load(std::memory_order_acquire);
    if (from == EventImpl::kNotRecorded || to == EventImpl::kNotRecorded) return kInvalidHandle;
    *ms = std::chrono::duration<float, std::milli>(EventImpl::Clock::duration(to - from)).count();
    return kSuccess;
}

Status eventDestroy(Event event) {
    if (event == nullptr) return kInvalidHandle;
    delete event;
    return kSuccess;
}

// Page-locked memory is what all memory is here: plain host memory.
Status hostAllocPageLocked(void** ptr, std::size_t bytes) {
    if (ptr == nullptr || bytes == 0) return kInvalidValue;
    *ptr = ::operator new(bytes, std::nothrow);
    return *ptr != nullptr ? kSuccess : kOutOfMemory;
}

Status hostFreePageLocked(void* ptr) {
    ::operator delete(ptr);
    return kSuccess;
}

}  // namespace dev
