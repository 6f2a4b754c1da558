// The CPU executor: runs the kernels' per-thread code for every thread of every
// block of a launch, with the GPU's block-reduction order, spreading the work
// over a pool of worker threads. Where the processor has AVX2 or AVX-512 it
// runs groups of neighbouring threads in the lanes of vector registers; every
// lane performs its thread's operations, so results are the same bits on every
// instruction set and for any number of workers. Callers (the CPU device
// backend) validate the launch configuration first and report a refused one;
// given one anyway, these functions run nothing, as a GPU would.
#pragma once
#include <cstddef>

#include "kernels/common.h"
#include "kernels/params.h"

namespace cpuexec {

struct Dim3 {
    unsigned x = 1, y = 1, z = 1;
};

// Static shared memory of kProfileAuto (two arrays of 256 doubles); the other
// kernels have none.
constexpr std::size_t kProfileStaticSharedBytes = 2 * 256 * sizeof(double);

// True when a GPU would accept this configuration (sizes non-zero, at most
// 1024 threads per block, block.z <= 64, grid.y and grid.z <= 65535, static
// plus dynamic shared memory within 48 KiB).
bool launchConfigValid(Dim3 grid, Dim3 block, std::size_t dynamicSharedBytes,
                       std::size_t staticSharedBytes = 0);

// Caps the worker threads of later launches; 0 (the default) uses every core.
// Results do not depend on it.
void setWorkerLimit(unsigned workers);

// The instruction sets the executor has builds for.
enum class InstructionSet { Baseline, Avx2, Avx512 };  // x86-64; AVX2 + FMA; AVX-512 F/BW/DQ/VL

bool instructionSetSupported(InstructionSet set);

// The build later launches use: the best the processor supports, unless
// useInstructionSet chose another.
InstructionSet instructionSetInUse();

// Makes later launches use `set` (tests and benchmarks compare the builds);
// false, changing nothing, when the processor lacks it.
bool useInstructionSet(InstructionSet set);

// The kernels' fast exponential of each of `count` values, computed as the
// build in use computes it inside a launch (tests compare the builds).
void fastExps(const float* v, float* out, unsigned count);

void runEstimateMV16(Dim3 grid, Dim3 block, std::size_t dynamicSharedBytes, const uchar4* cur,
                     const uchar4* ref, int width, int height, int pitch, int2* mv, int blocksX,
                     int blocksY, int radius, int step);

void runProcess(Dim3 grid, Dim3 block, const uchar4* cur, const uchar4* prev,
                const uchar4* prev2, const uchar4* prevOut, const int2* mv1, const int2* mv2,
                int blocksX, uchar4* out, int width, int height, int pitch, CudaNRParams params);

void runProfileAuto(Dim3 grid, Dim3 block, const uchar4* src, int width, int height, int pitch,
                    int step, double* accSum, double* accWeight);

}  // namespace cpuexec
