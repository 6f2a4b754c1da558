// Which module vdhost loads when the user does not name one, and the report
// behind that choice (vdhost --gpu-info).
#pragma once
#include <string>

#include "gpu/diagnosis.h"

// The folder holding the running executable (no trailing slash).
std::string ExecutableFolder();

// The CUDA module beside vdhost where the report says it filters and the
// module exists, else the CPU module; reason says why, for the user.
std::string DefaultModulePath(const diag::Report& report, std::string& reason);

// vdhost --gpu-info: prints the report and the module vdhost would use.
// 0 when the CUDA module filters here, 1 when it would pass frames through.
int RunGpuInfo();
