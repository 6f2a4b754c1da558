// Whether the filter can run on this machine's GPUs, and if not why, in words
// a user understands: the one account behind vdhost --gpu-info,
// quelmar-info.exe, the GPU check and the reason a frame passed through. It
// asks the device backend (gpu/device_diagnostics.h), reads the table of the
// device images, and tries the GPU context itself.
#pragma once
#include <span>
#include <string>
#include <vector>

#include "gpu/cudanr.h"
#include "gpu/device_diagnostics.h"

namespace diag {

// The frame size whose buffers each device is tried with.
constexpr int kTrialWidth = 1920;
constexpr int kTrialHeight = 1080;

struct Device {
    int ordinal = 0;
    dev::DeviceInfo info;
    dev::Status infoStatus = dev::kSuccess;
    bool kernelsLoad = false;
    std::string kernels;  // the image that serves it, or why none does (ExplainKernelLoad)
    bool framesFit = false;
    std::string frames;   // room for trial frames, or why not (when the kernels load)
};

struct Report {
    dev::DriverInfo driver;
    std::string driverLine;  // the driver's release, or what is wrong with it
    std::vector<Device> devices;
    // The filter runs on the device it uses (the first); otherwise why its
    // frames pass through.
    bool filters = false;
    std::string why;
};

// Asks the driver about itself and each device, loads the kernels into each
// device's primary context, and makes a filter context with buffers for
// kTrialWidth x kTrialHeight frames there. Takes g_gpuMutex.
Report Diagnose();

// The driver and each device, one block of lines each.
std::string FormatReport(const Report& report);

// What the CUDA module does here: "filters on GPU 0 (...)" or "passes frames
// through unfiltered: WHY".
std::string Verdict(const Report& report);

// Why the failed GPU operation (CudaNRLastFailure) let frames of
// width x height pass through.
std::string DescribeFailure(const CudaNRFailure& failure, int width, int height);

// Which of the images loaded on a GPU of architecture arch (10 * major +
// minor) with a driver of the given API version (12080 for CUDA 12.8), from
// what the backend's load gave; or, when none did, why: no image for the
// architecture, a driver older than every image that would serve, or the
// driver's refusal in its own words.
std::string ExplainKernelLoad(std::span<const QuelmarDeviceImage> images, int arch, int driverVersion,
                              const dev::KernelLoad& load);

}  // namespace diag
