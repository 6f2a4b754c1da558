// Initialisation, the emulated devices, primary contexts, the per-thread
// context stack, streams and events.
#include <chrono>
#include <cstring>

#include "tests/simdriver/state.h"

using namespace sim;

namespace {

// The primary context of a visible device ordinal, or null.
Context* primaryOf(Driver& d, CUdevice device) {
    if (!d.initialised || device < 0 || static_cast<std::size_t>(device) >= d.primaries.size()) {
        return nullptr;
    }
    return d.primaries[static_cast<std::size_t>(device)].get();
}

const DeviceModel& modelOf(const Driver& d, CUdevice device) {
    return d.machine.devices[static_cast<std::size_t>(d.visible[static_cast<std::size_t>(device)])];
}

bool onThisThread(Driver& d, const Context* c) {
    for (const Context* s : threadStack(d)) {
        if (s == c) return true;
    }
    return false;
}

double nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// Scheduling (0 auto, 1 spin, 2 yield, 4 blocking sync) and the other flags a
// primary context can take.
bool validFlags(unsigned flags) {
    const unsigned sched = flags & CU_CTX_SCHED_MASK;
    return (sched == 0 || sched == 1 || sched == 2 || sched == 4) && (flags & ~0x3Fu) == 0;
}

}  // namespace

SIM_EXPORT CUresult CUDAAPI cuInit(unsigned int flags) {
    SIM_ENTER("cuInit");
    if (flags != 0) return CUDA_ERROR_INVALID_VALUE;
    if (d.initialised) return CUDA_SUCCESS;
    d.visible.clear();
    std::string unknown;
    for (std::size_t i = 0; i < d.machine.devices.size(); ++i) {
        if (DriverLists(d.machine.driver, d.machine.devices[i])) {
            d.visible.push_back(static_cast<int>(i));
        } else {
            unknown += (unknown.empty() ? "" : ", ") + DeviceText(d.machine.devices[i]);
        }
    }
    if (!unknown.empty()) {
        d.lastLoad = "driver " + std::to_string(d.machine.driver.branch) + "." +
                     std::to_string(d.machine.driver.build) + " does not list " + unknown + ": not enumerated";
    }
    if (d.visible.empty()) return CUDA_ERROR_NO_DEVICE;
    while (d.primaries.size() < d.visible.size()) {
        d.primaries.push_back(std::make_unique<Context>());
        d.primaries.back()->device = static_cast<int>(d.primaries.size() - 1);
    }
    d.initialised = true;
    return CUDA_SUCCESS;
}

SIM_EXPORT CUresult CUDAAPI cuDriverGetVersion(int* version) {
    SIM_ENTER("cuDriverGetVersion");
    if (version == nullptr) return CUDA_ERROR_INVALID_VALUE;
    *version = DriverApiVersion(d.machine.driver);
    return CUDA_SUCCESS;
}

SIM_EXPORT CUresult CUDAAPI cuDeviceGetCount(int* count) {
    SIM_ENTER("cuDeviceGetCount");
    if (count == nullptr) return CUDA_ERROR_INVALID_VALUE;
    if (!d.initialised) return violation(d, entry, "called before cuInit succeeded", CUDA_ERROR_NOT_INITIALIZED);
    *count = static_cast<int>(d.visible.size());
    return CUDA_SUCCESS;
}

SIM_EXPORT CUresult CUDAAPI cuDeviceGet(CUdevice* device, int ordinal) {
    SIM_ENTER("cuDeviceGet");
    if (device == nullptr) return CUDA_ERROR_INVALID_VALUE;
    if (primaryOf(d, ordinal) == nullptr) return CUDA_ERROR_INVALID_DEVICE;
    *device = ordinal;
    return CUDA_SUCCESS;
}

SIM_EXPORT CUresult CUDAAPI cuDeviceGetName(char* name, int length, CUdevice device) {
    SIM_ENTER("cuDeviceGetName");
    if (name == nullptr || length <= 0) return CUDA_ERROR_INVALID_VALUE;
    if (primaryOf(d, device) == nullptr) return CUDA_ERROR_INVALID_DEVICE;
    const std::string& text = modelOf(d, device).name;
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(length) - 1);
    std::memcpy(name, text.data(), n);
    name[n] = '\0';
    return CUDA_SUCCESS;
}

