// Modules: the one image handed over, read as the driver reads it (a cubin or
// NUL-terminated PTX), the driver's rules for it on the emulated GPU and
// driver release, the kernels found in it, and their launches.
#include <cstdint>
#include <cstring>

#include "kernels/cpu_executor.h"
#include "tests/simdriver/kernels.h"
#include "tests/simdriver/state.h"

using namespace sim;

namespace {

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
                   const deviceimage::KernelLayout& layout) {
    std::vector<std::size_t> compiled;
    for (const deviceimage::KernelParam& p : layout.params) compiled.push_back(p.size);
    if (compiled == signature.paramSizes) return true;
    violation(d, entry, std::string(signature.name) + " is compiled with parameters " + sizesText(compiled) +
                            " but run with " + sizesText(signature.paramSizes), CUDA_SUCCESS);
    return false;
}

// A log buffer the caller gave with its JIT options.
struct LogBuffer {
    char* text = nullptr;
    void** size = nullptr;  // the option value: its capacity in, the bytes written out
};

struct JitLogs {
    LogBuffer error, info;
};

// The options of cuModuleLoadDataEx: the log buffers are honoured, the other
// options cuda.h defines are accepted and do not change what loads.
CUresult readJitOptions(Driver& d, const char* entry, unsigned count, CUjit_option* options, void** values,
                        JitLogs* logs) {
    if (count == 0) return CUDA_SUCCESS;
    if (options == nullptr || values == nullptr) {
        return violation(d, entry, "options without their values", CUDA_ERROR_INVALID_VALUE);
    }
    for (unsigned i = 0; i < count; ++i) {
        switch (options[i]) {
            case CU_JIT_ERROR_LOG_BUFFER: logs->error.text = static_cast<char*>(values[i]); break;
            case CU_JIT_ERROR_LOG_BUFFER_SIZE_BYTES: logs->error.size = &values[i]; break;
            case CU_JIT_INFO_LOG_BUFFER: logs->info.text = static_cast<char*>(values[i]); break;
            case CU_JIT_INFO_LOG_BUFFER_SIZE_BYTES: logs->info.size = &values[i]; break;
            default:
                if (options[i] < 0 || options[i] >= CU_JIT_NUM_OPTIONS) {
                    return violation(d, entry, "JIT option " + std::to_string(options[i]) + " is not cuda.h's",
                                     CUDA_ERROR_INVALID_VALUE);
                }
        }
    }
    for (const LogBuffer* log : {&logs->error, &logs->info}) {
        const auto capacity = log->size ? static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(*log->size)) : 0u;
        if (capacity > 0 && log->text == nullptr) {
            return violation(d, entry, "a log size without its buffer", CUDA_ERROR_INVALID_VALUE);
        }
    }
    return CUDA_SUCCESS;
}

// The compiler's words, NUL-terminated and cut to the buffer's size; the size
// option's value becomes the bytes of text written, as the driver writes it back.
void writeLog(const LogBuffer& log, const std::string& text) {
    if (log.size == nullptr) return;
    const auto capacity = static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(*log.size));
    if (capacity == 0 || log.text == nullptr) {
        *log.size = nullptr;
        return;
    }
    const std::size_t n = std::min<std::size_t>(text.size(), capacity - 1);
    std::memcpy(log.text, text.data(), n);
    log.text[n] = '\0';
    *log.size = reinterpret_cast<void*>(static_cast<std::uintptr_t>(n));
}

// Loads the image at image into context c: the driver sizes it from its own
// headers (cubin) or its NUL (PTX), reads it, and applies its rules for the
// context's GPU. A fat-binary container is not emulated: only what the
// product hands over, one cubin or the PTX, is.
CUresult loadModule(Driver& d, Context* c, CUmodule* module, const void* image, const JitLogs& logs) {
    LoadResult result;
    deviceimage::Image read;
    const deviceimage::Format format = deviceimage::Identify(image);
    const std::size_t size = deviceimage::ImageSize(image);
    const bool readable = size != 0 && deviceimage::ReadImage({static_cast<const unsigned char*>(image), size}, &read);
    if (format == deviceimage::Format::FatBinary) {
        result.status = CUDA_ERROR_INVALID_IMAGE;
        result.account = "a fat-binary container: the simulated driver reads a cubin or PTX only";
    } else if (format == deviceimage::Format::Cubin && !readable) {
        result.status = CUDA_ERROR_INVALID_IMAGE;
        result.account = "a malformed cubin, or one for an ELF ABI this driver does not read";
    } else if (format == deviceimage::Format::Ptx && !readable) {
        result.status = CUDA_ERROR_INVALID_PTX;
        result.account = "not PTX the driver can compile";
        result.jitLog = "ptx line 1: expected .version, then .target";
    } else if (!readable) {
        result.status = CUDA_ERROR_INVALID_IMAGE;
        result.account = "neither a cubin nor PTX";
    } else {
        const int cc = d.machine.devices[static_cast<std::size_t>(d.visible[c->device])].cc;
        result = LoadImage(read, cc, d.machine.driver);
    }
    d.lastLoad = result.account;
    writeLog(logs.error, result.jitLog);
    writeLog(logs.info, result.jitInfo);
    if (result.status != CUDA_SUCCESS) return static_cast<CUresult>(result.status);
    auto m = std::make_unique<Module>();
    m->context = c;
    m->payload.assign(read.bytes.begin(), read.bytes.end());  // the caller may free its copy
    m->image = read;
    m->image.bytes = m->payload;
    *module = reinterpret_cast<CUmodule>(m.get());
    d.modules.insert(m.release());
    return CUDA_SUCCESS;
}

}  // namespace

SIM_EXPORT CUresult CUDAAPI cuModuleLoadData(CUmodule* module, const void* image) {
    SIM_ENTER_IN_CONTEXT("cuModuleLoadData");
    if (module == nullptr || image == nullptr) return CUDA_ERROR_INVALID_VALUE;
    return loadModule(d, c, module, image, {});
}

SIM_EXPORT CUresult CUDAAPI cuModuleLoadDataEx(CUmodule* module, const void* image, unsigned int numOptions,
                                               CUjit_option* options, void** optionValues) {
    SIM_ENTER_IN_CONTEXT("cuModuleLoadDataEx");
    if (module == nullptr || image == nullptr) return CUDA_ERROR_INVALID_VALUE;
    JitLogs logs;
    if (CUresult r = readJitOptions(d, entry, numOptions, options, optionValues, &logs); r != CUDA_SUCCESS) return r;
    return loadModule(d, c, module, image, logs);
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
    if (!deviceimage::ReadKernelLayout(m->image, name, &f->layout)) return CUDA_ERROR_NOT_FOUND;
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
    const KernelSignature& kernel = KernelAt(f->kernel);
    const std::string perKernel = std::string(entry) + ":" + kernel.name;
    if (const CUresult failure = injected(d, perKernel.c_str()); failure != CUDA_SUCCESS) return failure;
    Launch launch{{gridX, gridY, gridZ}, {blockX, blockY, blockZ}, sharedBytes, &f->layout, {}};
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
        const deviceimage::KernelParam& p = f->layout.params[i];
        if (params[i] == nullptr) return violation(d, entry, "a null kernel argument", CUDA_ERROR_INVALID_VALUE);
        launch.params.resize(std::max(launch.params.size(), p.offset + p.size));
        std::memcpy(launch.params.data() + p.offset, params[i], p.size);
    }
    kernel.queue(d, entry, c, s, std::move(launch));
    return CUDA_SUCCESS;
}
