// The machines on which the CUDA module cannot filter, as the simulated driver
// emulates them, each with the reason every diagnostic must give for it: the
// GPU report (vdhost --gpu-info, quelmar-info.exe) after "passes frames
// through unfiltered: ", and the module's debug line after "Quelmar: frames
// pass through unfiltered: ". Shared by the Linux and the Windows tests.
#pragma once
#include <ostream>
#include <string>
#include <vector>

namespace emulated {

struct Failure {
    const char* name;
    const char* machine;  // QUELMAR_SIMDRIVER; null: no driver installed at all
    std::string why;
};

// How a test framework names one.
inline void PrintTo(const Failure& failure, std::ostream* out) { *out << failure.name; }

// The trial frame size of the report: where memory runs short for it, the
// module's frames of that size meet the same shortage.
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// coverage: what the build's device images cover (QUELMAR_DEVICE_COVERAGE,
// r570 or r580); driverLibrary: libcuda.so.1 or nvcuda.dll.
inline std::vector<Failure> Failures(const std::string& coverage, const std::string& driverLibrary) {
    const bool pinned = coverage == "r570";
    const std::string ptx = pinned ? "PTX for compute_60" : "PTX for compute_75";
    const std::string noGpu = " reports no GPU: none is installed, or the GPU is newer than this driver "
                              "(install the current driver)";
    std::vector<Failure> failures = {
        {"no_driver", nullptr, "no NVIDIA driver is installed (" + driverLibrary + " not found)"},
        {"driver_does_not_start", "fail=cuInit:1",
         "the NVIDIA driver R580 (CUDA 13.0) did not start: CUDA_ERROR_UNKNOWN"},
        {"no_gpu", "devices=none", "the NVIDIA driver R580 (CUDA 13.0)" + noGpu},
        {"gpu_newer_than_the_driver", "devices=11.0 driver=570.86", "the NVIDIA driver R570 (CUDA 12.8)" + noGpu},
        // A driver knows boards by device ID: an sm_120 board it does not list.
        {"board_newer_than_the_driver", "devices=rtx5050 driver=570.86",
         "the NVIDIA driver R570 (CUDA 12.8)" + noGpu},
        {"pascal_after_r580", "devices=6.1 driver=590.44",
         "the NVIDIA driver R590 (CUDA 13.1)" + noGpu +
             ", or it is a Maxwell, Pascal or Volta GPU, which R580 is the last driver branch to support"},
        {"no_image_for_the_gpu", "devices=5.0",
         "our kernels do not load on GPU 0 (Simulated GPU sm_50, compute capability 5.0): no image for "
         "sm_50: this build has machine code for sm_"},
        {"too_little_memory", "memory-mib=16",
         "GPU 0 (Simulated GPU sm_120, compute capability 12.0) has too little free memory for 1920x1080 frames"},
        // A GPU only the PTX serves, whose compilation fails.
        {"kernels_refused", "devices=11.0 fail=cuModuleLoadDataEx:1",
         "our kernels do not load on GPU 0 (Simulated GPU sm_110, compute capability 11.0): the driver "
         "refused " + ptx + " (CUDA_ERROR_UNKNOWN)"},
    };
    // The pinned build's machine code loads on every driver since R525, the
    // oldest emulated; the fallback build's images need R580.
    if (!pinned) {
        failures.push_back({"driver_older_than_every_image", "devices=8.6 driver=560.94",
                            "our kernels do not load on GPU 0 (Simulated GPU sm_86, compute capability 8.6): "
                            "driver R560 (CUDA 12.6): this build needs R580 or newer (CUDA 13.0, PTX ISA 9.0); the "
                            "driver refused machine code for sm_86 (CUDA_ERROR_NO_BINARY_FOR_GPU) and PTX for "
                            "compute_75 (CUDA_ERROR_UNSUPPORTED_PTX_VERSION); its JIT compiler says: "});
    }
    return failures;
}

}  // namespace emulated
