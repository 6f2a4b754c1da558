// Packed YUY2 (Y0 U Y1 V per pixel pair) to and from BGRA, integer BT.601 with
// limited-range luma. A row of width w holds (w + 1) / 2 pairs of YUY2 and w
// pixels of BGRA; neither conversion reads or writes past either row.
#pragma once
#include <cstddef>
#include <cstdint>

void ConvertYUY2ToBGRA(const uint8_t* src, ptrdiff_t srcPitch, uint8_t* dst,
                       ptrdiff_t dstPitch, int width, int rows);

// For an odd width the last pair's missing second pixel is its first repeated.
void ConvertBGRAToYUY2(const uint8_t* src, ptrdiff_t srcPitch, uint8_t* dst,
                       ptrdiff_t dstPitch, int width, int rows);

// Bytes in one YUY2 row of the given width.
constexpr int64_t YUY2RowBytes(int64_t width) { return (width + 1) / 2 * 4; }
