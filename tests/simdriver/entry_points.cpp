// cuGetProcAddress: the driver's own way to hand out its entry points, by base
// name and the CUDA version whose variant the caller was written for, as
// cuda.h documents it. The variants and the versions that introduced them are
// cudaTypedefs.h's (PFN_<base>_v<version>), each checked against the function
// exported here.
#include <cuda.h>
#include <cudaTypedefs.h>

#include <cstring>
#include <span>

#include "tests/simdriver/state.h"

using namespace sim;

// The original timing entry point, which drivers still export beside the _v2
// that cuda.h names (contexts.cpp).
#undef cuEventElapsedTime
extern "C" CUresult CUDAAPI cuEventElapsedTime(float* ms, CUevent start, CUevent end);

namespace {

struct Variant {
    const char* base;
    int version;  // the CUDA version that introduced it
    void* function;
};

#define SIM_VARIANT(base, version, function) \
    Variant { #base, version, reinterpret_cast<void*>(static_cast<PFN_##base##_v##version>(&function)) }

const Variant kVariants[] = {
    SIM_VARIANT(cuInit, 2000, cuInit),
    SIM_VARIANT(cuDriverGetVersion, 2020, cuDriverGetVersion),
    SIM_VARIANT(cuDeviceGetCount, 2000, cuDeviceGetCount),
    SIM_VARIANT(cuDeviceGet, 2000, cuDeviceGet),
    SIM_VARIANT(cuDeviceGetName, 2000, cuDeviceGetName),
    SIM_VARIANT(cuDeviceTotalMem, 3020, cuDeviceTotalMem_v2),
    SIM_VARIANT(cuDeviceGetAttribute, 2000, cuDeviceGetAttribute),
    SIM_VARIANT(cuDevicePrimaryCtxGetState, 7000, cuDevicePrimaryCtxGetState),
    SIM_VARIANT(cuDevicePrimaryCtxSetFlags, 11000, cuDevicePrimaryCtxSetFlags_v2),
    SIM_VARIANT(cuDevicePrimaryCtxRetain, 7000, cuDevicePrimaryCtxRetain),
    SIM_VARIANT(cuDevicePrimaryCtxRelease, 11000, cuDevicePrimaryCtxRelease_v2),
    SIM_VARIANT(cuCtxPushCurrent, 4000, cuCtxPushCurrent_v2),
    SIM_VARIANT(cuCtxPopCurrent, 4000, cuCtxPopCurrent_v2),
    SIM_VARIANT(cuCtxGetCurrent, 4000, cuCtxGetCurrent),
    SIM_VARIANT(cuCtxSetCurrent, 4000, cuCtxSetCurrent),
    SIM_VARIANT(cuStreamCreate, 2000, cuStreamCreate),
    SIM_VARIANT(cuStreamSynchronize, 2000, cuStreamSynchronize),
    SIM_VARIANT(cuStreamDestroy, 4000, cuStreamDestroy_v2),
    SIM_VARIANT(cuMemAllocPitch, 3020, cuMemAllocPitch_v2),
    SIM_VARIANT(cuMemAlloc, 3020, cuMemAlloc_v2),
    SIM_VARIANT(cuMemFree, 3020, cuMemFree_v2),
    SIM_VARIANT(cuMemAllocHost, 3020, cuMemAllocHost_v2),
    SIM_VARIANT(cuMemFreeHost, 2000, cuMemFreeHost),
    SIM_VARIANT(cuMemHostRegister, 6050, cuMemHostRegister_v2),
    SIM_VARIANT(cuMemHostUnregister, 4000, cuMemHostUnregister),
    SIM_VARIANT(cuMemsetD2D8Async, 3020, cuMemsetD2D8Async),
    SIM_VARIANT(cuMemsetD8Async, 3020, cuMemsetD8Async),
    SIM_VARIANT(cuMemcpy2DAsync, 3020, cuMemcpy2DAsync_v2),
    SIM_VARIANT(cuMemcpyHtoDAsync, 3020, cuMemcpyHtoDAsync_v2),
    SIM_VARIANT(cuMemcpyDtoHAsync, 3020, cuMemcpyDtoHAsync_v2),
    SIM_VARIANT(cuMemcpyDtoDAsync, 3020, cuMemcpyDtoDAsync_v2),
    SIM_VARIANT(cuModuleLoadData, 2000, cuModuleLoadData),
    SIM_VARIANT(cuModuleLoadDataEx, 2010, cuModuleLoadDataEx),
    SIM_VARIANT(cuModuleUnload, 2000, cuModuleUnload),
    SIM_VARIANT(cuModuleGetFunction, 2000, cuModuleGetFunction),
    SIM_VARIANT(cuLaunchKernel, 4000, cuLaunchKernel),
    SIM_VARIANT(cuEventCreate, 2000, cuEventCreate),
    SIM_VARIANT(cuEventRecord, 2000, cuEventRecord),
    SIM_VARIANT(cuEventSynchronize, 2000, cuEventSynchronize),
    SIM_VARIANT(cuEventElapsedTime, 2000, cuEventElapsedTime),
    SIM_VARIANT(cuEventElapsedTime, 12080, cuEventElapsedTime_v2),
    SIM_VARIANT(cuEventDestroy, 4000, cuEventDestroy_v2),
};

#undef SIM_VARIANT

}  // namespace

// "If the specified CUDA version is greater than the driver version, the API
// will return CUDA_ERROR_INVALID_VALUE"; otherwise the newest variant the
// version covers, or a null function with the reason in symbolStatus. Per-thread
// default-stream variants are not emulated: only the legacy stream is asked for.
SIM_EXPORT CUresult CUDAAPI cuGetProcAddress_v2(const char* symbol, void** function, int cudaVersion,
                                                cuuint64_t flags, CUdriverProcAddressQueryResult* symbolStatus) {
    SIM_ENTER("cuGetProcAddress_v2");
    if (symbol == nullptr || function == nullptr) return CUDA_ERROR_INVALID_VALUE;
    if (flags != CU_GET_PROC_ADDRESS_LEGACY_STREAM) {
        return violation(d, entry, "only the legacy default stream's variants are emulated", CUDA_ERROR_INVALID_VALUE);
    }
    *function = nullptr;
    if (!d.procAddress) return CUDA_ERROR_NOT_SUPPORTED;
    if (cudaVersion > DriverApiVersion(d.machine.driver)) return CUDA_ERROR_INVALID_VALUE;
    const Variant* best = nullptr;
    bool known = false;
    for (const Variant& v : d.withheld.count(symbol) ? std::span<const Variant>() : std::span(kVariants)) {
        if (std::strcmp(v.base, symbol) != 0) continue;
        known = true;
        if (v.version <= cudaVersion && (best == nullptr || v.version > best->version)) best = &v;
    }
    if (best != nullptr) *function = best->function;
    if (symbolStatus != nullptr) {
        *symbolStatus = best != nullptr ? CU_GET_PROC_ADDRESS_SUCCESS
                        : known         ? CU_GET_PROC_ADDRESS_VERSION_NOT_SUFFICIENT
                                        : CU_GET_PROC_ADDRESS_SYMBOL_NOT_FOUND;
    }
    return CUDA_SUCCESS;
}
