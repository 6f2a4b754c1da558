// Host frames handed to the GPU operations carry their own row pitch.
#pragma once
#include <cstddef>

#include "kernels/common.h"

// A pitch shorter than a row (or negative) would make a copy read or write
// outside the caller's buffer.
inline bool HostPitchValid(int pitch, int width) {
    return pitch >= 0 && static_cast<std::size_t>(pitch) >= static_cast<std::size_t>(width) * kBgraPixelBytes;
}
