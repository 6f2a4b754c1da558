// CUDA device backend over the driver API, loaded at run time: nothing from the
// CUDA toolkit is needed to build or to load the module. Where the driver
// library is absent or reports no device, getDeviceCount fails and every other
// operation fails cleanly.
//
// The model is the runtime's: setDevice chooses the calling thread's device,
// and every operation runs in that device's primary context. The context is
// pushed around each driver call and popped after it, so a host thread's
// current context is never changed behind its back. The primary context is
// retained while streams exist on its device (a filter context owns one) and
// released, with the kernels' module, when the last one is destroyed.
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "gpu/cuda_driver_api.h"
#include "gpu/cuda_status.h"
#include "gpu/device.h"
#include "gpu/device_cuda_calls.h"
#include "gpu/device_diagnostics.h"
#include "gpu/device_events.h"
#include "kernels/device_images.h"
#include "platform/dynamic_library.h"

namespace dev {
namespace {

using namespace cudrv;

enum Kernel { kEstimateMV16, kProcess, kProfileAuto, kKernelCount };
constexpr const char* kKernelNames[kKernelCount] = {"kEstimateMV16", "kProcess", "kProfileAuto"};

// A stream and the event a wait for its work sleeps on: created for blocking
// synchronisation, so that the waiting thread yields its core without our
// touching the scheduling flags of the primary context, which is shared.
struct StreamRecord {
    CUstream stream = nullptr;
    CUevent done = nullptr;
};

struct DeviceState {
    CUdevice handle = 0;
    CUcontext context = nullptr;  // the retained primary context while streams exist
    int streams = 0;                  // counted before creation, so a create in flight keeps the context
    std::vector<StreamRecord> handles;  // the streams made here and not yet destroyed
    // The first fault that the driver makes sticky: no further work can be
    // done on the device in this process, so none is asked of the driver.
    CUresult fault = CUDA_SUCCESS;
    bool moduleTried = false;
    CUresult moduleStatus = CUDA_SUCCESS;
    KernelLoad load;  // how the load went, for the diagnosis
    CUmodule module = nullptr;
    CUfunction kernels[kKernelCount] = {};
};

struct Backend {
    std::once_flag loadOnce;
    // CUDA_SUCCESS once the library is open, every entry point resolved and the
    // driver initialised; otherwise why not.
    CUresult loadStatus = CUDA_ERROR_NOT_INITIALIZED;
    DriverInfo info;  // the same, for the diagnostics
    Driver cu{};
    std::mutex mutex;  // guards devices
    std::vector<DeviceState> devices;
};

Backend& backend() {
    static Backend b;
    return b;
}

const Driver& cu() { return backend().cu; }

// The calling thread's device (setDevice), and its last launch failure, as the
// runtime keeps them: per thread.
thread_local int t_device = -1;
thread_local Status t_lastError = CUDA_SUCCESS;

// One entry point: through the driver's cuGetProcAddress where it answers,
// asking for the variant our declaration follows (a null answer means the
// driver has none); by its exported name where it has no such lookup or
// refuses it (a version newer than the driver's, say).
template <typename Fn>
bool resolve(void* library, GetProcAddress getProc, Fn& fn, const char* symbol, const char* base, int version) {
    void* p = nullptr;
    int found = 0;
    if (getProc == nullptr || getProc(base, &p, version, CU_GET_PROC_ADDRESS_LEGACY_STREAM, &found) != CUDA_SUCCESS) {
        p = platform::FindSymbol(library, symbol);
    }
    fn = reinterpret_cast<Fn>(p);
    return p != nullptr;
}

// The first entry point the filter needs that the library lacks, or null when
// it has them all. One it can do without stays null when missing.
const char* resolveAll(void* library, Driver& d) {
    const auto getProc = reinterpret_cast<GetProcAddress>(platform::FindSymbol(library, kGetProcAddressSymbol));
    const char* missing = nullptr;
#define QUELMAR_RESOLVE(member, symbol, base, version, params)                       \
    if (!resolve(library, getProc, d.member, #symbol, #base, version) && missing == nullptr) \
        missing = #symbol;
    QUELMAR_CUDA_ENTRY_POINTS(QUELMAR_RESOLVE)
#undef QUELMAR_RESOLVE
#define QUELMAR_RESOLVE_OPTIONAL(member, symbol, base, version, params) \
    resolve(library, getProc, d.member, #symbol, #base, version);
    QUELMAR_CUDA_OPTIONAL_ENTRY_POINTS(QUELMAR_RESOLVE_OPTIONAL)
#undef QUELMAR_RESOLVE_OPTIONAL
    return missing;
}

// Opens, resolves and initialises the driver, recording in info how far it got.
CUresult loadDriver(Driver& d, DriverInfo& info) {
    info.library = kCudaDriverLibrary;
    void* library = platform::OpenSystemLibrary(kCudaDriverLibrary);
    if (library == nullptr) return CUDA_ERROR_NOT_INITIALIZED;
    if (const char* missing = resolveAll(library, d)) {
        info.state = DriverState::MissingEntryPoint;
        info.missingEntry = missing;
        return CUDA_ERROR_NOT_INITIALIZED;
    }
    // The version is known even to a driver that will not initialise.
    if (d.driverGetVersion(&info.version) != CUDA_SUCCESS) info.version = 0;
    CUresult r = d.init(0);
    if (r == CUDA_SUCCESS) r = d.deviceGetCount(&info.deviceCount);
    info.state = r == CUDA_SUCCESS ? DriverState::Ready : DriverState::InitFailed;
    info.status = r;
    if (r != CUDA_SUCCESS || info.deviceCount < 0) info.deviceCount = 0;
    return r;
}

// Loads and initialises the driver once per process; the library stays loaded
// for the life of the process, as the driver expects.
bool driverReady() {
    Backend& b = backend();
    std::call_once(b.loadOnce, [&b] {
        Driver d{};
        b.loadStatus = loadDriver(d, b.info);
        if (b.loadStatus != CUDA_SUCCESS) return;
        b.cu = d;
        b.devices.resize(static_cast<std::size_t>(b.info.deviceCount));
    });
    return b.loadStatus == CUDA_SUCCESS;
}

// The calling thread's device, with the lock held; null with *status set when
// there is none.
DeviceState* threadDevice(Status* status) {
    Backend& b = backend();
    if (t_device < 0 || static_cast<std::size_t>(t_device) >= b.devices.size()) {
        *status = CUDA_ERROR_INVALID_DEVICE;
        return nullptr;
    }
    return &b.devices[static_cast<std::size_t>(t_device)];
}

// Runs fn(state) on the calling thread's device with the lock held; the
// lookup's status when the thread has no device.
template <typename Fn>
Status onThreadDevice(Fn fn) {
    std::lock_guard lock(backend().mutex);
    Status s = CUDA_SUCCESS;
    DeviceState* state = threadDevice(&s);
    return state == nullptr ? s : fn(*state);
}

// Takes off the context pushed for a call. Should the driver refuse, ours
// may still be on top of the caller's: it is taken off then, and only then.
CUresult popOurs(const Driver& d, CUcontext ours) {
    CUcontext popped = nullptr;
    const CUresult r = d.ctxPopCurrent(&popped);
    CUcontext top = nullptr;
    if (r != CUDA_SUCCESS && d.ctxGetCurrent(&top) == CUDA_SUCCESS && top == ours) {
        d.ctxPopCurrent(&popped);
    }
    return r;
}

// Remembers a fault the driver makes sticky for the calling thread's device.
void noteFault(CUresult r) {
    if (!CudaStatusIsSticky(r)) return;
    onThreadDevice([r](DeviceState& state) {
        if (state.fault == CUDA_SUCCESS) state.fault = r;
        return CUDA_SUCCESS;
    });
}

// Runs call(driver) with the calling thread's device's primary context current,
// then makes current again what the thread had before. After a sticky fault
// on the device, the fault, without calling the driver: a faulted context
// runs none of its queued work and fails every call.
template <typename Call>
Status inDeviceContext(Call call) {
    if (!driverReady()) return backend().loadStatus;
    CUcontext context = nullptr;
    if (Status s = onThreadDevice([&](DeviceState& state) {
            context = state.context;
            return state.fault;
        });
        s != CUDA_SUCCESS) {
        return s;
    }
    if (context == nullptr) return CUDA_ERROR_INVALID_CONTEXT;  // no stream on this device
    const Driver& d = cu();
    if (CUresult r = d.ctxPushCurrent(context); r != CUDA_SUCCESS) {
        noteFault(r);
        return r;
    }
    const Status result = call(d);
    noteFault(result);
    // A refused pop does not undo what the call did (an allocation made, a
    // block freed), so the call's own status stands: reporting failure would
    // lose an allocation or have a free retried. The refusal shows in the
    // thread's next getLastError instead, so the frame in flight still fails.
    if (const CUresult r = popOurs(d, context); r != CUDA_SUCCESS && result == CUDA_SUCCESS) {
        noteFault(r);
        t_lastError = r;
    }
    return result;
}

// A new stream on the thread's device: the first one retains the context, as
// it is, whatever its flags: the host or another plug-in may be using it.
Status addStream() {
    if (!driverReady()) return backend().loadStatus;
    return onThreadDevice([](DeviceState& state) {
        if (state.fault != CUDA_SUCCESS) return state.fault;
        if (state.streams == 0) {
            const Driver& d = cu();
            CUresult r = d.deviceGet(&state.handle, t_device);
            if (r == CUDA_SUCCESS) r = d.primaryCtxRetain(&state.context, state.handle);
            if (r != CUDA_SUCCESS) {
                state.context = nullptr;
                return r;
            }
        }
        ++state.streams;
        return CUDA_SUCCESS;
    });
}

// The module goes with the context it was loaded into; a faulted context
// takes it along when it is released.
void unloadModule(const Driver& d, DeviceState& state) {
    if (state.module != nullptr && state.fault == CUDA_SUCCESS &&
        d.ctxPushCurrent(state.context) == CUDA_SUCCESS) {
        d.moduleUnload(state.module);
        popOurs(d, state.context);
    }
    state.module = nullptr;
    state.moduleTried = false;
    for (CUfunction& f : state.kernels) f = nullptr;
}

// A stream gone from the thread's device: the last one unloads the module and
// releases the context (which also reclaims anything a failed call left).
// The release is made even after a fault: the retain is ours to give back.
void removeStream() {
    onThreadDevice([](DeviceState& state) {
        if (state.streams == 0 || --state.streams > 0) return CUDA_SUCCESS;
        const Driver& d = cu();
        unloadModule(d, state);
        d.primaryCtxRelease(state.handle);
        state.context = nullptr;
        return CUDA_SUCCESS;
    });
}

// Keeps a new stream's handles with the thread's device.
void keepStream(StreamRecord record) {
    onThreadDevice([&](DeviceState& state) {
        state.handles.push_back(record);
        return CUDA_SUCCESS;
    });
}

// The record of a stream made on the thread's device; false when it is not
// there (destroyed already, or made elsewhere). With forget, it is taken off,
// so that no stream is counted gone twice.
bool findStream(CUstream handle, StreamRecord* record, bool forget) {
    return onThreadDevice([&](DeviceState& state) {
               const auto it = std::find_if(state.handles.begin(), state.handles.end(),
                                            [handle](const StreamRecord& r) { return r.stream == handle; });
               if (it == state.handles.end()) return CUDA_ERROR_INVALID_HANDLE;
               *record = *it;
               if (forget) state.handles.erase(it);
               return CUDA_SUCCESS;
           }) == CUDA_SUCCESS;
}

CUdeviceptr dptr(const void* p) { return static_cast<CUdeviceptr>(reinterpret_cast<std::uintptr_t>(p)); }
void* hostPtr(CUdeviceptr p) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(p)); }
using cudacalls::CuStream;

}  // namespace

Status getDeviceCount(int* count) {
    if (count == nullptr) return CUDA_ERROR_INVALID_VALUE;
    *count = 0;
    if (!driverReady()) return backend().loadStatus;
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    *count = static_cast<int>(b.devices.size());
    return *count > 0 ? CUDA_SUCCESS : CUDA_ERROR_NO_DEVICE;
}

Status setDevice(int device) {
    if (!driverReady()) return backend().loadStatus;
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (device < 0 || static_cast<std::size_t>(device) >= b.devices.size()) {
        return CUDA_ERROR_INVALID_DEVICE;
    }
    t_device = device;
    return CUDA_SUCCESS;
}

Status streamCreateNonBlocking(Stream* stream) {
    if (stream == nullptr) return CUDA_ERROR_INVALID_VALUE;
    if (Status s = addStream(); s != CUDA_SUCCESS) return s;
    StreamRecord record;
    Status s = inDeviceContext([&](const Driver& d) {
        CUresult r = d.streamCreate(&record.stream, CU_STREAM_NON_BLOCKING);
        if (r == CUDA_SUCCESS) r = d.eventCreate(&record.done, CU_EVENT_BLOCKING_SYNC | CU_EVENT_DISABLE_TIMING);
        if (r != CUDA_SUCCESS && record.stream != nullptr) d.streamDestroy(record.stream);
        return r;
    });
    if (s != CUDA_SUCCESS) {
        removeStream();
        return s;
    }
    keepStream(record);
    *stream = reinterpret_cast<Stream>(record.stream);
    return CUDA_SUCCESS;
}

// Waits on the stream's blocking-sync event, recorded after all its work.
Status streamSynchronize(Stream stream) {
    StreamRecord record;
    if (stream == nullptr || !findStream(CuStream(stream), &record, false)) return CUDA_ERROR_INVALID_HANDLE;
    return inDeviceContext([&](const Driver& d) {
        const CUresult r = d.eventRecord(record.done, record.stream);
        return r == CUDA_SUCCESS ? d.eventSynchronize(record.done) : r;
    });
}

// The stream counts as gone even when the driver refuses: nothing could use it
// again, and releasing the context reclaims it. A retry finds it gone.
Status streamDestroy(Stream stream) {
    StreamRecord record;
    if (stream == nullptr || !findStream(CuStream(stream), &record, true)) return CUDA_ERROR_INVALID_HANDLE;
    Status s = inDeviceContext([&](const Driver& d) {
        const CUresult r = d.streamDestroy(record.stream);
        d.eventDestroy(record.done);
        return r;
    });
    removeStream();
    return s;
}

Status mallocPitch(void** ptr, std::size_t* pitch, std::size_t widthBytes, std::size_t height) {
    if (ptr == nullptr || pitch == nullptr) return CUDA_ERROR_INVALID_VALUE;
    CUdeviceptr p = 0;
    Status s = inDeviceContext(
        [&](const Driver& d) { return d.memAllocPitch(&p, pitch, widthBytes, height, 16); });
    if (s == CUDA_SUCCESS) *ptr = hostPtr(p);
    return s;
}

Status malloc(void** ptr, std::size_t bytes) {
    if (ptr == nullptr) return CUDA_ERROR_INVALID_VALUE;
    CUdeviceptr p = 0;
    Status s = inDeviceContext([&](const Driver& d) { return d.memAlloc(&p, bytes); });
    if (s == CUDA_SUCCESS) *ptr = hostPtr(p);
    return s;
}

Status free(void* ptr) {
    if (ptr == nullptr) return CUDA_SUCCESS;
    return inDeviceContext([&](const Driver& d) { return d.memFree(dptr(ptr)); });
}

Status memset2DAsync(void* ptr, std::size_t pitch, int value, std::size_t widthBytes,
                     std::size_t height, Stream stream) {
    return inDeviceContext([&](const Driver& d) {
        return d.memsetD2D8Async(dptr(ptr), pitch, static_cast<unsigned char>(value), widthBytes,
                                 height, CuStream(stream));
    });
}

Status memsetAsync(void* ptr, int value, std::size_t bytes, Stream stream) {
    return inDeviceContext([&](const Driver& d) {
        return d.memsetD8Async(dptr(ptr), static_cast<unsigned char>(value), bytes,
                               CuStream(stream));
    });
}

Status memcpy2DAsync(void* dst, std::size_t dstPitch, const void* src, std::size_t srcPitch,
                     std::size_t widthBytes, std::size_t height, CopyKind kind, Stream stream) {
    CUDA_MEMCPY2D c{};
    const bool srcDevice = kind != CopyKind::HostToDevice;
    const bool dstDevice = kind != CopyKind::DeviceToHost;
    c.srcMemoryType = srcDevice ? CU_MEMORYTYPE_DEVICE : CU_MEMORYTYPE_HOST;
    if (srcDevice) c.srcDevice = dptr(src); else c.srcHost = src;
    c.srcPitch = srcPitch;
    c.dstMemoryType = dstDevice ? CU_MEMORYTYPE_DEVICE : CU_MEMORYTYPE_HOST;
    if (dstDevice) c.dstDevice = dptr(dst); else c.dstHost = dst;
    c.dstPitch = dstPitch;
    c.WidthInBytes = widthBytes;
    c.Height = height;
    return inDeviceContext([&](const Driver& d) { return d.memcpy2DAsync(&c, CuStream(stream)); });
}

Status memcpyAsync(void* dst, const void* src, std::size_t bytes, CopyKind kind, Stream stream) {
    return inDeviceContext([&](const Driver& d) -> CUresult {
        switch (kind) {
            case CopyKind::HostToDevice:
                return d.memcpyHtoDAsync(dptr(dst), src, bytes, CuStream(stream));
            case CopyKind::DeviceToHost:
                return d.memcpyDtoHAsync(dst, dptr(src), bytes, CuStream(stream));
            case CopyKind::DeviceToDevice:
                return d.memcpyDtoDAsync(dptr(dst), dptr(src), bytes, CuStream(stream));
        }
        return CUDA_ERROR_INVALID_VALUE;
    });
}

// Launch failures stay recorded until read, as the runtime's last error does.
Status getLastError() { return std::exchange(t_lastError, CUDA_SUCCESS); }

namespace {

std::span<const QuelmarDeviceImage> images() { return {quelmarDeviceImages, quelmarDeviceImageCount}; }

// Finds every kernel in a module just loaded; unloads it when one is missing.
CUresult findKernels(const Driver& d, CUmodule* module, CUfunction (&kernels)[kKernelCount]) {
    CUresult r = CUDA_SUCCESS;
    for (int i = 0; i < kKernelCount && r == CUDA_SUCCESS; ++i) {
        r = d.moduleGetFunction(&kernels[i], *module, kKernelNames[i]);
    }
    if (r != CUDA_SUCCESS) {
        d.moduleUnload(*module);
        *module = nullptr;
        for (CUfunction& f : kernels) f = nullptr;
    }
    return r;
}

// Hands the driver the PTX with a buffer for its compiler's errors, which
// *log receives.
CUresult loadPtx(const Driver& d, const QuelmarDeviceImage& image, CUmodule* module, std::string* log) {
    char buffer[4096] = {};
    CUjit_option options[] = {CU_JIT_ERROR_LOG_BUFFER, CU_JIT_ERROR_LOG_BUFFER_SIZE_BYTES};
    void* values[] = {buffer, reinterpret_cast<void*>(static_cast<std::uintptr_t>(sizeof buffer))};
    const CUresult r = d.moduleLoadDataEx(module, image.bytes, 2, options, values);
    // The driver writes back how much it used; the text ends at its NUL, and
    // never past the buffer whatever it claims.
    const std::size_t used = std::min(reinterpret_cast<std::uintptr_t>(values[1]), std::uintptr_t{sizeof buffer});
    *log = std::string(buffer, std::find(buffer, buffer + used, '\0'));
    return r;
}

// Loads the image the driver would choose for the device into the current
// context, the PTX when it refuses that machine code, and finds every kernel
// in it. *module is null unless every kernel was found.
KernelLoad loadKernels(const Driver& d, CUdevice device, CUmodule* module, CUfunction (&kernels)[kKernelCount]) {
    KernelLoad load;
    *module = nullptr;
    int major = 0, minor = 0;
    load.status = d.deviceGetAttribute(&major, CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR, device);
    if (load.status == CUDA_SUCCESS) {
        load.status = d.deviceGetAttribute(&minor, CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR, device);
    }
    if (load.status != CUDA_SUCCESS) return load;
    load.status = CUDA_ERROR_NO_BINARY_FOR_GPU;
    const QuelmarImageChoice choice = QuelmarChooseImages(images().data(), images().size(), 10 * major + minor);
    load.cubin = choice.cubin;
    if (load.cubin >= 0) {
        load.cubinStatus = d.moduleLoadData(module, images()[load.cubin].bytes);
        if (load.cubinStatus == CUDA_SUCCESS) load.cubinStatus = findKernels(d, module, kernels);
        load.status = load.cubinStatus;
        if (load.status == CUDA_SUCCESS) {
            load.loaded = load.cubin;
            return load;
        }
        *module = nullptr;
    }
    const int ptx = choice.ptx;
    if (ptx < 0) return load;
    load.ptx = ptx;
    load.ptxStatus = loadPtx(d, images()[ptx], module, &load.jitLog);
    if (load.ptxStatus == CUDA_SUCCESS) load.ptxStatus = findKernels(d, module, kernels);
    load.status = load.ptxStatus;
    if (load.status == CUDA_SUCCESS) load.loaded = ptx;
    else *module = nullptr;
    return load;
}

// The kernel, from the module loaded into the thread's device's context (which
// is current) on first use. The load is tried once per context.
CUresult kernelFor(const Driver& d, Kernel k, CUfunction* function) {
    return onThreadDevice([&](DeviceState& state) {
        if (!state.moduleTried) {
            state.moduleTried = true;
            state.load = loadKernels(d, state.handle, &state.module, state.kernels);
            state.moduleStatus = state.load.status;
        }
        *function = state.kernels[k];
        return state.moduleStatus;
    });
}

void launch(Kernel k, Dim3 grid, Dim3 block, std::size_t shared, Stream stream, void** args) {
    Status s = inDeviceContext([&](const Driver& d) {
        CUfunction f = nullptr;
        CUresult r = kernelFor(d, k, &f);
        if (r != CUDA_SUCCESS) return r;
        return d.launchKernel(f, grid.x, grid.y, grid.z, block.x, block.y, block.z,
                              static_cast<unsigned>(shared), CuStream(stream), args, nullptr);
    });
    if (s != CUDA_SUCCESS) t_lastError = s;
}

}  // namespace

// Each kernel takes one struct by value: the driver copies the parameter's
// bytes from the one pointer, as the image declares its size.
void launchEstimateMV16(Dim3 grid, Dim3 block, std::size_t dynamicSharedBytes, Stream stream,
                        const qnr::MotionArgs& args) {
    qnr::MotionArgs param = args;
    void* params[] = {&param};
    launch(kEstimateMV16, grid, block, dynamicSharedBytes, stream, params);
}

void launchProcess(Dim3 grid, Dim3 block, std::size_t dynamicSharedBytes, Stream stream,
                   const qnr::ProcessArgs& args) {
    qnr::ProcessArgs param = args;
    void* params[] = {&param};
    launch(kProcess, grid, block, dynamicSharedBytes, stream, params);
}

void launchProfileAuto(Dim3 grid, Dim3 block, std::size_t dynamicSharedBytes, Stream stream,
                       const qnr::ProfileArgs& args) {
    qnr::ProfileArgs param = args;
    void* params[] = {&param};
    launch(kProfileAuto, grid, block, dynamicSharedBytes, stream, params);
}

namespace cudacalls {

Status InDeviceContext(const std::function<CUresult(const Driver&)>& call) { return inDeviceContext(call); }

const Driver* LoadedDriver(Status* status) {
    if (driverReady()) return &cu();
    *status = backend().loadStatus;
    return nullptr;
}

}  // namespace cudacalls

Status hostRegister(void* ptr, std::size_t bytes) {
    if (ptr == nullptr || bytes == 0) return CUDA_ERROR_INVALID_VALUE;
    return cudacalls::WithOptional(
        [](const Driver& d) { return d.memHostRegister; },
        [&](const Driver& d) { return d.memHostRegister(ptr, bytes, kMemHostRegisterPortable); });
}

Status hostUnregister(void* ptr) {
    if (ptr == nullptr) return CUDA_SUCCESS;
    return cudacalls::WithOptional([](const Driver& d) { return d.memHostUnregister; },
                                   [&](const Driver& d) { return d.memHostUnregister(ptr); });
}

DriverInfo driverInfo() {
    driverReady();
    return backend().info;
}

namespace {

// The driver's handle of a device it reported, or why there is none.
CUresult deviceHandle(int device, CUdevice* handle) {
    if (!driverReady()) return backend().loadStatus;
    if (device < 0 || device >= backend().info.deviceCount) return CUDA_ERROR_INVALID_DEVICE;
    return cu().deviceGet(handle, device);
}

}  // namespace

Status deviceInfo(int device, DeviceInfo* info) {
    if (info == nullptr) return CUDA_ERROR_INVALID_VALUE;
    *info = DeviceInfo{};
    CUdevice handle = 0;
    CUresult r = deviceHandle(device, &handle);
    const Driver& d = cu();
    int major = 0, minor = 0;
    if (r == CUDA_SUCCESS) r = d.deviceGetName(info->name, sizeof info->name, handle);
    if (r == CUDA_SUCCESS) r = d.deviceTotalMem(&info->totalMemoryBytes, handle);
    if (r == CUDA_SUCCESS) r = d.deviceGetAttribute(&major, CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR, handle);
    if (r == CUDA_SUCCESS) r = d.deviceGetAttribute(&minor, CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR, handle);
    info->computeCapability = 10 * major + minor;
    return r;
}

// Its own retain of the primary context, so that it works beside the
// backend's and leaves the context as it found it.
KernelLoad tryLoadKernels(int device) {
    KernelLoad load;
    CUdevice handle = 0;
    if (load.status = deviceHandle(device, &handle); load.status != CUDA_SUCCESS) return load;
    const Driver& d = cu();
    CUcontext context = nullptr;
    if (load.status = d.primaryCtxRetain(&context, handle); load.status != CUDA_SUCCESS) return load;
    load.status = d.ctxPushCurrent(context);
    if (load.status == CUDA_SUCCESS) {
        CUmodule module = nullptr;
        CUfunction kernels[kKernelCount] = {};
        load = loadKernels(d, handle, &module, kernels);
        if (module != nullptr) d.moduleUnload(module);
        popOurs(d, context);
    }
    d.primaryCtxRelease(handle);
    return load;
}

KernelLoad kernelLoad(int device) {
    KernelLoad load;
    if (!driverReady()) {
        load.status = backend().loadStatus;
        return load;
    }
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (device < 0 || static_cast<std::size_t>(device) >= b.devices.size()) {
        load.status = CUDA_ERROR_INVALID_DEVICE;
        return load;
    }
    const DeviceState& state = b.devices[static_cast<std::size_t>(device)];
    return state.moduleTried ? state.load : load;
}

std::span<const QuelmarDeviceImage> deviceImages() { return images(); }

}  // namespace dev
