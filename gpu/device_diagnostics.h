// What a device backend can tell about its driver and devices, for the tools
// that say whether and why the filter can run (vdhost --gpu-info,
// quelmar-info.exe) and for the reason a frame passed through. The filter's
// own work never needs it. Both backends implement it: the CUDA backend from
// the driver's answers, the CPU backend about itself.
#pragma once
#include <cstddef>
#include <span>

#include "gpu/device.h"

namespace dev {

enum class DriverState {
    Ready,              // loaded and initialised; devices may still be 0
    NotInstalled,       // the driver library is not there
    MissingEntryPoint,  // the library lacks an entry point the backend needs
    InitFailed,         // the driver refused to initialise, or to count its devices
};

struct DriverInfo {
    DriverState state = DriverState::NotInstalled;
    const char* library = "";       // the file the backend loads the driver from
    const char* missingEntry = "";  // MissingEntryPoint: the first one lacking
    Status status = kSuccess;       // InitFailed: what the driver answered
    // The driver's API version, 1000 * major + 10 * minor of the CUDA release
    // it serves (12080 for CUDA 12.8); 0 when unknown.
    int version = 0;
    int deviceCount = 0;
    bool cpu = false;  // the CPU backend: no driver, one device, the processor
};

// Read once per process, as the backend itself reads it.
DriverInfo driverInfo();

struct DeviceInfo {
    char name[256] = {};
    int computeCapability = 0;  // 10 * major + minor; 0 for the CPU device
    std::size_t totalMemoryBytes = 0;
};
Status deviceInfo(int device, DeviceInfo* info);

// Loads the kernels' device binary into the device's primary context and
// unloads it again: the driver's own answer whether they run there. Nothing
// stays current or retained.
Status tryLoadKernels(int device);

// What this backend's own load of the kernels gave on the device: kSuccess
// also while it has not been tried.
Status kernelLoadStatus(int device);

// The device binary this backend loads; empty for the CPU backend and for a
// build without device code.
std::span<const unsigned char> deviceBinary();

}  // namespace dev
