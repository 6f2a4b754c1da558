// Which module vdhost loads when the user does not name one.
#pragma once
#include <string>

// What the CUDA driver says: whether it is installed and reports a device,
// and in words what it reported or why it could not (driver statuses by name).
struct CudaProbe {
    bool devicePresent;
    std::string detail;
};
CudaProbe ProbeCuda();

// True when the CUDA driver is installed and reports at least one device.
bool CudaDevicePresent();

// The folder holding the running executable (no trailing slash).
std::string ExecutableFolder();

// The CUDA module beside vdhost when a CUDA device is present and the module
// exists, else the CPU module; reason says why, for the user.
std::string DefaultModulePath(std::string& reason);