SIM_EXPORT CUresult CUDAAPI cuDeviceTotalMem(size_t* bytes, CUdevice device) {
    SIM_ENTER("cuDeviceTotalMem_v2");
    if (bytes == nullptr) return CUDA_ERROR_INVALID_VALUE;
    if (primaryOf(d, device) == nullptr) return CUDA_ERROR_INVALID_DEVICE;
    *bytes = static_cast<size_t>(modelOf(d, device).memoryBytes);
    return CUDA_SUCCESS;
}

SIM_EXPORT CUresult CUDAAPI cuDeviceGetAttribute(int* value, CUdevice_attribute attribute,
                                                 CUdevice device) {
    SIM_ENTER("cuDeviceGetAttribute");
    if (value == nullptr) return CUDA_ERROR_INVALID_VALUE;
    if (primaryOf(d, device) == nullptr) return CUDA_ERROR_INVALID_DEVICE;
    const int cc = modelOf(d, device).cc;
    switch (attribute) {
        case CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR: *value = cc / 10; return CUDA_SUCCESS;
        case CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR: *value = cc % 10; return CUDA_SUCCESS;
        case CU_DEVICE_ATTRIBUTE_MAX_THREADS_PER_BLOCK: *value = 1024; return CUDA_SUCCESS;
        case CU_DEVICE_ATTRIBUTE_MAX_SHARED_MEMORY_PER_BLOCK: *value = 48 * 1024; return CUDA_SUCCESS;
        case CU_DEVICE_ATTRIBUTE_MAX_PITCH: *value = 2147483647; return CUDA_SUCCESS;
        default: return CUDA_ERROR_INVALID_VALUE;  // not emulated
    }
}

SIM_EXPORT CUresult CUDAAPI cuDevicePrimaryCtxGetState(CUdevice device, unsigned int* flags,
                                                       int* active) {
    SIM_ENTER("cuDevicePrimaryCtxGetState");
    Context* c = primaryOf(d, device);
    if (c == nullptr) return CUDA_ERROR_INVALID_DEVICE;
    if (flags == nullptr || active == nullptr) return CUDA_ERROR_INVALID_VALUE;
    *flags = c->flags;
    *active = c->retains > 0;
    return CUDA_SUCCESS;
}

// Changing the flags of a context another user already runs would change its
// behaviour behind its back: refused here, where a real driver may allow it.
SIM_EXPORT CUresult CUDAAPI cuDevicePrimaryCtxSetFlags(CUdevice device, unsigned int flags) {
    SIM_ENTER("cuDevicePrimaryCtxSetFlags_v2");
    Context* c = primaryOf(d, device);
    if (c == nullptr) return CUDA_ERROR_INVALID_DEVICE;
    if (!validFlags(flags)) return CUDA_ERROR_INVALID_VALUE;
    if (c->retains > 0) {
        return violation(d, entry, "flags of an active primary context changed",
                         CUDA_ERROR_PRIMARY_CONTEXT_ACTIVE);
    }
    c->flags = flags;
    return CUDA_SUCCESS;
}

SIM_EXPORT CUresult CUDAAPI cuDevicePrimaryCtxRetain(CUcontext* context, CUdevice device) {
    SIM_ENTER("cuDevicePrimaryCtxRetain");
    Context* c = primaryOf(d, device);
    if (c == nullptr) return CUDA_ERROR_INVALID_DEVICE;
    if (context == nullptr) return CUDA_ERROR_INVALID_VALUE;
    ++c->retains;
    *context = reinterpret_cast<CUcontext>(c);
    return CUDA_SUCCESS;
}

