// The GPU check (scripts/gpu-check.sh): the shipped CUDA module against the
// CPU module through the plug-in ABI, and the pipeline's steps timed on the
// GPU. Linked with the CUDA backend, which it times and asks about the GPU.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/sequences.h"

namespace gpucheck {

struct Size {
    int width;
    int height;
};

// "1918x1080,641x361"; false when any item is not WIDTHxHEIGHT.
bool ParseSizes(const std::string& text, std::vector<Size>* sizes);

// Whether the GPU can run the filter; says why not, loudly, when it cannot.
// 0 when it can; 77 where there is no NVIDIA driver or GPU at all and that
// may be skipped; 2 otherwise.
int CheckGpuReady(bool skipWithoutGpu);

// Exit status 0 when the two modules give the same bytes.
int Compare(const std::string& cudaModule, const std::string& cpuModule, const std::vector<Size>& sizes,
            int frames);

// Prints one table; 0 when every run succeeded.
int Time(const std::string& cudaModule, const std::vector<Size>& sizes, int frames);

}  // namespace gpucheck
