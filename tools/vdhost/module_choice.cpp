#include "module_choice.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include "gpu/cuda_driver_api.h"
#include "gpu/cuda_status.h"

namespace {

bool FileExists(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

// The driver library, opened once by its soname and never closed: a driver
// is not made to be unloaded, and the module opens the same one after us.
void* DriverLibrary(std::string& error) {
    static void* library = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
    static const std::string openError = library ? "" : dlerror();
    error = openError;
    return library;
}

}  // namespace

CudaProbe ProbeCuda() {
    std::string error;
    void* library = DriverLibrary(error);
    if (!library) return {false, "no CUDA driver: " + error};
    auto init = reinterpret_cast<decltype(cudrv::Driver::init)>(dlsym(library, "cuInit"));
    auto getCount = reinterpret_cast<decltype(cudrv::Driver::deviceGetCount)>(dlsym(library, "cuDeviceGetCount"));
    if (!init || !getCount) return {false, "the CUDA driver lacks cuInit or cuDeviceGetCount"};
    if (int status = init(0); status != 0) return {false, std::string("cuInit: ") + CudaStatusName(status)};
    int count = 0;
    if (int status = getCount(&count); status != 0) {
        return {false, std::string("cuDeviceGetCount: ") + CudaStatusName(status)};
    }
    if (count < 1) return {false, "the CUDA driver reports no device"};
    return {true, std::to_string(count) + (count == 1 ? " device" : " devices")};
}

bool CudaDevicePresent() { return ProbeCuda().devicePresent; }

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
    const CudaProbe probe = ProbeCuda();
    if (!probe.devicePresent) {
        reason = "no CUDA device found; " + probe.detail;
        return cpuModule;
    }
    if (!FileExists(cudaModule)) {
        reason = "CUDA device found, but Quelmar_CUDA.so was not built";
        return cpuModule;
    }
    reason = "CUDA device found";
    return cudaModule;
}
