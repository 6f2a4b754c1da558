// The report of what the filter finds on this machine, for the tools that
// give it (vdhost --gpu-info, quelmar-info.exe, the GPU check): a unit of its
// own, so that a module, which only ever explains a failure, never links it.
#include <mutex>

#include "gpu/cuda_status.h"
#include "gpu/diagnosis.h"
#include "gpu/diagnosis_words.h"

namespace diag {
namespace {

using namespace words;
using Images = std::span<const QuelmarDeviceImage>;

Device diagnoseDevice(int ordinal, Images images, const dev::DriverInfo& driver) {
    Device d;
    d.ordinal = ordinal;
    d.infoStatus = dev::deviceInfo(ordinal, &d.info);
    if (d.infoStatus != dev::kSuccess) {
        d.kernels = std::string("the driver does not describe it: ") + CudaStatusName(d.infoStatus);
        return d;
    }
    const dev::KernelLoad load = dev::tryLoadKernels(ordinal);
    d.kernelsLoad = load.status == dev::kSuccess;
    d.kernels = driver.cpu ? "the CPU executor runs them on the processor"
                           : ExplainKernelLoad(images, d.info.computeCapability, driver.version, load);
    if (!d.kernelsLoad) return d;
    std::lock_guard<std::mutex> lock(g_gpuMutex);
    CudaNRContext* ctx = nullptr;
    d.framesFit = CudaNRCreate(&ctx, ordinal) && CudaNREnsureBuffers(ctx, kTrialWidth, kTrialHeight);
    const CudaNRFailure failure = CudaNRLastFailure();
    CudaNRDestroy(ctx);
    d.frames = d.framesFit ? "room for " + std::to_string(kTrialWidth) + "x" + std::to_string(kTrialHeight) +
                                 " frames"
                           : DescribeFailure(failure, kTrialWidth, kTrialHeight);
    return d;
}

std::string driverLine(const dev::DriverInfo& driver) {
    if (driver.cpu) return "none: the CPU executor runs the kernels";
    if (driver.state == dev::DriverState::NotInstalled || driver.state == dev::DriverState::MissingEntryPoint)
        return driverProblem(driver);
    const std::string name = "NVIDIA " + versionOf(driver);
    return didNotStart(driver) ? name + ", which did not start: " + CudaStatusName(driver.status) : name;
}

// Why the filter's frames pass through on this machine; empty when they do not.
std::string whyNot(const Report& r) {
    if (r.devices.empty()) return driverProblem(r.driver);
    const Device& used = r.devices.front();
    if (!used.kernelsLoad) return kernelsDoNotLoad(used.ordinal, used.kernels);
    return used.framesFit ? "" : used.frames;
}

}  // namespace

Report Diagnose() {
    Report r;
    r.driver = dev::driverInfo();
    r.driverLine = driverLine(r.driver);
    const Images images = dev::deviceImages();
    for (int i = 0; i < r.driver.deviceCount; ++i) r.devices.push_back(diagnoseDevice(i, images, r.driver));
    r.why = whyNot(r);
    r.filters = r.why.empty();
    return r;
}

std::string FormatReport(const Report& r) {
    std::string text = "Driver:  " + r.driverLine + "\n";
    if (r.devices.empty()) text += "GPUs:    none\n";
    for (const Device& d : r.devices) {
        text += "GPU " + std::to_string(d.ordinal) + ":   ";
        if (d.infoStatus == dev::kSuccess) text += d.info.name;
        if (d.infoStatus == dev::kSuccess && !r.driver.cpu) {
            text += ", compute capability " + computeCapability(d.info.computeCapability) + ", " +
                    std::to_string(d.info.totalMemoryBytes >> 20) + " MiB";
        }
        const std::string kernels = d.kernelsLoad ? "load (" + d.kernels + ")" : "do not load: " + d.kernels;
        text += "\n         kernels: " + kernels + "\n";
        if (d.kernelsLoad) text += "         frames:  " + d.frames + "\n";
    }
    return text;
}

std::string Verdict(const Report& r) {
    if (!r.filters) return "passes frames through unfiltered: " + r.why;
    return "filters on " + deviceLabel(r.devices.front().ordinal);
}

}  // namespace diag
