// The device binary (fat binary of the three kernels) embedded in the module.
// quelmarFatbinSize is 0 in builds made without nvcc.
#pragma once
#include <cstddef>

extern "C" const unsigned char quelmarFatbin[];
extern "C" const std::size_t quelmarFatbinSize;
