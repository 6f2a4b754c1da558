// What a device backend can tell about its driver and devices, for the tools
// that say whether and why the filter can run (vdhost --gpu-info,
// quelmar-info.exe) and for the reason a frame passed through. The filter's
// own work never needs it. Both backends implement it: the CUDA backend from
// the driver's answers, the CPU backend about itself.
#pragma once
#include <cstddef>
#include <span>
#include <string>

#include "gpu/device.h"
#include "kernels/device_images.h"

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

// What loading the kernels on a device gave. The backend picks an image as
// the driver itself would (machine code of the GPU's major architecture with
// the highest minor not above its own, else the PTX) and hands the driver the
// PTX when it refuses that machine code.
struct KernelLoad {
    Status status = kSuccess;  // kSuccess when an image loaded (or none was tried yet)
    int loaded = -1;           // index in deviceImages() of the image that loaded
    int cubin = -1;            // the machine code handed to the driver; -1: none serves
    Status cubinStatus = kSuccess;  // and the driver's answer
    int ptx = -1;              // the PTX handed to the driver; -1: not tried
    Status ptxStatus = kSuccess;
    std::string jitLog;        // the driver's JIT error log for the PTX, when it wrote one
};

// Loads the kernels into the device's primary context and unloads them
// again: the driver's own answer whether they run there. Nothing stays
// current or retained.
KernelLoad tryLoadKernels(int device);

// What this backend's own load of the kernels gave on the device: a status of
// kSuccess also while it has not been tried.
KernelLoad kernelLoad(int device);

// The device images this backend chooses from; empty for the CPU backend and
// for a build without device code.
std::span<const QuelmarDeviceImage> deviceImages();

}  // namespace dev
