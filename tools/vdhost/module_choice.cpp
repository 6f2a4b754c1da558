#include "module_choice.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace {

bool FileExists(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

}  // namespace

bool CudaDevicePresent() {
    // The driver's own entry points, declared here so no CUDA header is needed.
    using CuInit = int (*)(unsigned int);
    using CuDeviceGetCount = int (*)(int*);
    void* driver = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!driver) return false;
    auto init = reinterpret_cast<CuInit>(dlsym(driver, "cuInit"));
    auto getCount = reinterpret_cast<CuDeviceGetCount>(dlsym(driver, "cuDeviceGetCount"));
    int count = 0;
    bool present = init && getCount && init(0) == 0 && getCount(&count) == 0 && count > 0;
    dlclose(driver);
    return present;
}

std::string ExecutableFolder() {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    std::string exe(path, static_cast<size_t>(length));
    size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "." : exe.substr(0, slash == 0 ? 1 : slash);
}

std::string DefaultModulePath(std::string& reason) {
    std::string folder = ExecutableFolder();
    std::string cudaModule = folder + "/Quelmar_CUDA.so";
    std::string cpuModule = folder + "/Quelmar_CPU.so";
    if (!CudaDevicePresent()) {
        reason = "no CUDA device found";
        return cpuModule;
    }
    if (!FileExists(cudaModule)) {
        reason = "CUDA device found, but Quelmar_CUDA.so was not built";
        return cpuModule;
    }
    reason = "CUDA device found";
    return cudaModule;
}
