// How many bytes a host bitmap's row holds at each depth, and what a zero
// pitch stands for. The one place depth becomes bytes: the run callback sizes
// every row it reads or writes from here.
#pragma once
#include <cstdint>

#include "host/yuy2.h"

// Depths whose rows have a size; any other depth is not a bitmap the module
// can address.
constexpr bool NRDepthHasRows(int32_t depth) { return depth > 0 && depth <= 64; }

// Bytes in one row of `width` pixels (width >= 0), 0 for a depth without rows.
// 16 bits is YUY2, whole pairs; 15 bits is 5-5-5 stored in 2 bytes a pixel;
// every other depth takes whole bits, the row rounded up to whole bytes, so
// 1-, 2- and 4-bit rows are never read as a byte a pixel.
constexpr int64_t NRDepthRowBytes(int32_t depth, int64_t width) {
    if (!NRDepthHasRows(depth)) return 0;
    if (depth == 16) return YUY2RowBytes(width);
    if (depth == 15) return width * 2;
    return (width * depth + 7) / 8;
}

// The pitch a zero pitch stands for: packed rows of that depth, no padding
// (the host's ABI pads nothing it does not state in the pitch). An odd-width
// YUY2 row has no packed pitch both readings agree on (w x 2, or whole pairs):
// 0, not addressable.
constexpr int64_t NRPackedPitch(int32_t depth, int64_t width) {
    if (depth == 16 && width % 2 != 0) return 0;
    return NRDepthRowBytes(depth, width);
}
