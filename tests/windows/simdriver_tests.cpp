// The CUDA DLL with a driver: the simulated nvcuda.dll, put in the Wine
// prefix's system directory by the test runner (QUELMAR_WINE_SYSTEM_DLLS),
// where the DLL's hardened loader looks for it, and nowhere else.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/simdriver/control.h"
#include "tests/support/sequences.h"
#include "tests/windows/win_host.h"
#include "tests/windows/wintest.h"

namespace {

using winhost::ModulePath;

// Every frame of the compared sequences, each sequence in a fresh instance.
std::vector<uint8_t> FilterCompared(const char* dll, std::vector<uint8_t>* inputs = nullptr) {
    static modhost::Module m;
    m = modhost::Module{};
    if (!modhost::LoadModule(&m, ModulePath(dll).c_str())) return {};
    const std::vector<uint8_t> outputs = qtest::FilterSequences(&m, qtest::kCompared, inputs);
    modhost::UnloadModule(&m);
    return outputs;
}

void CheckDriverBalanced(SimControl& sim) {
    WT_CHECK_EQ(sim.quelmarSimTakeViolations(), 0);
    WT_CHECK_EQ(sim.quelmarSimRetains(0), 0);
    WT_CHECK_EQ(sim.quelmarSimLiveAllocations() + sim.quelmarSimLiveStreams() + sim.quelmarSimLiveModules(), 0);
}

WT_CASE(cuda_module_through_the_driver_matches_the_cpu_module) {
    SimControl sim;
    WT_REQUIRE(sim.resolve());
    // The oldest branch that lists the GPU and loads this build's machine code.
    const bool pinned = std::string(QUELMAR_DEVICE_COVERAGE) == "r570";
    WT_REQUIRE(sim.quelmarSimReset(pinned ? "devices=12.0 driver=570.86" : "devices=12.0 driver=580.65") == 1);
    std::vector<uint8_t> inputs;
    const std::vector<uint8_t> cuda = FilterCompared("Quelmar_CUDA.dll", &inputs);
    WT_REQUIRE(!cuda.empty());
    WT_CHECK(cuda != inputs);
    WT_CHECK(cuda == FilterCompared("Quelmar_CPU.dll"));
    WT_CHECK_EQ(std::string(sim.quelmarSimLoadAccount()),
                std::string("sm_120 machine code made by CUDA ") + (pinned ? "12.8" : "13.0") + ", on sm_120");
    CheckDriverBalanced(sim);
}

// Driver failures whose effect is known: the driver unusable (every frame
// passes through, untouched), a failed start (the first frame creates the
// context instead), machine code refused (the PTX serves instead), and no
// kernels for the first instance on a GPU only the PTX serves (its frames
// pass through; the next instance, in a fresh context, filters). The Linux
// tests fail every call in turn.
WT_CASE(cuda_module_passes_frames_through_when_the_driver_fails) {
    SimControl sim;
    WT_REQUIRE(sim.resolve());
    std::vector<uint8_t> inputs;
    const std::vector<uint8_t> cpu = FilterCompared("Quelmar_CPU.dll", &inputs);
    const std::size_t firstSequence = qtest::SequenceBytes(qtest::kCompared[0]);
    WT_REQUIRE(cpu.size() == inputs.size() && cpu.size() > firstSequence);
    std::vector<uint8_t> firstPassedThrough = cpu;
    std::copy_n(inputs.begin(), firstSequence, firstPassedThrough.begin());
    const struct {
        const char* devices;
        const char* entry;
        const std::vector<uint8_t>& expected;
    } failures[] = {{"12.0", "cuInit", inputs}, {"12.0", "cuStreamCreate", cpu}, {"12.0", "cuModuleLoadData", cpu},
                    {"11.0", "cuModuleLoadDataEx", firstPassedThrough}};
    for (const auto& f : failures) {
        WT_REQUIRE(sim.quelmarSimReset((std::string("driver=580.65 devices=") + f.devices).c_str()) == 1);
        sim.quelmarSimFailCall(f.entry, 1);
        WT_CHECK(FilterCompared("Quelmar_CUDA.dll") == f.expected);
        CheckDriverBalanced(sim);
        if (wintest::CurrentFailed()) {
            std::printf("  (failing %s)\n", f.entry);
            return;
        }
    }
}

// An nvcuda.dll beside the host program and in its working folder, none in
// the system directory: the DLL loads neither, and passes frames through.
WT_CASE(cuda_module_loads_the_driver_from_the_system_directory_only) {
    const std::string planted = wintest::Option("planted");
    WT_REQUIRE(!planted.empty());
    const std::string besideHost = ModulePath("nvcuda.dll");
    WT_REQUIRE(CopyFileA(planted.c_str(), besideHost.c_str(), FALSE));
    char folder[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, folder);
    const std::string inWorkingFolder = std::string(folder) + "\\nvcuda.dll";
    CopyFileA(planted.c_str(), inWorkingFolder.c_str(), FALSE);

    std::vector<uint8_t> inputs;
    const std::vector<uint8_t> outputs = FilterCompared("Quelmar_CUDA.dll", &inputs);
    WT_CHECK(!outputs.empty());
    WT_CHECK(outputs == inputs);
    WT_CHECK(GetModuleHandleW(L"nvcuda.dll") == nullptr);
    DeleteFileA(besideHost.c_str());
    DeleteFileA(inWorkingFolder.c_str());
}

}  // namespace
