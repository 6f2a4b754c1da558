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
constexpr unsigned CU_CTX_SCHED_BLOCKING_SYNC = 4;
constexpr unsigned CU_CTX_SCHED_MASK = 7;
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

// X(member, exported symbol, parameters) for each entry point, under the
// versioned name the driver exports where it has replaced the original.
#define QUELMAR_CUDA_ENTRY_POINTS(X)                                                          \
    X(init, cuInit, (unsigned))                                                               \
    X(driverGetVersion, cuDriverGetVersion, (int*))                                           \
    X(deviceGetCount, cuDeviceGetCount, (int*))                                               \
    X(deviceGet, cuDeviceGet, (CUdevice*, int))                                               \
    X(deviceGetName, cuDeviceGetName, (char*, int, CUdevice))                                 \
    X(deviceTotalMem, cuDeviceTotalMem_v2, (std::size_t*, CUdevice))                          \
    X(deviceGetAttribute, cuDeviceGetAttribute, (int*, int, CUdevice))                        \
    X(primaryCtxGetState, cuDevicePrimaryCtxGetState, (CUdevice, unsigned*, int*))            \
    X(primaryCtxSetFlags, cuDevicePrimaryCtxSetFlags_v2, (CUdevice, unsigned))                \
    X(primaryCtxRetain, cuDevicePrimaryCtxRetain, (CUcontext*, CUdevice))                     \
    X(primaryCtxRelease, cuDevicePrimaryCtxRelease_v2, (CUdevice))                            \
    X(ctxPushCurrent, cuCtxPushCurrent_v2, (CUcontext))                                       \
    X(ctxPopCurrent, cuCtxPopCurrent_v2, (CUcontext*))                                        \
    X(ctxGetCurrent, cuCtxGetCurrent, (CUcontext*))                                           \
    X(streamCreate, cuStreamCreate, (CUstream*, unsigned))                                    \
    X(streamSynchronize, cuStreamSynchronize, (CUstream))                                     \
    X(streamDestroy, cuStreamDestroy_v2, (CUstream))                                          \
    X(memAllocPitch, cuMemAllocPitch_v2,                                                      \
      (CUdeviceptr*, std::size_t*, std::size_t, std::size_t, unsigned))                      \
    X(memAlloc, cuMemAlloc_v2, (CUdeviceptr*, std::size_t))                                   \
    X(memFree, cuMemFree_v2, (CUdeviceptr))                                                   \
    X(memAllocHost, cuMemAllocHost_v2, (void**, std::size_t))                                 \
    X(memFreeHost, cuMemFreeHost, (void*))                                                    \
    X(memsetD2D8Async, cuMemsetD2D8Async,                                                     \
      (CUdeviceptr, std::size_t, unsigned char, std::size_t, std::size_t, CUstream))          \
    X(memsetD8Async, cuMemsetD8Async, (CUdeviceptr, unsigned char, std::size_t, CUstream))    \
    X(memcpy2DAsync, cuMemcpy2DAsync_v2, (const CUDA_MEMCPY2D*, CUstream))                    \
    X(memcpyHtoDAsync, cuMemcpyHtoDAsync_v2, (CUdeviceptr, const void*, std::size_t, CUstream)) \
    X(memcpyDtoHAsync, cuMemcpyDtoHAsync_v2, (void*, CUdeviceptr, std::size_t, CUstream))     \
    X(memcpyDtoDAsync, cuMemcpyDtoDAsync_v2,                                                  \
      (CUdeviceptr, CUdeviceptr, std::size_t, CUstream))                                      \
    X(moduleLoadData, cuModuleLoadData, (CUmodule*, const void*))                             \
    X(moduleLoadDataEx, cuModuleLoadDataEx, (CUmodule*, const void*, unsigned, CUjit_option*, void**)) \
    X(moduleUnload, cuModuleUnload, (CUmodule))                                               \
    X(moduleGetFunction, cuModuleGetFunction, (CUfunction*, CUmodule, const char*))           \
    X(launchKernel, cuLaunchKernel,                                                           \
      (CUfunction, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned,     \
       CUstream, void**, void**))                                                             \
    X(eventCreate, cuEventCreate, (CUevent*, unsigned))                                       \
    X(eventRecord, cuEventRecord, (CUevent, CUstream))                                        \
    X(eventSynchronize, cuEventSynchronize, (CUevent))                                        \
    X(eventElapsedTime, cuEventElapsedTime, (float*, CUevent, CUevent))                       \
    X(eventDestroy, cuEventDestroy_v2, (CUevent))

// The resolved entry points, one member each.
struct Driver {
#define QUELMAR_CUDA_ENTRY_MEMBER(member, symbol, params) CUresult(QNR_CUAPI* member) params = nullptr;
    QUELMAR_CUDA_ENTRY_POINTS(QUELMAR_CUDA_ENTRY_MEMBER)
#undef QUELMAR_CUDA_ENTRY_MEMBER
};

}  // namespace cudrv
