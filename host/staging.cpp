#include "host/staging.h"

#include <cstring>

#include "platform/row_bands.h"
#include "platform/virtual_memory.h"
#include "kernels/common.h"

void CopyRows(const uint8_t* src, ptrdiff_t srcPitch, uint8_t* dst, ptrdiff_t dstPitch,
              std::size_t rowBytes, int rows) {
    // Row addresses are computed per row, never one past the last row, so a
    // negative pitch never forms an address below the bitmap.
    const platform::RowSpan from{src, srcPitch, rowBytes}, to{dst, dstPitch, rowBytes};
    platform::ForEachRowBand(from, to, rows, [&](long long first, long long end) {
        for (long long r = first; r < end; ++r) std::memmove(dst + r * dstPitch, src + r * srcPitch, rowBytes);
    });
}

bool EnsureStagingBuffer(uint8_t** buffer, int32_t* pitch, int32_t* width, int32_t* height,
                         int w, int h) {
    if (w <= 0 || h <= 0 || w > kMaxStagingWidth) return false;
    if (StagingBufferFits(*buffer, *pitch, *width, *height, w, h)) return true;
    const int32_t rowBytes = w * kBgraPixelBytes;
    ReleaseStagingBuffer(buffer);
    *buffer = static_cast<uint8_t*>(
        platform::AllocatePages(static_cast<std::size_t>(rowBytes) * static_cast<std::size_t>(h)));
    *width = w;
    *height = h;
    *pitch = rowBytes;
    return *buffer != nullptr;
}

bool StagingBufferFits(const uint8_t* buffer, int32_t pitch, int32_t width, int32_t height, int w, int h) {
    return buffer != nullptr && width == w && height == h && w > 0 && w <= kMaxStagingWidth && pitch == w * kBgraPixelBytes;
}

void ReleaseStagingBuffer(uint8_t** buffer) {
    platform::ReleasePages(*buffer);
    *buffer = nullptr;
}
