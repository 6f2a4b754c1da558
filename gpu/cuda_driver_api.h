// The part of the CUDA driver API the backend uses, declared here so that the
// module builds without a CUDA toolkit. Names, values and layouts are the
// driver's own; the simulated driver's build checks every one of them against
// the toolkit's cuda.h (tests/simdriver/api_check.cpp).
#pragma once
#include <cstddef>

#include "gpu/cuda_status.h"

#if defined(_WIN32)
#define QNR_CUAPI __stdcall
#else
#define QNR_CUAPI
#endif

// The driver library, by the name the system loads it under
// (platform::OpenSystemLibrary).
#if defined(_WIN32)
constexpr const char* kCudaDriverLibrary = "nvcuda.dll";
#else
constexpr const char* kCudaDriverLibrary = "libcuda.so.1";
#endif

namespace cudrv {

using CUresult = int;
using CUdevice = int;
using CUdeviceptr = unsigned long long;
struct CUctx_st;
struct CUmod_st;
struct CUfunc_st;
struct CUstream_st;
struct CUevent_st;
struct CUarray_st;
using CUcontext = CUctx_st*;
using CUmodule = CUmod_st*;
using CUfunction = CUfunc_st*;
using CUstream = CUstream_st*;
using CUevent = CUevent_st*;
using CUarray = CUarray_st*;

constexpr unsigned CU_STREAM_NON_BLOCKING = 1;
constexpr unsigned CU_EVENT_DEFAULT = 0;
constexpr unsigned CU_EVENT_BLOCKING_SYNC = 1;
constexpr unsigned CU_EVENT_DISABLE_TIMING = 2;
constexpr unsigned kMemHostRegisterPortable = 1;  // CU_MEMHOSTREGISTER_PORTABLE, a macro in cuda.h
constexpr int CU_MEMORYTYPE_HOST = 1;
constexpr int CU_MEMORYTYPE_DEVICE = 2;
constexpr int CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR = 75;
constexpr int CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR = 76;
using CUjit_option = int;  // an enumeration in cuda.h, of int's size
constexpr CUjit_option CU_JIT_ERROR_LOG_BUFFER = 5;
constexpr CUjit_option CU_JIT_ERROR_LOG_BUFFER_SIZE_BYTES = 6;

struct CUDA_MEMCPY2D {
    std::size_t srcXInBytes;
    std::size_t srcY;
    int srcMemoryType;
    const void* srcHost;
    CUdeviceptr srcDevice;
    CUarray srcArray;
    std::size_t srcPitch;
    std::size_t dstXInBytes;
    std::size_t dstY;
    int dstMemoryType;
    void* dstHost;
    CUdeviceptr dstDevice;
    CUarray dstArray;
    std::size_t dstPitch;
    std::size_t WidthInBytes;
    std::size_t Height;
};

// X(member, exported symbol, base name, CUDA version, parameters) for each
// entry point: the symbol is the versioned name cuda.h maps the base name to,
// and the version the one cuGetProcAddress takes for that variant (cudaTypedefs.h
// names it PFN_<base>_v<version>). The filter needs every one of these.
#define QUELMAR_CUDA_ENTRY_POINTS(X)                                                                   \
    X(init, cuInit, cuInit, 2000, (unsigned))                                                          \
    X(driverGetVersion, cuDriverGetVersion, cuDriverGetVersion, 2020, (int*))                          \
    X(deviceGetCount, cuDeviceGetCount, cuDeviceGetCount, 2000, (int*))                                \
    X(deviceGet, cuDeviceGet, cuDeviceGet, 2000, (CUdevice*, int))                                     \
    X(deviceGetName, cuDeviceGetName, cuDeviceGetName, 2000, (char*, int, CUdevice))                   \
    X(deviceTotalMem, cuDeviceTotalMem_v2, cuDeviceTotalMem, 3020, (std::size_t*, CUdevice))           \
    X(deviceGetAttribute, cuDeviceGetAttribute, cuDeviceGetAttribute, 2000, (int*, int, CUdevice))     \
    X(primaryCtxRetain, cuDevicePrimaryCtxRetain, cuDevicePrimaryCtxRetain, 7000, (CUcontext*, CUdevice)) \
    X(primaryCtxRelease, cuDevicePrimaryCtxRelease_v2, cuDevicePrimaryCtxRelease, 11000, (CUdevice))   \
    X(ctxPushCurrent, cuCtxPushCurrent_v2, cuCtxPushCurrent, 4000, (CUcontext))                        \
    X(ctxPopCurrent, cuCtxPopCurrent_v2, cuCtxPopCurrent, 4000, (CUcontext*))                          \
    X(ctxGetCurrent, cuCtxGetCurrent, cuCtxGetCurrent, 4000, (CUcontext*))                             \
    X(streamCreate, cuStreamCreate, cuStreamCreate, 2000, (CUstream*, unsigned))                       \
    X(streamDestroy, cuStreamDestroy_v2, cuStreamDestroy, 4000, (CUstream))                            \
    X(memAllocPitch, cuMemAllocPitch_v2, cuMemAllocPitch, 3020,                                        \
      (CUdeviceptr*, std::size_t*, std::size_t, std::size_t, unsigned))                               \
    X(memAlloc, cuMemAlloc_v2, cuMemAlloc, 3020, (CUdeviceptr*, std::size_t))                          \
    X(memFree, cuMemFree_v2, cuMemFree, 3020, (CUdeviceptr))                                           \
    X(memsetD2D8Async, cuMemsetD2D8Async, cuMemsetD2D8Async, 3020,                                     \
      (CUdeviceptr, std::size_t, unsigned char, std::size_t, std::size_t, CUstream))                   \
    X(memsetD8Async, cuMemsetD8Async, cuMemsetD8Async, 3020,                                           \
      (CUdeviceptr, unsigned char, std::size_t, CUstream))                                             \
    X(memcpy2DAsync, cuMemcpy2DAsync_v2, cuMemcpy2DAsync, 3020, (const CUDA_MEMCPY2D*, CUstream))      \
    X(memcpyHtoDAsync, cuMemcpyHtoDAsync_v2, cuMemcpyHtoDAsync, 3020,                                  \
      (CUdeviceptr, const void*, std::size_t, CUstream))                                               \
    X(memcpyDtoHAsync, cuMemcpyDtoHAsync_v2, cuMemcpyDtoHAsync, 3020,                                  \
      (void*, CUdeviceptr, std::size_t, CUstream))                                                     \
    X(memcpyDtoDAsync, cuMemcpyDtoDAsync_v2, cuMemcpyDtoDAsync, 3020,                                  \
      (CUdeviceptr, CUdeviceptr, std::size_t, CUstream))                                               \
    X(moduleLoadData, cuModuleLoadData, cuModuleLoadData, 2000, (CUmodule*, const void*))              \
    X(moduleLoadDataEx, cuModuleLoadDataEx, cuModuleLoadDataEx, 2010,                                  \
      (CUmodule*, const void*, unsigned, CUjit_option*, void**))                                       \
    X(moduleUnload, cuModuleUnload, cuModuleUnload, 2000, (CUmodule))                                  \
    X(moduleGetFunction, cuModuleGetFunction, cuModuleGetFunction, 2000,                               \
      (CUfunction*, CUmodule, const char*))                                                            \
    X(launchKernel, cuLaunchKernel, cuLaunchKernel, 4000,                                              \
      (CUfunction, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned, CUstream,     \
       void**, void**))                                                                                \
    X(eventCreate, cuEventCreate, cuEventCreate, 2000, (CUevent*, unsigned))                           \
    X(eventRecord, cuEventRecord, cuEventRecord, 2000, (CUevent, CUstream))                            \
    X(eventSynchronize, cuEventSynchronize, cuEventSynchronize, 2000, (CUevent))                       \
    X(eventDestroy, cuEventDestroy_v2, cuEventDestroy, 4000, (CUevent))

// The same for entry points the filter can do without: timing and page-locked
// allocation serve the measurement tools, and host registration only speeds
// copies up (staging falls back to pageable memory). A driver that lacks one
// still filters; the operation then answers CUDA_ERROR_NOT_SUPPORTED.
#define QUELMAR_CUDA_OPTIONAL_ENTRY_POINTS(X)                                                          \
    X(eventElapsedTime, cuEventElapsedTime_v2, cuEventElapsedTime, 12080, (float*, CUevent, CUevent))  \
    X(memAllocHost, cuMemAllocHost_v2, cuMemAllocHost, 3020, (void**, std::size_t))                    \
    X(memFreeHost, cuMemFreeHost, cuMemFreeHost, 2000, (void*))                                        \
    X(memHostRegister, cuMemHostRegister_v2, cuMemHostRegister, 6050, (void*, std::size_t, unsigned))  \
    X(memHostUnregister, cuMemHostUnregister, cuMemHostUnregister, 4000, (void*))

// The driver's own way to find its entry points by base name and version
// (CUDA 12.5 on); older drivers are searched by exported name instead.
using GetProcAddress = CUresult(QNR_CUAPI*)(const char* symbol, void** function, int cudaVersion,
                                            unsigned long long flags, int* symbolStatus);
constexpr const char* kGetProcAddressSymbol = "cuGetProcAddress_v2";
constexpr unsigned long long CU_GET_PROC_ADDRESS_LEGACY_STREAM = 1;

// The resolved entry points, one member each.
struct Driver {
#define QUELMAR_CUDA_ENTRY_MEMBER(member, symbol, base, version, params) \
    CUresult(QNR_CUAPI* member) params = nullptr;
    QUELMAR_CUDA_ENTRY_POINTS(QUELMAR_CUDA_ENTRY_MEMBER)
    QUELMAR_CUDA_OPTIONAL_ENTRY_POINTS(QUELMAR_CUDA_ENTRY_MEMBER)
#undef QUELMAR_CUDA_ENTRY_MEMBER
};

}  // namespace cudrv
