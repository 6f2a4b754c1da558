// Row copies and the host-memory staging buffers (packed BGRA rows).
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernels/common.h"

// Copies rowBytes from each of rows rows; row r lies at base + r * pitch, pitches
// signed. Nothing happens for rows <= 0. Source and destination may overlap.
void CopyRows(const uint8_t* src, ptrdiff_t srcPitch, uint8_t* dst, ptrdiff_t dstPitch,
              std::size_t rowBytes, int rows);

// Keeps a staging buffer of w x h BGRA pixels with packed rows (pitch w x 4):
// reused when its size and pitch already match, otherwise released and
// allocated afresh. The sizes are recorded even when the allocation fails, so a
// null buffer is allocated again on the next call. Widths whose row (w x 4)
// does not fit a 32-bit pitch are refused and change nothing. Returns whether a
// buffer of the requested size is in place.
bool EnsureStagingBuffer(uint8_t** buffer, int32_t* pitch, int32_t* width, int32_t* height,
                         int w, int h);

// Whether EnsureStagingBuffer keeps the buffer as it is for a w x h frame.
bool StagingBufferFits(const uint8_t* buffer, int32_t pitch, int32_t width, int32_t height, int w, int h);

// Releases a staging buffer and nulls the pointer; its sizes are kept.
void ReleaseStagingBuffer(uint8_t** buffer);

// Largest width whose BGRA row fits a signed 32-bit pitch.
constexpr int kMaxStagingWidth = INT32_MAX / kBgraPixelBytes;
