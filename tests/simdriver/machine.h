// The machine the simulated driver pretends to be: its GPUs and its driver
// release, and the rules that release applies to an image handed to it.
// Parsed from one line, e.g. QUELMAR_SIMDRIVER="devices=8.6,rtx5050 driver=575.51".
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tests/simdriver/device_image_reader.h"

namespace sim {

// A driver build, as branch.build ("575.64"); compared as a pair.
struct DriverBuild {
    int branch = 0;
    int build = 0;
    friend auto operator<=>(const DriverBuild&, const DriverBuild&) = default;
};

// A board as drivers know it: by its PCI device ID, which a driver build
// lists or not, whatever its compute capability.
struct Board {
    const char* key;   // what devices= calls it, e.g. "rtx5050"
    const char* name;  // what cuDeviceGetName says
    int cc;            // compute capability as 10 * major + minor
    unsigned deviceId;
    DriverBuild firstListed;  // the first driver build that lists it
    int lastBranch;           // the last branch that lists it; 0: every later one
};

// The boards the simulated driver knows, each generation's first board first.
const std::vector<Board>& Boards();

struct DeviceModel {
    int cc = 120;
    std::string name;
    unsigned deviceId = 0;
    DriverBuild firstListed;
    int lastBranch = 0;
    std::uint64_t memoryBytes = 0;
};

struct DriverModel {
    int branch = 580;  // R525 to R590
    int build = 65;    // the part after the dot ("580.65")
    deviceimage::Version cuda{13, 0};  // the CUDA release the driver comes with
};

struct Machine {
    std::vector<DeviceModel> devices;  // every GPU in the box, listed by the driver or not
    DriverModel driver;
    std::string failEntry;  // fail=ENTRY:N: the N-th call of ENTRY fails
    int failNth = 0;
    std::string reportPath;  // report=PATH: an account written at process exit
    bool trace = false;      // trace=1: every call named on stderr
    unsigned workers = 0;    // workers=N: CPU threads per launch (0: every core)
};

// Keys, each optional:
//   devices=GPU[,GPU...]: each a compute capability (major.minor: that
//     generation's first board, named "Simulated GPU sm_XY"), a board's key
//     (rtx5050) or its device ID (0x2d83); "none" for no GPU. Default 12.0.
//   driver=BRANCH.BUILD (575.51) or BRANCH alone (R575 or 575: its first
//     build); R525, R530, R535, R545, R550, R555, R560, R565, R570, R575,
//     R580, R590. Default 580.65.
//   memory-mib=N, name=TEXT ('_' for spaces), fail=ENTRY:N, report=PATH,
//   trace=1, workers=N.
// False with *error on anything else.
bool ParseMachine(std::string_view description, Machine* machine, std::string* error);

// Whether the driver build lists the board: it is enumerated only then.
bool DriverLists(const DriverModel& driver, const DeviceModel& device);

// What cuDriverGetVersion reports: 1000 * major + 10 * minor of its CUDA release.
int DriverApiVersion(const DriverModel& driver);

// The newest PTX ISA the driver's compiler reads.
deviceimage::Version NewestPtxIsa(const DriverModel& driver);

// The driver's answer to loading one image on a GPU of compute capability cc.
struct LoadResult {
    int status = 0;       // a CUresult
    std::string account;  // which image and how, or why it did not load
    std::string jitLog;   // what the PTX compiler says, when it fails
    std::string jitInfo;  // and when it succeeds
};

// NVIDIA's rules: a cubin for sm_XY runs on a GPU of major X and minor Y or
// above, and loads on a driver of its maker's major release or a later one
// (minor-version compatibility: 12.x cubins from R525 on); PTX is compiled
// when the driver's release reads its ISA and its target is at most the GPU's.
LoadResult LoadImage(const deviceimage::Image& image, int cc, const DriverModel& driver);

std::string ArchName(int cc);                              // "sm_120"
std::string DriverText(const DriverModel& driver);         // "driver 580 (CUDA 13.0)"
std::string DeviceText(const DeviceModel& device);         // "NVIDIA ... (sm_120, device 0x2D83)"

}  // namespace sim
