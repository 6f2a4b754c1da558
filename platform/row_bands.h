// Row-by-row work on whole frames, split into bands of rows that run on the
// worker pool when the frame is large enough to gain from it. Each row gets
// what one pass in row order gives it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/worker_pool.h"

namespace platform {

// One side of a row operation: rows lie `pitch` bytes apart (the pitch may be
// negative) from `first`, and `rowBytes` of each are touched.
struct RowSpan {
    const void* first;
    ptrdiff_t pitch;
    std::size_t rowBytes;
};

// The bands to split `rows` into: 1 (a single pass on the calling thread) for
// small frames, and where the rows the two sides touch overlap, since there
// row order decides what is read.
unsigned RowBandCount(RowSpan src, RowSpan dst, long long rows);

// Calls body(first, end) for bands that cover rows [0, rows), each once.
template <class Body>
void ForEachRowBand(RowSpan src, RowSpan dst, long long rows, const Body& body) {
    const unsigned bands = RowBandCount(src, dst, rows);
    if (bands <= 1) {
        if (rows > 0) body(0ll, rows);
        return;
    }
    ParallelFor(bands, 0, [&](unsigned band) { body(rows * band / bands, rows * (band + 1) / bands); });
}

}  // namespace platform
