// CUDA device backend over the driver API, loaded at run time: nothing from the
// CUDA toolkit is needed to build or to load the module. Where the driver
// library is absent or reports no device, getDeviceCount fails and every other
// operation fails cleanly.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "gpu/device.h"
#include "gpu/device_events.h"
#include "kernels/fatbin.h"

namespace dev {
namespace {

// The few driver types and constants used, as the driver API defines them.
using CUresult = int;
using CUdevice = int;
using CUdeviceptr = unsigned long long;
struct CUctx_st;
struct CUmod_st;
struct CUfunc_st;
struct CUstream_st;
struct CUevent_st;
using CUcontext = CUctx_st*;
using CUmodule = CUmod_st*;
using CUfunction = CUfunc_st*;
using CUstream = CUstream_st*;
using CUevent = CUevent_st*;

constexpr CUresult CUDA_SUCCESS = 0;
constexpr unsigned CU_STREAM_NON_BLOCKING = 1;
constexpr unsigned CU_EVENT_DEFAULT = 0;
constexpr int CU_MEMORYTYPE_HOST = 1;
constexpr int CU_MEMORYTYPE_DEVICE = 2;

struct CUDA_MEMCPY2D {
    std::size_t srcXInBytes;
    std::size_t srcY;
    int srcMemoryType;
    const void* srcHost;
    CUdeviceptr srcDevice;
    void* srcArray;
    std::size_t srcPitch;
    std::size_t dstXInBytes;
    std::size_t dstY;
    int dstMemoryType;
    void* dstHost;
    CUdeviceptr dstDevice;
    void* dstArray;
    std::size_t dstPitch;
    std::size_t WidthInBytes;
    std::size_t Height;
};

// Our own statuses for failures that happen before the driver is reached.
constexpr Status kInvalidValue = 1;
constexpr Status kNoDriver = 35;
constexpr Status kNoDevice = 100;
constexpr Status kInvalidDevice = 101;
constexpr Status kNoKernelImage = 209;

#if defined(_WIN32)
#define QNR_CUAPI __stdcall
#else
#define QNR_CUAPI
#endif

struct Driver {
    CUresult(QNR_CUAPI* init)(unsigned);
    CUresult(QNR_CUAPI* deviceGetCount)(int*);
    CUresult(QNR_CUAPI* deviceGet)(CUdevice*, int);
    CUresult(QNR_CUAPI* primaryCtxRetain)(CUcontext*, CUdevice);
    CUresult(QNR_CUAPI* ctxSetCurrent)(CUcontext);
    CUresult(QNR_CUAPI* streamCreate)(CUstream*, unsigned);
    CUresult(QNR_CUAPI* streamSynchronize)(CUstream);
    CUresult(QNR_CUAPI* streamDestroy)(CUstream);
    CUresult(QNR_CUAPI* memAllocPitch)(CUdeviceptr*, std::size_t*, std::size_t, std::size_t,
                                       unsigned);
    CUresult(QNR_CUAPI* memAlloc)(CUdeviceptr*, std::size_t);
    CUresult(QNR_CUAPI* memFree)(CUdeviceptr);
    CUresult(QNR_CUAPI* memsetD2D8Async)(CUdeviceptr, std::size_t, unsigned char, std::size_t,
                                         std::size_t, CUstream);
    CUresult(QNR_CUAPI* memsetD8Async)(CUdeviceptr, unsigned char, std::size_t, CUstream);
    CUresult(QNR_CUAPI* memcpy2DAsync)(const CUDA_MEMCPY2D*, CUstream);
    CUresult(QNR_CUAPI* memcpyHtoDAsync)(CUdeviceptr, const void*, std::size_t, CUstream);
    CUresult(QNR_CUAPI* memcpyDtoHAsync)(void*, CUdeviceptr, std::size_t, CUstream);
    CUresult(QNR_CUAPI* memcpyDtoDAsync)(CUdeviceptr, CUdeviceptr, std::size_t, CUstream);
    CUresult(QNR_CUAPI* moduleLoadData)(CUmodule*, const void*);
    CUresult(QNR_CUAPI* moduleGetFunction)(CUfunction*, CUmodule, const char*);
    CUresult(QNR_CUAPI* launchKernel)(CUfunction, unsigned, unsigned, unsigned, unsigned, unsigned,
                                      unsigned, unsigned, CUstream, void**, void**);
    CUresult(QNR_CUAPI* eventCreate)(CUevent*, unsigned);
    CUresult(QNR_CUAPI* eventRecord)(CUevent, CUstream);
    CUresult(QNR_CUAPI* eventSynchronize)(CUevent);
    CUresult(QNR_CUAPI* eventElapsedTime)(float*, CUevent, CUevent);
    CUresult(QNR_CUAPI* eventDestroy)(CUevent);
};

enum Kernel { kEstimateMV16, kProcess, kProfileAuto, kKernelCount };
constexpr const char* kKernelNames[kKernelCount] = {"kEstimateMV16", "kProcess", "kProfileAuto"};

struct DeviceState {
    CUcontext context = nullptr;
    bool moduleTried = false;
    CUfunction kernels[kKernelCount] = {};
};

struct Backend {
    std::once_flag loadOnce;
    bool loaded = false;  // library open, every entry point resolved, cuInit succeeded
    Driver cu{};
    std::mutex mutex;  // guards devices and selected
    std::vector<DeviceState> devices;
    int selected = -1;
    std::atomic<Status> lastError{CUDA_SUCCESS};
};

Backend& backend() {
    static Backend b;
    return b;
}

void* openDriverLibrary() {
#if defined(_WIN32)
    return reinterpret_cast<void*>(LoadLibraryA("nvcuda.dll"));
#else
    return dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
#endif
}

void* findSymbol(void* library, const char* name) {
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
#else
    return dlsym(library, name);
#endif
}

template <typename Fn>
bool resolve(void* library, Fn& fn, const char* name) {
    void* p = findSymbol(library, name);
    fn = reinterpret_cast<Fn>(p);
    return p != nullptr;
}

bool resolveAll(void* lib, Driver& d) {
    // Versioned names where the driver has replaced the original entry point.
    return resolve(lib, d.init, "cuInit") && resolve(lib, d.deviceGetCount, "cuDeviceGetCount") &&
           resolve(lib, d.deviceGet, "cuDeviceGet") &&
           resolve(lib, d.primaryCtxRetain, "cuDevicePrimaryCtxRetain") &&
           resolve(lib, d.ctxSetCurrent, "cuCtxSetCurrent") &&
           resolve(lib, d.streamCreate, "cuStreamCreate") &&
           resolve(lib, d.streamSynchronize, "cuStreamSynchronize") &&
           resolve(lib, d.streamDestroy, "cuStreamDestroy_v2") &&
           resolve(lib, d.memAllocPitch, "cuMemAllocPitch_v2") &&
           resolve(lib, d.memAlloc, "cuMemAlloc_v2") && resolve(lib, d.memFree, "cuMemFree_v2") &&
           resolve(lib, d.memsetD2D8Async, "cuMemsetD2D8Async") &&
           resolve(lib, d.memsetD8Async, "cuMemsetD8Async") &&
           resolve(lib, d.memcpy2DAsync, "cuMemcpy2DAsync_v2") &&
           resolve(lib, d.memcpyHtoDAsync, "cuMemcpyHtoDAsync_v2") &&
           resolve(lib, d.memcpyDtoHAsync, "cuMemcpyDtoHAsync_v2") &&
           resolve(lib, d.memcpyDtoDAsync, "cuMemcpyDtoDAsync_v2") &&
           resolve(lib, d.moduleLoadData, "cuModuleLoadData") &&
           resolve(lib, d.moduleGetFunction, "cuModuleGetFunction") &&
           resolve(lib, d.launchKernel, "cuLaunchKernel") &&
           resolve(lib, d.eventCreate, "cuEventCreate") &&
           resolve(lib, d.eventRecord, "cuEventRecord") &&
           resolve(lib, d.eventSynchronize, "cuEventSynchronize") &&
           resolve(lib, d.eventElapsedTime, "cuEventElapsedTime") &&
           resolve(lib, d.eventDestroy, "cuEventDestroy_v2");
}

// Loads and initialises the driver once per process; the library stays loaded
// for the life of the process, as the driver expects.
bool driverReady() {
    Backend& b = backend();
    std::call_once(b.loadOnce, [&b] {
        void* lib = openDriverLibrary();
        if (lib == nullptr) return;
        Driver d{};
        if (!resolveAll(lib, d) || d.init(0) != CUDA_SUCCESS) return;
        int count = 0;
        if (d.deviceGetCount(&count) != CUDA_SUCCESS || count < 1) count = 0;
        b.cu = d;
        b.devices.resize(static_cast<std::size_t>(count));
        b.loaded = true;
    });
    return b.loaded;
}

// Makes the selected device's primary context current on the calling thread.
// Every operation but the device queries starts here.
Status enter() {
    if (!driverReady()) return kNoDriver;
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (b.selected < 0) return kNoDevice;
    return b.cu.ctxSetCurrent(b.devices[static_cast<std::size_t>(b.selected)].context);
}

const Driver& cu() { return backend().cu; }

CUdeviceptr dptr(const void* p) { return static_cast<CUdeviceptr>(reinterpret_cast<std::uintptr_t>(p)); }
CUstream cuStream(Stream s) { return reinterpret_cast<CUstream>(s); }

}  // namespace

Status getDeviceCount(int* count) {
    if (count == nullptr) return kInvalidValue;
    *count = 0;
    if (!driverReady()) return kNoDriver;
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    *count = static_cast<int>(b.devices.size());
    return *count > 0 ? CUDA_SUCCESS : kNoDevice;
}

Status setDevice(int device) {
    if (!driverReady()) return kNoDriver;
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (device < 0 || static_cast<std::size_t>(device) >= b.devices.size()) return kInvalidDevice;
    DeviceState& state = b.devices[static_cast<std::size_t>(device)];
    if (state.context == nullptr) {
        CUdevice handle = 0;
        CUresult r = b.cu.deviceGet(&handle, device);
        if (r == CUDA_SUCCESS) r = b.cu.primaryCtxRetain(&state.context, handle);
        if (r != CUDA_SUCCESS) {
            state.context = nullptr;
            return r;
        }
    }
    CUresult r = b.cu.ctxSetCurrent(state.context);
    if (r == CUDA_SUCCESS) b.selected = device;
    return r;
}

Status streamCreateNonBlocking(Stream* stream) {
    if (stream == nullptr) return kInvalidValue;
    if (Status s = enter(); s != CUDA_SUCCESS) return s;
    CUstream handle = nullptr;
    CUresult r = cu().streamCreate(&handle, CU_STREAM_NON_BLOCKING);
    if (r == CUDA_SUCCESS) *stream = reinterpret_cast<Stream>(handle);
    return r;
}

Status streamSynchronize(Stream stream) {
    if (Status s = enter(); s != CUDA_SUCCESS) return s;
    return cu().streamSynchronize(cuStream(stream));
}

Status streamDestroy(Stream stream) {
    if (Status s = enter(); s != CUDA_SUCCESS) return s;
    return cu().streamDestroy(cuStream(stream));
}

Status mallocPitch(void** ptr, std::size_t* pitch, std::size_t widthBytes, std::size_t height) {
    if (ptr == nullptr || pitch == nullptr) return kInvalidValue;
    if (Status s = enter(); s != CUDA_SUCCESS) return s;
    CUdeviceptr p = 0;
    CUresult r = cu().memAllocPitch(&p, pitch, widthBytes, height, 16);
    if (r == CUDA_SUCCESS) *ptr = reinterpret_cast<void*>(static_cast<std::uintptr_t>(p));
    return r;
}

Status malloc(void** ptr, std::size_t bytes) {
    if (ptr == nullptr) return kInvalidValue;
    if (Status s = enter(); s != CUDA_SUCCESS) return s;
    CUdeviceptr p = 0;
    CUresult r = cu().memAlloc(&p, bytes);
    if (r == CUDA_SUCCESS) *ptr = reinterpret_cast<void*>(static_cast<std::uintptr_t>(p));
    return r;
}

Status free(void* ptr) {
    if (ptr == nullptr) return CUDA_SUCCESS;
    if (Status s = enter(); s != CUDA_SUCCESS) return s;
    return cu().memFree(dptr(ptr));
}

Status memset2DAsync(void* ptr, std::size_t pitch, int value, std::size_t widthBytes,
                     std::size_t height, Stream stream) {
    if (Status s = enter(); s != CUDA_SUCCESS) return s;
    return cu().memsetD2D8Async(dptr(ptr), pitch, static_cast<unsigned char>(value), widthBytes,
                                height, cuStream(stream));
}

Status memsetAsync(void* ptr, int value, std::size_t bytes, Stream stream) {
    if (Status s = enter(); s != CUDA_SUCCESS) return s;
    return cu().memsetD8Async(dptr(ptr), static_cast<unsigned char>(value), bytes,
                              cuStream(stream));
}

Status memcpy2DAsync(void* dst, std::size_t dstPitch, const void* src, std::size_t srcPitch,
                     std::size_t widthBytes, std::size_t height, CopyKind kind, Stream stream) {
    if (Status s = enter(); s != CUDA_SUCCESS) return s;
    CUDA_MEMCPY2D c{};
    bool srcDevice = kind != CopyKind::HostToDevice;
    bool dstDevice = kind != CopyKind::DeviceToHost;
    c.srcMemoryType = srcDevice ? CU_MEMORYTYPE_DEVICE : CU_MEMORYTYPE_HOST;
    if (srcDevice) c.srcDevice = dptr(src); else c.srcHost = src;
    c.srcPitch = srcPitch;
    c.dstMemoryType = dstDevice ? CU_MEMORYTYPE_DEVICE : CU_MEMORYTYPE_HOST;
    if (dstDevice) c.dstDevice = dptr(dst); else c.dstHost = dst;
    c.dstPitch = dstPitch;
    c.WidthInBytes = widthBytes;
    c.Height = height;
    return cu().memcpy2DAsync(&c, cuStream(stream));
}

Status memcpyAsync(void* dst, const void* src, std::size_t bytes, CopyKind kind, Stream stream) {
    if (Status s = enter(); s != CUDA_SUCCESS) return s;
    switch (kind) {
        case CopyKind::HostToDevice:
            return cu().memcpyHtoDAsync(dptr(dst), src, bytes, cuStream(stream));
        case CopyKind::DeviceToHost:
            return cu().memcpyDtoHAsync(dst, dptr(src), bytes, cuStream(stream));
        case CopyKind::DeviceToDevice:
            return cu().memcpyDtoDAsync(dptr(dst), dptr(src), bytes, cuStream(stream));
    }
    return kInvalidValue;
}

// Launch failures stay recorded until read, as the runtime's last error does.
Status getLastError() { return backend().lastError.exchange(CUDA_SUCCESS); }

namespace {

void recordLaunchError(Status s) {
    if (s != CUDA_SUCCESS) backend().lastError.store(s);
}

// The module is loaded into the selected device's context on first use.
CUfunction kernelFor(Kernel k, Status* status) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    DeviceState& state = b.devices[static_cast<std::size_t>(b.selected)];
    if (!state.moduleTried) {
        state.moduleTried = true;
        CUmodule module = nullptr;
        if (quelmarFatbinSize != 0 &&
            b.cu.moduleLoadData(&module, quelmarFatbin) == CUDA_SUCCESS) {
            for (int i = 0; i < kKernelCount; ++i) {
                if (b.cu.moduleGetFunction(&state.kernels[i], module, kKernelNames[i]) !=
                    CUDA_SUCCESS) {
                    state.kernels[i] = nullptr;
                }
            }
        }
    }
    if (state.kernels[k] == nullptr) *status = kNoKernelImage;
    return state.kernels[k];
}

void launch(Kernel k, Dim3 grid, Dim3 block, std::size_t shared, Stream stream, void** args) {
    Status s = enter();
    CUfunction f = s == CUDA_SUCCESS ? kernelFor(k, &s) : nullptr;
    if (f != nullptr) {
        s = cu().launchKernel(f, grid.x, grid.y, grid.z, block.x, block.y, block.z,
                              static_cast<unsigned>(shared), cuStream(stream), args, nullptr);
    }
    recordLaunchError(s);
}

}  // namespace

