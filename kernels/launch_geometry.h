// How the three kernels are launched, fixed at compile time: the thread-block
// shapes they are written for, their shared memory, the motion search's block,
// radius and step, the profile's sampling, and the grids that follow from a
// frame size. The kernels index their threads and size their shared memory by
// these numbers; the pipeline launches them so; the CPU executor runs exactly
// these blocks; the CPU backend and the simulated driver refuse other shapes.
#pragma once
#include <cstddef>

#include "kernels/common.h"

namespace qnr {

// A launch's grid or thread block, as the runtime's dim3.
struct Dim3 {
    unsigned x = 1, y = 1, z = 1;
};

constexpr bool operator==(Dim3 a, Dim3 b) { return a.x == b.x && a.y == b.y && a.z == b.z; }
constexpr bool operator!=(Dim3 a, Dim3 b) { return !(a == b); }

// ---- motion estimation: one vector per motion block ----------------------------

constexpr int kMotionBlock = 16;  // pixels on a side of a motion block
constexpr unsigned kMotionThreadsX = 8, kMotionThreadsY = 8;
constexpr unsigned kMotionThreads = kMotionThreadsX * kMotionThreadsY;
constexpr Dim3 kMotionThreadBlock{kMotionThreadsX, kMotionThreadsY, 1};
// One float per thread for the cost tree, as dynamic shared memory.
constexpr std::size_t kMotionSharedBytes = kMotionThreads * sizeof(float);
constexpr int kMotionRadius = 4;  // displacements -4..4 on each axis
constexpr int kMotionStep = 2;    // every second pixel of a block, on each axis, is compared

// ---- processing: one thread per pixel --------------------------------------------

constexpr unsigned kProcessThreadsX = 16, kProcessThreadsY = 16;
constexpr unsigned kProcessThreads = kProcessThreadsX * kProcessThreadsY;
constexpr Dim3 kProcessThreadBlock{kProcessThreadsX, kProcessThreadsY, 1};

// ---- noise profiling: one thread per sample point ------------------------------

constexpr int kProfileStep = 4;  // a sample point every fourth pixel on each axis
constexpr unsigned kProfileThreadsX = 16, kProfileThreadsY = 16;
constexpr unsigned kProfileSlots = kProfileThreadsX * kProfileThreadsY;  // one sum per thread
constexpr Dim3 kProfileThreadBlock{kProfileThreadsX, kProfileThreadsY, 1};
// Two arrays of one double per thread: the residual sums and the weights.
constexpr std::size_t kProfileStaticSharedBytes = 2 * kProfileSlots * sizeof(double);

// What each kernel is written for: its thread block, which is also its launch
// bound, and the shared memory it uses.
struct KernelShape {
    Dim3 block;
    std::size_t dynamicSharedBytes;  // the launch must give at least this
    std::size_t staticSharedBytes;   // the kernel declares this
};
constexpr KernelShape kMotionShape{kMotionThreadBlock, kMotionSharedBytes, 0};
constexpr KernelShape kProcessShape{kProcessThreadBlock, 0, 0};
constexpr KernelShape kProfileShape{kProfileThreadBlock, 0, kProfileStaticSharedBytes};

// ---- what every launch must satisfy ---------------------------------------------

constexpr unsigned kMaxThreadsPerBlock = 1024;
constexpr std::size_t kMaxSharedBytesPerBlock = 48 * 1024;

constexpr bool isPowerOfTwo(unsigned v) { return v != 0 && (v & (v - 1)) == 0; }

// The block reductions halve their slots level by level.
static_assert(isPowerOfTwo(kMotionThreads) && isPowerOfTwo(kProfileSlots), "reduction trees need 2^n slots");
static_assert(kMotionThreads <= kMaxThreadsPerBlock && kProcessThreads <= kMaxThreadsPerBlock &&
                  kProfileSlots <= kMaxThreadsPerBlock,
              "a block holds at most 1024 threads");
static_assert(kMotionSharedBytes <= kMaxSharedBytesPerBlock && kProfileStaticSharedBytes <= kMaxSharedBytesPerBlock,
              "shared memory within the 48 KiB every GPU gives a block");

// ---- grids for a frame -------------------------------------------------------------

// How many pieces of `per` cover `extent`; none for an empty extent. Exact for any int.
constexpr unsigned piecesCovering(int extent, long long per) {
    return extent > 0 ? static_cast<unsigned>((extent + per - 1) / per) : 0;
}

// Motion blocks across a frame's width (or down its height).
constexpr int motionBlocksCovering(int pixels) { return static_cast<int>(piecesCovering(pixels, kMotionBlock)); }

// kEstimateMV16: one thread block per motion block.
constexpr Dim3 motionGrid(int width, int height) {
    return Dim3{piecesCovering(width, kMotionBlock), piecesCovering(height, kMotionBlock), 1};
}

// kProcess: one thread per pixel.
constexpr Dim3 processGrid(int width, int height) {
    return Dim3{piecesCovering(width, kProcessThreadsX), piecesCovering(height, kProcessThreadsY), 1};
}

// kProfileAuto: one thread per sample point, points at multiples of the step.
constexpr Dim3 profileGrid(int width, int height) {
    return Dim3{piecesCovering(static_cast<int>(piecesCovering(width, kProfileStep)), kProfileThreadsX),
                piecesCovering(static_cast<int>(piecesCovering(height, kProfileStep)), kProfileThreadsY), 1};
}

// ---- device buffers the launches address -------------------------------------------

// Bytes of a motion-vector buffer, one int2 per motion block; 0 for an empty grid.
constexpr std::size_t kMotionVectorBytes = 2 * sizeof(int);
constexpr std::size_t motionVectorBytes(int blocksX, int blocksY) {
    return blocksX > 0 && blocksY > 0
               ? kMotionVectorBytes * static_cast<std::size_t>(blocksX) * static_cast<std::size_t>(blocksY)
               : 0;
}

// Bytes from a frame's first pixel to just past its last, with rows `pitch`
// pixels apart; 0 for an empty frame or rows that would overlap.
constexpr std::size_t frameSpanBytes(int width, int height, int pitch) {
    return width > 0 && height > 0 && pitch >= width
               ? (static_cast<std::size_t>(pitch) * (static_cast<std::size_t>(height) - 1) +
                  static_cast<std::size_t>(width)) * kBgraPixelBytes
               : 0;
}

}  // namespace qnr