SIM_EXPORT CUresult CUDAAPI cuDevicePrimaryCtxRelease(CUdevice device) {
    SIM_ENTER("cuDevicePrimaryCtxRelease_v2");
    Context* c = primaryOf(d, device);
    if (c == nullptr) return CUDA_ERROR_INVALID_DEVICE;
    if (c->retains == 0) {
        return violation(d, entry, "released more often than retained", CUDA_ERROR_INVALID_CONTEXT);
    }
    if (--c->retains > 0) return CUDA_SUCCESS;
    if (onThisThread(d, c)) violation(d, entry, "the last release while the context is current", CUDA_SUCCESS);
    reclaimContext(d, c, entry);
    return CUDA_SUCCESS;
}

SIM_EXPORT CUresult CUDAAPI cuCtxPushCurrent(CUcontext context) {
    SIM_ENTER("cuCtxPushCurrent_v2");
    auto* c = reinterpret_cast<Context*>(context);
    if (!isActive(d, c)) return violation(d, entry, "not an active context", CUDA_ERROR_INVALID_CONTEXT);
    threadStack(d).push_back(c);
    return CUDA_SUCCESS;
}

SIM_EXPORT CUresult CUDAAPI cuCtxPopCurrent(CUcontext* context) {
    SIM_ENTER("cuCtxPopCurrent_v2");
    std::vector<Context*>& stack = threadStack(d);
    if (stack.empty()) return violation(d, entry, "no context to pop", CUDA_ERROR_INVALID_CONTEXT);
    if (context != nullptr) *context = reinterpret_cast<CUcontext>(stack.back());
    stack.pop_back();
    return CUDA_SUCCESS;
}

SIM_EXPORT CUresult CUDAAPI cuCtxGetCurrent(CUcontext* context) {
    SIM_ENTER("cuCtxGetCurrent");
    if (context == nullptr) return CUDA_ERROR_INVALID_VALUE;
    *context = reinterpret_cast<CUcontext>(currentContext(d));
    return CUDA_SUCCESS;
}

SIM_EXPORT CUresult CUDAAPI cuCtxSetCurrent(CUcontext context) {
    SIM_ENTER("cuCtxSetCurrent");
    auto* c = reinterpret_cast<Context*>(context);
    std::vector<Context*>& stack = threadStack(d);
    if (c == nullptr) {
        if (!stack.empty()) stack.pop_back();
        return CUDA_SUCCESS;
    }
    if (!isActive(d, c)) return violation(d, entry, "not an active context", CUDA_ERROR_INVALID_CONTEXT);
    if (stack.empty()) stack.push_back(c);
    stack.back() = c;
    return CUDA_SUCCESS;
}

// The filter's streams must not wait for other users' work on the legacy
// default stream: a blocking stream is refused.
SIM_EXPORT CUresult CUDAAPI cuStreamCreate(CUstream* stream, unsigned int flags) {
    SIM_ENTER_IN_CONTEXT("cuStreamCreate");
    if (stream == nullptr) return CUDA_ERROR_INVALID_VALUE;
    if (flags != CU_STREAM_NON_BLOCKING) {
        return violation(d, entry, "a stream that synchronises with the default stream",
                         CUDA_ERROR_INVALID_VALUE);
    }
    auto* s = new Stream();
    s->context = c;
    d.streams.insert(s);
    *stream = reinterpret_cast<CUstream>(s);
    return CUDA_SUCCESS;
}

SIM_EXPORT CUresult CUDAAPI cuStreamSynchronize(CUstream stream) {
    SIM_ENTER_IN_CONTEXT("cuStreamSynchronize");
    Stream* s = requireStream(d, entry, stream, c);
    return s == nullptr ? CUDA_ERROR_INVALID_HANDLE : synchronised(d, runQueue(s));
}

// Queued work still completes, as on a GPU, before the stream goes.
SIM_EXPORT CUresult CUDAAPI cuStreamDestroy(CUstream stream) {
    SIM_ENTER_IN_CONTEXT("cuStreamDestroy_v2");
    Stream* s = requireStream(d, entry, stream, c);
    if (s == nullptr) return CUDA_ERROR_INVALID_HANDLE;
    runQueue(s);
    d.streams.erase(s);
    for (Event* e : d.events) {
        if (e->stream == s) e->stream = nullptr;
    }
    delete s;
    return CUDA_SUCCESS;
}

