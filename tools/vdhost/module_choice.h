// Which module vdhost loads when the user does not name one.
#pragma once
#include <string>

// True when the CUDA driver is installed and reports at least one device.
bool CudaDevicePresent();

// The folder holding the running executable (no trailing slash).
std::string ExecutableFolder();

// The CUDA module beside vdhost when a CUDA device is present and the module
// exists, else the CPU module; reason says why, for the user.
std::string DefaultModulePath(std::string& reason);
