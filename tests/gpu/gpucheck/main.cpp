// gpucheck compare CUDA_MODULE CPU_MODULE [--sizes WxH,...] [--frames N] [--skip-without-gpu]
//     Both modules through the plug-in ABI on the same BGRA and YUY2 frames,
//     with settings that take the spatial radius to 3, 4 and 5 and with noise
//     profiling: they must give the same bytes (--exact, which says so, is
//     accepted for the scripts that pass it). Exit status 0 when they do,
//     1 when they do not, 2 when the GPU cannot run the filter, 77 with
//     --skip-without-gpu where there is no NVIDIA driver or GPU at all.
//     Sizes default to 1918x1080 and 641x361, frames to 4.
// gpucheck time CUDA_MODULE [--sizes WxH,...] [--frames N]
//     Each step of the pipeline, the whole frame through the module (with its
//     host copies), and the transfer floor from pageable and page-locked
//     memory. Sizes default to 1920x1080 and 3840x2160, frames to 20.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/gpu/gpucheck/gpucheck.h"

namespace {

struct Options {
    std::vector<std::string> positional;
    std::vector<gpucheck::Size> sizes;
    int frames = 0;
    bool skipWithoutGpu = false;
};

bool Parse(int argc, char** argv, Options* o) {
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--sizes" && hasValue) {
            if (!gpucheck::ParseSizes(argv[++i], &o->sizes)) return false;
        } else if (arg == "--frames" && hasValue) {
            o->frames = std::atoi(argv[++i]);
            if (o->frames < 1) return false;
        } else if (arg == "--exact") {
            // Equality is the only criterion.
        } else if (arg == "--skip-without-gpu") {
            o->skipWithoutGpu = true;
        } else if (arg.rfind("--", 0) == 0) {
            return false;
        } else {
            o->positional.push_back(arg);
        }
    }
    return true;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: gpucheck compare CUDA_MODULE CPU_MODULE [--sizes WxH,...] [--frames N] [--skip-without-gpu]\n"
                 "       gpucheck time CUDA_MODULE [--sizes WxH,...] [--frames N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (argc < 2 || !Parse(argc, argv, &o)) return Usage();
    const std::string mode = argv[1];
    if (mode == "compare" && o.positional.size() == 2) {
        if (o.sizes.empty()) o.sizes = {{1918, 1080}, {641, 361}};
        if (const int ready = gpucheck::CheckGpuReady(o.skipWithoutGpu); ready != 0) return ready;
        return gpucheck::Compare(o.positional[0], o.positional[1], o.sizes, o.frames ? o.frames : 4);
    }
    if (mode == "time" && o.positional.size() == 1) {
        if (o.sizes.empty()) o.sizes = {{1920, 1080}, {3840, 2160}};
        if (const int ready = gpucheck::CheckGpuReady(false); ready != 0) return ready;
        return gpucheck::Time(o.positional[0], o.sizes, o.frames ? o.frames : 20);
    }
    return Usage();
}
