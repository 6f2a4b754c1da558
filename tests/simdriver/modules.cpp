// Modules: the driver's choice of image for the emulated GPU and driver
// release, the kernels found in it, and their launches.
#include <cstring>

#include "kernels/cpu_executor.h"
#include "tests/simdriver/kernels.h"
#include "tests/simdriver/state.h"

using namespace sim;

namespace {

// The images of the fat binary at image; the driver takes its size from the
// container's own header.
CUresult readFatbin(const void* image, std::vector<fatbin::Image>* images) {
    const std::size_t size = fatbin::ContainerSize(image);  // 0: not a fat binary, not emulated
    return size != 0 && fatbin::ReadImages(image, size, images) ? CUDA_SUCCESS : CUDA_ERROR_INVALID_IMAGE;
}

Module* requireModule(Driver& d, const char* entry, CUmodule handle, Context* c) {
    return requireOwned(d, entry, d.modules, handle, c, "module");
}

std::string sizesText(const std::vector<std::size_t>& sizes) {
    std::string text = "(";
    for (std::size_t s : sizes) {
        if (text.size() > 1) text += ',';
        text += std::to_string(s);
    }
    return text += ")";
}

// The compiled kernel's parameters must be the ones the executor takes.
bool layoutMatches(Driver& d, const char* entry, const KernelSignature& signature,
                   const fatbin::KernelLayout& layout) {
    std::vector<std::size_t> compiled;
    for (const fatbin::KernelParam& p : layout.params) compiled.push_back(p.size);
    if (compiled == signature.paramSizes) return true;
    violation(d, entry, std::string(signature.name) + " is compiled with parameters " + sizesText(compiled) +
                            " but run with " + sizesText(signature.paramSizes), CUDA_SUCCESS);
    return false;
}

}  // namespace

SIM_EXPORT CUresult CUDAAPI cuModuleLoadData(CUmodule* module, const void* image) {
    SIM_ENTER_IN_CONTEXT("cuModuleLoadData");
    if (module == nullptr || image == nullptr) return CUDA_ERROR_INVALID_VALUE;
    std::vector<fatbin::Image> images;
    if (CUresult r = readFatbin(image, &images); r != CUDA_SUCCESS) {
        d.lastLoad = "not a fat binary the simulated driver can read";
        return r;
    }
    const int cc = d.machine.devices[static_cast<std::size_t>(d.visible[c->device])].cc;
    const LoadChoice choice = ChooseImage(images, cc, d.machine.driver);
    d.lastLoad = choice.account;
    if (choice.status != CUDA_SUCCESS) return static_cast<CUresult>(choice.status);
    auto m = std::make_unique<Module>();
    m->context = c;
    const fatbin::Image& chosen = images[static_cast<std::size_t>(choice.image)];
    m->payload.assign(chosen.payload.begin(), chosen.payload.end());
    m->image = chosen;
    m->image.payload = m->payload;
    m->image.jitOptions = {};
    *module = reinterpret_cast<CUmodule>(m.get());
    d.modules.insert(m.release());
    return CUDA_SUCCESS;
}

SIM_EXPORT CUresult CUDAAPI cuModuleUnload(CUmodule module) {
    SIM_ENTER_IN_CONTEXT("cuModuleUnload");
    Module* m = requireModule(d, entry, module, c);
    if (m == nullptr) return CUDA_ERROR_INVALID_HANDLE;
    drainContext(d, c);  // queued launches of its kernels finish first
    for (auto& f : m->functions) d.functions.erase(f.second.get());
    d.modules.erase(m);
    delete m;
    return CUDA_SUCCESS;
}

SIM_EXPORT CUresult CUDAAPI cuModuleGetFunction(CUfunction* function, CUmodule module, const char* name) {
    SIM_ENTER_IN_CONTEXT("cuModuleGetFunction");
    Module* m = requireModule(d, entry, module, c);
    if (m == nullptr) return CUDA_ERROR_INVALID_HANDLE;
    if (function == nullptr || name == nullptr) return CUDA_ERROR_INVALID_VALUE;
    if (auto known = m->functions.find(name); known != m->functions.end()) {
        *function = reinterpret_cast<CUfunction>(known->second.get());
        return CUDA_SUCCESS;
    }
    auto f = std::make_unique<Function>();
    if (!fatbin::ReadKernelLayout(m->image, name, &f->layout)) return CUDA_ERROR_NOT_FOUND;
    const KernelSignature* signature = FindKernel(name, &f->kernel);
    if (signature == nullptr) {
        return violation(d, entry, std::string(name) + " has no CPU executor to run it", CUDA_ERROR_NOT_FOUND);
    }
    if (!layoutMatches(d, entry, *signature, f->layout)) return CUDA_ERROR_INVALID_IMAGE;
    f->module = m;
    *function = reinterpret_cast<CUfunction>(f.get());
    d.functions.insert(f.get());
    m->functions.emplace(name, std::move(f));
    return CUDA_SUCCESS;
}

// A configuration the GPU refuses is an error for the caller to handle, not
// misuse; the arguments are read as the compiled kernel declares them.
SIM_EXPORT CUresult CUDAAPI cuLaunchKernel(CUfunction function, unsigned int gridX, unsigned int gridY,
                                           unsigned int gridZ, unsigned int blockX, unsigned int blockY,
                                           unsigned int blockZ, unsigned int sharedBytes, CUstream stream,
                                           void** params, void** extra) {
    SIM_ENTER_IN_CONTEXT("cuLaunchKernel");
    auto* f = reinterpret_cast<Function*>(function);
    if (d.functions.count(f) == 0) return violation(d, entry, "not a live function", CUDA_ERROR_INVALID_HANDLE);
    if (f->module->context != c) {
        return violation(d, entry, "a function of another context", CUDA_ERROR_INVALID_CONTEXT);
    }
    Stream* s = requireStream(d, entry, stream, c);
    if (s == nullptr) return CUDA_ERROR_INVALID_HANDLE;
    if (params == nullptr || extra != nullptr) {
        return violation(d, entry, "arguments must come as kernelParams", CUDA_ERROR_INVALID_VALUE);
    }
    Launch launch{{gridX, gridY, gridZ}, {blockX, blockY, blockZ}, sharedBytes, &f->layout, {}};
    const KernelSignature& kernel = KernelAt(f->kernel);
    switch (cpuexec::launchFit(kernel.shape, launch.grid, launch.block, sharedBytes, f->layout.staticSharedBytes)) {
        case cpuexec::LaunchFit::Runs:
            break;
        case cpuexec::LaunchFit::Refused:
            return CUDA_ERROR_INVALID_VALUE;
        case cpuexec::LaunchFit::Misfit:
            // A GPU would run it, with threads or shared memory the kernel
            // does not expect, and compute anything or fault.
            violation(d, entry, misfitReason(kernel, launch), CUDA_SUCCESS);
            queueFault(s);
            return CUDA_SUCCESS;
    }
    for (std::size_t i = 0; i < f->layout.params.size(); ++i) {
        const fatbin::KernelParam& p = f->layout.params[i];
        if (params[i] == nullptr) return violation(d, entry, "a null kernel argument", CUDA_ERROR_INVALID_VALUE);
        launch.params.resize(std::max(launch.params.size(), p.offset + p.size));
        std::memcpy(launch.params.data() + p.offset, params[i], p.size);
    }
    kernel.queue(d, entry, c, s, std::move(launch));
    return CUDA_SUCCESS;
}
