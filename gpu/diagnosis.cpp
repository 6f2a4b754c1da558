#include "gpu/diagnosis.h"

#include <algorithm>
#include <utility>

#include "gpu/cuda_status.h"
#include "gpu/diagnosis_words.h"

namespace diag {
namespace {

using Images = std::span<const QuelmarDeviceImage>;

constexpr dev::Status kOutOfMemory = cudrv::CUDA_ERROR_OUT_OF_MEMORY;  // the CPU backend's too
constexpr dev::Status kNoDevice = cudrv::CUDA_ERROR_NO_DEVICE;

// Releases are counted as the driver counts them: 1000 * major + 10 * minor.
constexpr int kCuda13_1 = 13010;

std::string versionText(int release) {
    return std::to_string(release / 1000) + "." + std::to_string(release % 1000 / 10);
}

std::string isaText(int isa) { return std::to_string(isa / 10) + "." + std::to_string(isa % 10); }

// The driver branch that first served a CUDA release; 0 when not known.
int branchOfRelease(int release) {
    struct Pair {
        int release, branch;
    };
    constexpr Pair kBranches[] = {{11080, 520}, {12000, 525}, {12010, 530}, {12020, 535}, {12030, 545},
                                  {12040, 550}, {12050, 555}, {12060, 560}, {12070, 565}, {12080, 570},
                                  {12090, 575}, {13000, 580}, {13010, 590}};
    for (const Pair& p : kBranches) {
        if (p.release == release) return p.branch;
    }
    return 0;
}

// "R570", or "CUDA 12.8" where the branch is not known.
std::string branchName(int release) {
    const int branch = branchOfRelease(release);
    if (branch == 0) return "CUDA " + versionText(release);
    std::string name = "R";  // appended: GCC 12 wrongly warns of overlapping copies in "R" + text
    name += std::to_string(branch);
    return name;
}

// "R570 (CUDA 12.8)", or the release alone where the branch is not known.
std::string driverName(int release) {
    const std::string cuda = "CUDA " + versionText(release);
    return branchOfRelease(release) == 0 ? cuda : branchName(release) + " (" + cuda + ")";
}

std::string archName(int arch) { return "sm_" + std::to_string(arch); }

bool isPtx(const QuelmarDeviceImage& image) { return image.kind == kQuelmarPtx; }

std::string imageName(const QuelmarDeviceImage& image) {
    return isPtx(image) ? "PTX for compute_" + std::to_string(image.arch) : "machine code for " + archName(image.arch);
}

// The oldest driver release that takes the image. Machine code loads on any
// driver of its maker's major release or later (minor-version
// compatibility); PTX needs a driver whose compiler knows its ISA.
int releaseNeeded(const QuelmarDeviceImage& image) {
    if (!isPtx(image)) return image.toolkit / 1000 * 1000;
    struct Pair {
        int isa, release;
    };
    constexpr Pair kIsas[] = {{80, 12000}, {81, 12010}, {82, 12020}, {83, 12030}, {84, 12040}, {85, 12050},
                              {86, 12070}, {87, 12080}, {88, 12090}, {90, 13000}, {91, 13010}};
    for (const Pair& p : kIsas) {
        if (p.isa == image.ptxIsa) return p.release;
    }
    return image.toolkit;
}

// "machine code for sm_60, sm_70 and PTX for compute_60 (ISA 8.7)"
std::string contents(Images images) {
    std::string sass, ptx;
    for (const QuelmarDeviceImage& i : images) {
        if (!isPtx(i)) sass += (sass.empty() ? "" : ", ") + archName(i.arch);
        if (isPtx(i)) {
            ptx += (ptx.empty() ? "" : ", ") + ("compute_" + std::to_string(i.arch)) + " (ISA " + isaText(i.ptxIsa) + ")";
        }
    }
    std::string text = sass.empty() ? "" : "machine code for " + sass;
    if (!ptx.empty()) text += (text.empty() ? "PTX for " : " and PTX for ") + ptx;
    return text.empty() ? "no image it can use" : text;
}

// The images the driver's rule offers a GPU, machine code first.
std::vector<const QuelmarDeviceImage*> serving(Images images, int arch) {
    const QuelmarImageChoice choice = QuelmarChooseImages(images.data(), images.size(), arch);
    std::vector<const QuelmarDeviceImage*> found;
    for (const int i : {choice.cubin, choice.ptx}) {
        if (i >= 0) found.push_back(&images[static_cast<std::size_t>(i)]);
    }
    return found;
}

std::string servedBy(const QuelmarDeviceImage& image, int arch) {
    return isPtx(image) ? imageName(image) + ", compiled by the driver for " + archName(arch) : imageName(image);
}

// Every image that would serve the GPU needs a newer driver: the oldest that takes one.
std::string driverTooOld(const std::vector<const QuelmarDeviceImage*>& images, int driver) {
    int needed = releaseNeeded(*images.front());
    for (const QuelmarDeviceImage* i : images) needed = std::min(needed, releaseNeeded(*i));
    std::string detail = "CUDA " + versionText(needed);
    for (const QuelmarDeviceImage* i : images) {
        if (isPtx(*i) && releaseNeeded(*i) == needed) detail += ", PTX ISA " + isaText(i->ptxIsa);
    }
    return "driver " + driverName(driver) + ": this build needs " + branchName(needed) + " or newer (" + detail + ")";
}

// The driver's log on one line: its lines joined, blank ones dropped.
std::string oneLine(const std::string& log) {
    std::string text;
    std::size_t start = 0;
    while (start < log.size()) {
        const std::size_t end = std::min(log.find('\n', start), log.size());
        std::string line = log.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty()) text += (text.empty() ? "" : "; ") + line;
        start = end + 1;
    }
    return text;
}

bool handed(Images images, int index) { return index >= 0 && static_cast<std::size_t>(index) < images.size(); }

// What the driver answered for each image it was handed, and its JIT log:
// "machine code for sm_86 (CUDA_ERROR_X) and PTX for compute_60 (CUDA_ERROR_Y);
// its JIT compiler says: ..."; empty when it was handed none.
std::string answers(Images images, const dev::KernelLoad& load) {
    std::string text;
    for (const auto& [index, status] : {std::pair{load.cubin, load.cubinStatus}, std::pair{load.ptx, load.ptxStatus}}) {
        if (!handed(images, index)) continue;
        text += (text.empty() ? "" : " and ") + imageName(images[static_cast<std::size_t>(index)]) + " (" +
                CudaStatusName(status) + ")";
    }
    const std::string log = oneLine(load.jitLog);
    return text.empty() || log.empty() ? text : text + "; its JIT compiler says: " + log;
}

}  // namespace

