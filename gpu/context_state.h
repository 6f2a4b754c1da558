// Inside a GPU context: its device buffers and stream, for the operations in
// gpu/ and for the tests that look inside; the product outside gpu/ never sees it.
#pragma once
#include <cstdint>

#include "gpu/cudanr.h"

struct CudaNRContext {
    int32_t width;
    int32_t height;
    uint64_t pitchBytes;
    uchar4* ring[3];  // the last three input frames; ringIndex is the next one's slot
    uchar4* out;
    uchar4* prevOut;  // the previous output, fed back into the next frame
    int2* mv1;        // motion against the previous input frame
    int2* mv2;        // and against the one before
    int32_t blocksX;  // motion blocks across and down the frame
    int32_t blocksY;
    dev::Stream stream;
    int32_t ringIndex;
    // The noise profile's totals, one slot per thread block of
    // qnr::profileGrid(width, height), and their host copy: the sums' slots,
    // then the weights'.
    double* blockSums;
    double* blockWeights;
    double* hostBlockTotals;
    uint64_t profileBlocks;  // slots in each
    int32_t device;  // the device it was created on; every operation selects it first
};
