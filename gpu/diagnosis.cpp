#include "gpu/diagnosis.h"

#include <algorithm>
#include <mutex>

#include "gpu/cuda_status.h"

namespace diag {
namespace {

using fatbin::Image;
using fatbin::Version;

constexpr dev::Status kOutOfMemory = cudrv::CUDA_ERROR_OUT_OF_MEMORY;  // the CPU backend's too
constexpr dev::Status kNoDevice = cudrv::CUDA_ERROR_NO_DEVICE;

std::string versionText(Version v) { return std::to_string(v.major) + "." + std::to_string(v.minor); }

Version releaseOfApiVersion(int version) { return {version / 1000, version % 1000 / 10}; }

// The driver branch that first served a CUDA release; 0 when not known.
int branchOfRelease(Version release) {
    struct Pair {
        Version release;
        int branch;
    };
    constexpr Pair kBranches[] = {{{12, 0}, 525}, {{12, 1}, 530}, {{12, 2}, 535}, {{12, 3}, 545},
                                  {{12, 4}, 550}, {{12, 5}, 555}, {{12, 6}, 560}, {{12, 7}, 565},
                                  {{12, 8}, 570}, {{12, 9}, 575}, {{13, 0}, 580}, {{13, 1}, 590}};
    for (const Pair& p : kBranches) {
        if (p.release == release) return p.branch;
    }
    return 0;
}

// "R570", or "CUDA 12.8" where the branch is not known.
std::string branchName(Version release) {
    const int branch = branchOfRelease(release);
    std::string name = branch == 0 ? "CUDA " + versionText(release) : std::string("R");
    if (branch != 0) name += std::to_string(branch);
    return name;
}

// "R570 (CUDA 12.8)", or the release alone where the branch is not known.
std::string driverName(Version release) {
    const std::string cuda = "CUDA " + versionText(release);
    return branchOfRelease(release) == 0 ? cuda : branchName(release) + " (" + cuda + ")";
}

std::string archName(int arch) { return "sm_" + std::to_string(arch); }

std::string computeCapability(int arch) { return std::to_string(arch / 10) + "." + std::to_string(arch % 10); }

std::string imageName(const Image& image) {
    return image.kind == fatbin::Kind::Ptx ? "PTX for compute_" + std::to_string(image.ptxTarget)
                                           : "machine code for " + archName(image.arch);
}

// "machine code for sm_60, sm_70 and PTX for compute_60 (ISA 8.7)"
std::string contents(const std::vector<Image>& images) {
    std::string sass, ptx;
    for (const Image& i : images) {
        if (i.kind == fatbin::Kind::Sass) sass += (sass.empty() ? "" : ", ") + archName(i.arch);
        if (i.kind == fatbin::Kind::Ptx) {
            ptx += (ptx.empty() ? "" : ", ") + ("compute_" + std::to_string(i.ptxTarget)) + " (ISA " +
                   versionText(i.ptxIsa) + ")";
        }
    }
    std::string text = sass.empty() ? "" : "machine code for " + sass;
    if (!ptx.empty()) text += (text.empty() ? "PTX for " : " and PTX for ") + ptx;
    return text.empty() ? "no image it can use" : text;
}

// The newest machine code first, PTX last.
int preference(const Image& image) { return image.kind == fatbin::Kind::Sass ? 1000 + image.arch : 0; }

// The image a driver that loaded them most likely took.
std::string servedBy(const std::vector<const Image*>& serving, int arch, Version driver) {
    const Image* best = nullptr;
    for (const Image* i : serving) {
        if (fatbin::MadeForRelease(*i, driver) && (best == nullptr || preference(*i) > preference(*best))) best = i;
    }
    if (best == nullptr) return "an image the driver chose";
    if (best->kind == fatbin::Kind::Sass) return imageName(*best);
    return imageName(*best) + ", compiled by the driver for " + archName(arch);
}

// Every image that would serve the GPU was made by a newer CUDA than the driver's.
std::string driverTooOld(const std::vector<const Image*>& serving, Version driver) {
    Version needed = serving.front()->toolkit;
    Version isa;
    for (const Image* i : serving) {
        needed = std::min(needed, i->toolkit);
        if (i->kind == fatbin::Kind::Ptx) isa = i->ptxIsa;
    }
    std::string detail = "CUDA " + versionText(needed);
    if (isa != Version{}) detail += ", PTX ISA " + versionText(isa);
    return "driver " + driverName(driver) + ": this build needs " + branchName(needed) + " or newer (" + detail + ")";
}

std::vector<Image> deviceImages() {
    std::vector<Image> images;
    const auto binary = dev::deviceBinary();
    if (binary.empty() || !fatbin::ReadImages(binary.data(), binary.size(), &images)) images.clear();
    return images;
}

// "GPU 0 (NAME, compute capability 6.1)"
std::string deviceLabel(int ordinal) {
    dev::DeviceInfo info;
    if (dev::driverInfo().cpu) return "the CPU device";
    std::string label = "GPU " + std::to_string(ordinal);
    if (dev::deviceInfo(ordinal, &info) != dev::kSuccess) return label;
    return label + " (" + info.name + ", compute capability " + computeCapability(info.computeCapability) + ")";
}

// "R570 (CUDA 12.8)", from the version the driver gives.
std::string versionOf(const dev::DriverInfo& driver) {
    return driver.version > 0 ? driverName(releaseOfApiVersion(driver.version)) : "(version unknown)";
}

// A driver that was found but failed to start, for another reason than finding no GPU.
bool didNotStart(const dev::DriverInfo& driver) {
    return driver.state == dev::DriverState::InitFailed && driver.status != kNoDevice;
}

// Why the filter finds no device to use.
std::string driverProblem(const dev::DriverInfo& driver) {
    if (driver.cpu) return "the CPU device reports no device";
    if (driver.state == dev::DriverState::NotInstalled)
        return std::string("no NVIDIA driver is installed (") + driver.library + " not found)";
    if (driver.state == dev::DriverState::MissingEntryPoint)
        return std::string("the NVIDIA driver is too old: it lacks ") + driver.missingEntry;
    const std::string name = "the NVIDIA driver " + versionOf(driver);
    if (didNotStart(driver)) return name + " did not start: " + CudaStatusName(driver.status);
    return name + " reports no GPU: none is installed, or the GPU is newer than this driver "
                  "(install the current driver)";
}

std::string kernelsDoNotLoad(int ordinal, const std::string& why) {
    return "our kernels do not load on " + deviceLabel(ordinal) + ": " + why;
}

const char* stepWords(CudaNRStep step) {
    switch (step) {
        case CudaNRStep::SelectDevice: return "selecting it";
        case CudaNRStep::CreateContext: return "creating the filter's context";
        case CudaNRStep::AllocateBuffers: return "allocating frame buffers";
        case CudaNRStep::ClearBuffers: return "clearing frame buffers";
        case CudaNRStep::Upload: return "the upload of a frame";
        case CudaNRStep::MotionSearch: return "the motion search";
        case CudaNRStep::Process: return "the filter kernel";
        case CudaNRStep::Download: return "the download of a frame";
        case CudaNRStep::Feedback: return "keeping the filtered frame";
        case CudaNRStep::Synchronize: return "waiting for the GPU";
        case CudaNRStep::None:
        case CudaNRStep::InvalidCall:
        case CudaNRStep::FindDevice: break;
    }
    return "a GPU operation";
}

bool isLaunch(CudaNRStep step) { return step == CudaNRStep::MotionSearch || step == CudaNRStep::Process; }

Device diagnoseDevice(int ordinal, const std::vector<Image>& images, const dev::DriverInfo& driver) {
    Device d;
    d.ordinal = ordinal;
    d.infoStatus = dev::deviceInfo(ordinal, &d.info);
    if (d.infoStatus != dev::kSuccess) {
        d.kernels = std::string("the driver does not describe it: ") + CudaStatusName(d.infoStatus);
        return d;
    }
    const dev::Status load = dev::tryLoadKernels(ordinal);
    d.kernelsLoad = load == dev::kSuccess;
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

std::string ExplainKernelLoad(const std::vector<Image>& images, int arch, int driverVersion, dev::Status status) {
    if (images.empty()) return "this build carries no device code (it was built without nvcc)";
    const Version driver = releaseOfApiVersion(driverVersion);
    std::vector<const Image*> serving;
    for (const Image& i : images) {
        if (fatbin::MachineCodeRunsOn(i, arch) || fatbin::PtxServes(i, arch)) serving.push_back(&i);
    }
    if (status == dev::kSuccess) return servedBy(serving, arch, driver);
    if (serving.empty()) return "no image for " + archName(arch) + ": this build has " + contents(images);
    const bool anyMadeForDriver = std::any_of(serving.begin(), serving.end(),
                                              [&](const Image* i) { return fatbin::MadeForRelease(*i, driver); });
    if (!anyMadeForDriver) return driverTooOld(serving, driver);
    if (status == kOutOfMemory) return "the GPU ran out of memory loading them";
    return std::string("the driver refused them: ") + CudaStatusName(status);
}

std::string DescribeFailure(const CudaNRFailure& failure, int width, int height) {
    const CudaNRStep step = failure.step;
    if (step == CudaNRStep::FindDevice) return driverProblem(dev::driverInfo());
    if (step == CudaNRStep::None || step == CudaNRStep::InvalidCall) {
        return "a GPU operation was given arguments it does not take";
    }
    // A launch fails when the kernels did not load; that is the reason to give.
    const dev::Status load = isLaunch(step) ? dev::kernelLoadStatus(failure.device) : dev::kSuccess;
    if (load != dev::kSuccess) {
        dev::DeviceInfo info;
        dev::deviceInfo(failure.device, &info);
        return kernelsDoNotLoad(failure.device, ExplainKernelLoad(deviceImages(), info.computeCapability,
                                                                  dev::driverInfo().version, load));
    }
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    if (step == CudaNRStep::AllocateBuffers && failure.status == kOutOfMemory) {
        return deviceLabel(failure.device) + " has too little free memory for " + size + " frames";
    }
    // A step without a device status ran out of host memory, or got none from the device.
    const std::string status = failure.status == dev::kSuccess ? "out of memory" : CudaStatusName(failure.status);
    const bool forFrames = step != CudaNRStep::SelectDevice && step != CudaNRStep::CreateContext;
    const std::string frames = forFrames ? " (" + size + " frames)" : "";
    return deviceLabel(failure.device) + ": " + stepWords(step) + " failed" + frames + ": " + status;
}

Report Diagnose() {
    Report r;
    r.driver = dev::driverInfo();
    r.driverLine = driverLine(r.driver);
    const std::vector<Image> images = deviceImages();
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
