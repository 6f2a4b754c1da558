// The CPU executor: runs the kernels' per-thread code for every thread of every
// block of a launch, with the GPU's block-reduction order, spreading the work
// over a pool of worker threads. Where the processor has AVX2 or AVX-512 it
// runs groups of neighbouring threads in the lanes of vector registers; every
// lane performs its thread's operations, so results are the same bits on every
// instruction set and for any number of workers. Each kernel runs with the
// thread block it is written for (kernels/launch_geometry.h); callers (the CPU
// device backend, the simulated driver) refuse launches with any other block,
// and a grid a GPU would refuse runs nothing here either.
#pragma once
#include <cstddef>

#include "kernels/common.h"
#include "kernels/kernel_args.h"
#include "kernels/launch_geometry.h"
#include "kernels/params.h"

namespace cpuexec {

using Dim3 = qnr::Dim3;

// True when a GPU would accept this configuration (sizes non-zero, at most
// 1024 threads per block, block.z <= 64, grid.y and grid.z <= 65535, static
// plus dynamic shared memory within 48 KiB).
bool launchConfigValid(Dim3 grid, Dim3 block, std::size_t dynamicSharedBytes,
                       std::size_t staticSharedBytes = 0);

// How a GPU takes a launch of a kernel written for `shape`.
enum class LaunchFit {
    Runs,     // as the kernel is written
    Refused,  // a configuration no GPU takes, or more threads than the kernel's launch bound
    Misfit,   // the GPU runs it outside what the kernel is written for: another
              // thread block, or less dynamic shared memory than it uses
};
LaunchFit launchFit(const qnr::KernelShape& shape, Dim3 grid, Dim3 block, std::size_t dynamicSharedBytes,
                    std::size_t staticSharedBytes);

// The instruction sets the executor has builds for.
enum class InstructionSet { Baseline, Avx2, Avx512 };  // x86-64; AVX2 + FMA; AVX-512 F/BW/DQ/VL

bool instructionSetSupported(InstructionSet set);

// The build launches use: the best the processor supports (tests may choose
// another: tests/kernels/testing/cpu_executor_testing.h).
InstructionSet instructionSetInUse();

// The kernels over `grid`, each with its own thread block and the one
// argument struct the device entry point takes.
void runEstimateMV16(Dim3 grid, const qnr::MotionArgs& args);

void runProcess(Dim3 grid, const qnr::ProcessArgs& args);

// kProfileAuto leaves block (bx, by)'s totals in args.blockSums[b] and
// args.blockWeights[b], b = by * grid.x + bx: grid.x * grid.y slots each,
// which every z layer writes alike. Callers add them in block order.
void runProfileAuto(Dim3 grid, const qnr::ProfileArgs& args);

}  // namespace cpuexec
