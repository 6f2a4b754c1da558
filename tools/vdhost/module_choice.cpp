#include "module_choice.h"

#include <limits.h>
#include <unistd.h>

#include <cstdio>

namespace {

constexpr const char* kCudaModule = "Quelmar_CUDA.so";

bool FileExists(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

}  // namespace

std::string ExecutableFolder() {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    std::string exe(path, static_cast<size_t>(length));
    size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "." : exe.substr(0, slash == 0 ? 1 : slash);
}

std::string DefaultModulePath(const diag::Report& report, std::string& reason) {
    const std::string folder = ExecutableFolder();
    const std::string cudaModule = folder + "/" + kCudaModule;
    const std::string cpuModule = folder + "/Quelmar_CPU.so";
    if (report.filters && !FileExists(cudaModule)) {
        reason = std::string("a GPU can filter, but ") + kCudaModule + " was not built";
        return cpuModule;
    }
    reason = std::string(kCudaModule) + " " + diag::Verdict(report);
    return report.filters ? cudaModule : cpuModule;
}

int RunGpuInfo() {
    const diag::Report report = diag::Diagnose();
    std::string reason;
    const std::string module = DefaultModulePath(report, reason);
    std::printf("%s%s %s\nvdhost would use: %s\n", diag::FormatReport(report).c_str(), kCudaModule,
                diag::Verdict(report).c_str(), module.c_str());
    return report.filters ? 0 : 1;
}
