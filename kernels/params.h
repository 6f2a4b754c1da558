// Processing parameters: the kernel's by-value argument and part of the
// instance record. The layout binds host and device alike.
#pragma once

struct CudaNRParams {
    float denoise;    // spatial strength, 0..4
    float temporal;   // temporal blend strength, 0..1
    float deblock;    // deblocking strength, 0..2
    float sharpen;    // sharpening amount, 0..1
    float stabilize;  // pull toward previous output, 0..1
    float sigmaY;     // luma noise level on 0..255; < 0.5 means unknown
};

static_assert(sizeof(CudaNRParams) == 24, "CudaNRParams is six floats");
static_assert(alignof(CudaNRParams) == 4, "CudaNRParams is six floats");