void launchEstimateMV16(Dim3 grid, Dim3 block, std::size_t dynamicSharedBytes, Stream stream,
                        const uchar4* cur, const uchar4* ref, int width, int height, int pitch,
                        int2* mv, int blocksX, int blocksY, int radius, int step) {
    void* args[] = {&cur, &ref, &width, &height, &pitch, &mv, &blocksX, &blocksY, &radius, &step};
    launch(kEstimateMV16, grid, block, dynamicSharedBytes, stream, args);
}

void launchProcess(Dim3 grid, Dim3 block, std::size_t dynamicSharedBytes, Stream stream,
                   const uchar4* cur, const uchar4* prev, const uchar4* prev2,
                   const uchar4* prevOut, const int2* mv1, const int2* mv2, int blocksX,
                   uchar4* out, int width, int height, int pitch, CudaNRParams params) {
    void* args[] = {&cur,     &prev, &prev2, &prevOut, &mv1,   &mv2,  &blocksX,
                    &out,     &width, &height, &pitch, &params};
    launch(kProcess, grid, block, dynamicSharedBytes, stream, args);
}

void launchProfileAuto(Dim3 grid, Dim3 block, std::size_t dynamicSharedBytes, Stream stream,
                       const uchar4* src, int width, int height, int pitch, int step,
                       double* accSum, double* accWeight) {
    void* args[] = {&src, &width, &height, &pitch, &step, &accSum, &accWeight};
    launch(kProfileAuto, grid, block, dynamicSharedBytes, stream, args);
}