namespace words {

std::string computeCapability(int arch) { return std::to_string(arch / 10) + "." + std::to_string(arch % 10); }

std::string deviceLabel(int ordinal) {
    dev::DeviceInfo info;
    if (dev::driverInfo().cpu) return "the CPU device";
    std::string label = "GPU " + std::to_string(ordinal);
    if (dev::deviceInfo(ordinal, &info) != dev::kSuccess) return label;
    return label + " (" + info.name + ", compute capability " + computeCapability(info.computeCapability) + ")";
}

std::string versionOf(const dev::DriverInfo& driver) {
    return driver.version > 0 ? driverName(driver.version / 10 * 10) : "(version unknown)";
}

bool didNotStart(const dev::DriverInfo& driver) {
    return driver.state == dev::DriverState::InitFailed && driver.status != kNoDevice;
}

std::string driverProblem(const dev::DriverInfo& driver) {
    if (driver.state == dev::DriverState::NotInstalled)
        return std::string("no NVIDIA driver is installed (") + driver.library + " not found)";
    if (driver.state == dev::DriverState::MissingEntryPoint)
        return std::string("the NVIDIA driver is too old: it lacks ") + driver.missingEntry;
    const std::string name = "the NVIDIA driver " + versionOf(driver);
    if (didNotStart(driver)) return name + " did not start: " + CudaStatusName(driver.status);
    const std::string why = name + " reports no GPU: none is installed, or the GPU is newer than this driver "
                                   "(install the current driver)";
    // R590 dropped Maxwell, Pascal and Volta: an older GPU is not enumerated either.
    return driver.version >= kCuda13_1 ? why + ", or it is a Maxwell, Pascal or Volta GPU, which R580 is the last "
                                               "driver branch to support"
                                       : why;
}

std::string kernelsDoNotLoad(int ordinal, const std::string& why) {
    return "our kernels do not load on " + deviceLabel(ordinal) + ": " + why;
}

}  // namespace words

using namespace words;

namespace {

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

}  // namespace

std::string ExplainKernelLoad(Images images, int arch, int driverVersion, const dev::KernelLoad& load) {
    if (images.empty()) return "this build carries no device code (it was built without nvcc)";
    if (load.status == dev::kSuccess && handed(images, load.loaded)) {
        const std::string served = servedBy(images[static_cast<std::size_t>(load.loaded)], arch);
        if (load.loaded == load.cubin || !handed(images, load.cubin)) return served;
        return served + ", the driver having refused " + imageName(images[static_cast<std::size_t>(load.cubin)]) +
               " (" + CudaStatusName(load.cubinStatus) + ")";
    }
    const std::vector<const QuelmarDeviceImage*> offered = serving(images, arch);
    if (offered.empty()) return "no image for " + archName(arch) + ": this build has " + contents(images);
    // Not tried yet: the image the driver's rule gives it first.
    if (load.status == dev::kSuccess) return servedBy(*offered.front(), arch);
    const std::string said = answers(images, load);
    const int driver = driverVersion / 10 * 10;
    const bool anyForDriver = std::any_of(offered.begin(), offered.end(),
                                          [&](const QuelmarDeviceImage* i) { return releaseNeeded(*i) <= driver; });
    if (driver > 0 && !anyForDriver) {
        const std::string why = driverTooOld(offered, driver);
        return said.empty() ? why : why + "; the driver refused " + said;
    }
    if (load.status == kOutOfMemory) return "the GPU ran out of memory loading them";
    return "the driver refused " + (said.empty() ? std::string("them: ") + CudaStatusName(load.status) : said);
}

std::string DescribeFailure(const CudaNRFailure& failure, int width, int height) {
    const CudaNRStep step = failure.step;
    // The driver fails all further work in this process: asking it about the
    // device would only fail again.
    if (CudaStatusIsSticky(failure.status)) {
        return std::string("the GPU faulted (") + CudaStatusName(failure.status) + "); restart the host to filter again";
    }
    if (step == CudaNRStep::FindDevice) return driverProblem(dev::driverInfo());
    if (step == CudaNRStep::None || step == CudaNRStep::InvalidCall) {
        return "a GPU operation was given arguments it does not take";
    }
    // A launch fails when the kernels did not load; that is the reason to give.
    const dev::KernelLoad load = isLaunch(step) ? dev::kernelLoad(failure.device) : dev::KernelLoad{};
    if (load.status != dev::kSuccess) {
        dev::DeviceInfo info;
        dev::deviceInfo(failure.device, &info);
        return kernelsDoNotLoad(failure.device, ExplainKernelLoad(dev::deviceImages(), info.computeCapability,
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

}  // namespace diag
