// Each kernel's one parameter, passed by value. The layouts are a contract
// between the host side that fills them (the device layer's backends, the CPU
// executor) and the device code nvcc compiles: both include this header, so
// the asserts below hold for either compiler. Pointers lead and the 32-bit
// fields follow, so no field needs padding before it; the sizes are what each
// image declares for its kernel's parameter.
#pragma once
#include <cstddef>
#include <type_traits>

#include "kernels/common.h"
#include "kernels/params.h"

namespace qnr {

// kEstimateMV16: the vector of 16x16 block (bx, by) of `cur` against `ref`
// goes to mv[by * blocksX + bx].
struct MotionArgs {
    const uchar4* cur;  //  0
    const uchar4* ref;  //  8
    int2* mv;           // 16
    int width;          // 24
    int height;         // 28
    int pitch;          // 32, in pixels, both frames
    int blocksX;        // 36
    int blocksY;        // 40
    int radius;         // 44
    int step;           // 48
};                      // 52, padded to 56

// kProcess: one output pixel per thread; mv1 and mv2 hold blocksX vectors
// per row of motion blocks.
struct ProcessArgs {
    const uchar4* cur;      //  0
    const uchar4* prev;     //  8
    const uchar4* prev2;    // 16
    const uchar4* prevOut;  // 24
    const int2* mv1;        // 32
    const int2* mv2;        // 40
    uchar4* out;            // 48
    int blocksX;            // 56
    int width;              // 60
    int height;             // 64
    int pitch;              // 68, in pixels, every frame
    CudaNRParams params;    // 72
};                          // 96

// kProfileAuto: block (bx, by)'s totals go to blockSums[b] and
// blockWeights[b], b = by * gridDim.x + bx.
struct ProfileArgs {
    const uchar4* src;     //  0
    double* blockSums;     //  8
    double* blockWeights;  // 16
    int width;             // 24
    int height;            // 28
    int pitch;             // 32, in pixels
    int step;              // 36
};                         // 40

static_assert(sizeof(void*) == 8, "the kernels' parameters are laid out for 64-bit hosts");
static_assert(std::is_trivially_copyable_v<MotionArgs> && std::is_trivially_copyable_v<ProcessArgs> &&
                  std::is_trivially_copyable_v<ProfileArgs>,
              "launches copy the parameters byte for byte");

static_assert(sizeof(MotionArgs) == 56 && alignof(MotionArgs) == 8, "MotionArgs layout");
static_assert(offsetof(MotionArgs, ref) == 8 && offsetof(MotionArgs, mv) == 16 && offsetof(MotionArgs, width) == 24 &&
                  offsetof(MotionArgs, height) == 28 && offsetof(MotionArgs, pitch) == 32 &&
                  offsetof(MotionArgs, blocksX) == 36 && offsetof(MotionArgs, blocksY) == 40 &&
                  offsetof(MotionArgs, radius) == 44 && offsetof(MotionArgs, step) == 48,
              "MotionArgs offsets");

static_assert(sizeof(ProcessArgs) == 96 && alignof(ProcessArgs) == 8, "ProcessArgs layout");
static_assert(offsetof(ProcessArgs, prev) == 8 && offsetof(ProcessArgs, prev2) == 16 &&
                  offsetof(ProcessArgs, prevOut) == 24 && offsetof(ProcessArgs, mv1) == 32 &&
                  offsetof(ProcessArgs, mv2) == 40 && offsetof(ProcessArgs, out) == 48 &&
                  offsetof(ProcessArgs, blocksX) == 56 && offsetof(ProcessArgs, width) == 60 &&
                  offsetof(ProcessArgs, height) == 64 && offsetof(ProcessArgs, pitch) == 68 &&
                  offsetof(ProcessArgs, params) == 72,
              "ProcessArgs offsets");

static_assert(sizeof(ProfileArgs) == 40 && alignof(ProfileArgs) == 8, "ProfileArgs layout");
static_assert(offsetof(ProfileArgs, blockSums) == 8 && offsetof(ProfileArgs, blockWeights) == 16 &&
                  offsetof(ProfileArgs, width) == 24 && offsetof(ProfileArgs, height) == 28 &&
                  offsetof(ProfileArgs, pitch) == 32 && offsetof(ProfileArgs, step) == 36,
              "ProfileArgs offsets");

}  // namespace qnr
