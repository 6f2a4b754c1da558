// Inside the diagnosis: the words both its failure explanations
// (gpu/diagnosis.cpp) and its report (gpu/diagnosis_report.cpp) use.
#pragma once
#include <string>

#include "gpu/device_diagnostics.h"

namespace diag::words {

// "6.1" for architecture 61.
std::string computeCapability(int arch);

// "GPU 0 (NAME, compute capability 6.1)"; "the CPU device" on the CPU backend.
std::string deviceLabel(int ordinal);

// "R570 (CUDA 12.8)", from the version the driver gives.
std::string versionOf(const dev::DriverInfo& driver);

// A driver that was found but failed to start, for another reason than finding no GPU.
bool didNotStart(const dev::DriverInfo& driver);

// Why the filter finds no device to use.
std::string driverProblem(const dev::DriverInfo& driver);

// "our kernels do not load on GPU 0 (...): WHY"
std::string kernelsDoNotLoad(int ordinal, const std::string& why);

}  // namespace diag::words
