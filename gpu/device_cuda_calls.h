// Inside the CUDA backend: how an operation reaches the driver, shared by its
// translation units. The timing events and the page-locked allocation live in
// a unit of their own (gpu/device_cuda_events.cpp), which only the
// measurement tools reach, so that a module never links them.
#pragma once
#include <functional>

#include "gpu/cuda_driver_api.h"
#include "gpu/device.h"

namespace dev::cudacalls {

// Runs call(driver) with the calling thread's device's primary context
// current, as every operation of the backend does (gpu/device_cuda.cpp).
Status InDeviceContext(const std::function<cudrv::CUresult(const cudrv::Driver&)>& call);

// The driver's entry points once it is loaded and initialised; null, with
// *status saying why, when it is not.
const cudrv::Driver* LoadedDriver(Status* status);

// An entry point the filter can do without, called when the driver has it;
// CUDA_ERROR_NOT_SUPPORTED when it lacks it.
template <typename Entry, typename Call>
Status WithOptional(Entry entry, Call call) {
    Status status = cudrv::CUDA_SUCCESS;
    const cudrv::Driver* driver = LoadedDriver(&status);
    if (driver == nullptr) return status;
    if (entry(*driver) == nullptr) return cudrv::CUDA_ERROR_NOT_SUPPORTED;
    return InDeviceContext(call);
}

inline cudrv::CUstream CuStream(Stream s) { return reinterpret_cast<cudrv::CUstream>(s); }

}  // namespace dev::cudacalls
