// The machine the simulated driver pretends to be: its GPUs and its driver
// release, and the rules that release applies to a module's images. Parsed
// from one line, e.g. QUELMAR_SIMDRIVER="devices=8.6,12.0 driver=575.51".
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "gpu/fatbin_image.h"

namespace sim {

struct DeviceModel {
    int cc = 120;  // compute capability as 10 * major + minor
    std::string name;
    std::uint64_t memoryBytes = 0;
};

struct DriverModel {
    int branch = 580;  // 570, 575 or 580 (the releases since the first for RTX 50 cards), or 560
    int build = 65;    // the part after the dot ("580.65")
    fatbin::Version cuda{13, 0};  // the CUDA release the driver comes with
};

struct Machine {
    std::vector<DeviceModel> devices;  // every GPU in the box, known to the driver or not
    DriverModel driver;
    std::string failEntry;  // fail=ENTRY:N: the N-th call of ENTRY fails
    int failNth = 0;
    std::string reportPath;  // report=PATH: an account written at process exit
    bool trace = false;      // trace=1: every call named on stderr
    unsigned workers = 0;    // workers=N: CPU threads per launch (0: every core)
};

// Keys, each optional: devices=CC[,CC...] (major.minor; "none" for no GPU),
// driver=BRANCH.BUILD, memory-mib=N, name=TEXT ('_' for spaces),
// fail=ENTRY:N, report=PATH, trace=1, workers=N. False with *error on
// anything else.
bool ParseMachine(std::string_view description, Machine* machine, std::string* error);

// Whether the driver release supports a GPU of that compute capability at all.
// One it does not is not enumerated, as with a real driver older than the GPU.
bool DriverKnows(const DriverModel& driver, int cc);

// What cuDriverGetVersion reports: 1000 * major + 10 * minor of its CUDA release.
int DriverApiVersion(const DriverModel& driver);

// The driver's choice among a module's images for a device.
struct LoadChoice {
    int status = 0;     // CUresult: 0, CUDA_ERROR_NO_BINARY_FOR_GPU, CUDA_ERROR_UNSUPPORTED_PTX_VERSION
    int image = -1;     // index of the image used
    std::string account;  // which image and how, or why none
};

// The driver's documented rules: machine code for sm_XY runs on a GPU of
// major X and minor at least Y and is preferred, the newest such; otherwise
// PTX is compiled when the driver knows its ISA and its target is at most the
// GPU's. An image made by a release newer than the driver's is refused.
LoadChoice ChooseImage(const std::vector<fatbin::Image>& images, int cc, const DriverModel& driver);

std::string ArchName(int cc);  // "sm_120"

}  // namespace sim