Status eventCreate(Event* event) {
    if (event == nullptr) return kInvalidValue;
    if (Status s = enter(); s != CUDA_SUCCESS) return s;
    CUevent e = nullptr;
    CUresult r = cu().eventCreate(&e, CU_EVENT_DEFAULT);
    if (r == CUDA_SUCCESS) *event = reinterpret_cast<Event>(e);
    return r;
}

Status eventRecord(Event event, Stream stream) {
    if (Status s = enter(); s != CUDA_SUCCESS) return s;
    return cu().eventRecord(reinterpret_cast<CUevent>(event), cuStream(stream));
}

Status eventSynchronize(Event event) {
    if (Status s = enter(); s != CUDA_SUCCESS) return s;
    return cu().eventSynchronize(reinterpret_cast<CUevent>(event));
}

Status eventElapsedMs(float* ms, Event start, Event end) {
    if (ms == nullptr) return kInvalidValue;
    if (Status s = enter(); s != CUDA_SUCCESS) return s;
    return cu().eventElapsedTime(ms, reinterpret_cast<CUevent>(start),
                                 reinterpret_cast<CUevent>(end));
}

Status eventDestroy(Event event) {
    if (Status s = enter(); s != CUDA_SUCCESS) return s;
    return cu().eventDestroy(reinterpret_cast<CUevent>(event));
}

}  // namespace dev