SIM_EXPORT CUresult CUDAAPI cuEventCreate(CUevent* event, unsigned int flags) {
    SIM_ENTER_IN_CONTEXT("cuEventCreate");
    constexpr unsigned kKnown = CU_EVENT_BLOCKING_SYNC | CU_EVENT_DISABLE_TIMING;
    if (event == nullptr || (flags & ~kKnown) != 0) return CUDA_ERROR_INVALID_VALUE;
    auto* e = new Event();
    e->context = c;
    e->timing = (flags & CU_EVENT_DISABLE_TIMING) == 0;
    d.events.insert(e);
    *event = reinterpret_cast<CUevent>(e);
    return CUDA_SUCCESS;
}

namespace {

Event* requireEvent(Driver& d, const char* entry, CUevent handle, Context* c) {
    return requireOwned(d, entry, d.events, handle, c, "event");
}

}  // namespace

SIM_EXPORT CUresult CUDAAPI cuEventRecord(CUevent event, CUstream stream) {
    SIM_ENTER_IN_CONTEXT("cuEventRecord");
    Event* e = requireEvent(d, entry, event, c);
    Stream* s = e ? requireStream(d, entry, stream, c) : nullptr;
    if (s == nullptr) return CUDA_ERROR_INVALID_HANDLE;
    e->stream = s;
    e->done = false;
    s->queue.push_back([e] {
        e->whenMs = nowMs();
        e->done = true;
        return CUDA_SUCCESS;
    });
    return CUDA_SUCCESS;
}

SIM_EXPORT CUresult CUDAAPI cuEventSynchronize(CUevent event) {
    SIM_ENTER_IN_CONTEXT("cuEventSynchronize");
    Event* e = requireEvent(d, entry, event, c);
    if (e == nullptr) return CUDA_ERROR_INVALID_HANDLE;
    CUresult r = CUDA_SUCCESS;
    if (!e->done && e->stream != nullptr) r = runQueue(e->stream);
    return synchronised(d, r);
}

namespace {

CUresult elapsedTime(Driver& d, const char* entry, Context* c, float* ms, CUevent start, CUevent end) {
    Event* a = requireEvent(d, entry, start, c);
    Event* b = a ? requireEvent(d, entry, end, c) : nullptr;
    if (b == nullptr || !a->timing || !b->timing) return CUDA_ERROR_INVALID_HANDLE;
    if (ms == nullptr) return CUDA_ERROR_INVALID_VALUE;
    if (!a->done || !b->done) return CUDA_ERROR_NOT_READY;
    *ms = static_cast<float>(b->whenMs - a->whenMs);
    return CUDA_SUCCESS;
}

}  // namespace

SIM_EXPORT CUresult CUDAAPI cuEventElapsedTime(float* ms, CUevent start, CUevent end) {
    SIM_ENTER_IN_CONTEXT("cuEventElapsedTime_v2");
    return elapsedTime(d, entry, c, ms, start, end);
}

// Drivers still export the original entry point beside the _v2 that CUDA 13's
// cuda.h names; the backend uses the original, which every driver has.
#undef cuEventElapsedTime
SIM_EXPORT CUresult CUDAAPI cuEventElapsedTime(float* ms, CUevent start, CUevent end) {
    SIM_ENTER_IN_CONTEXT("cuEventElapsedTime");
    return elapsedTime(d, entry, c, ms, start, end);
}

SIM_EXPORT CUresult CUDAAPI cuEventDestroy(CUevent event) {
    SIM_ENTER_IN_CONTEXT("cuEventDestroy_v2");
    Event* e = requireEvent(d, entry, event, c);
    if (e == nullptr) return CUDA_ERROR_INVALID_HANDLE;
    // A record still queued points at the event: let it run first.
    if (!e->done && e->stream != nullptr) e->stream->pending = runQueue(e->stream);
    d.events.erase(e);
    delete e;
    return CUDA_SUCCESS;
}
