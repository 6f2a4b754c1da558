// Test-only controls of the CPU executor: run later launches with another
// instruction-set build or fewer workers, and compute the fast exponential
// as a build computes it inside a launch. Results depend on neither choice;
// tests and benchmarks compare the builds. Linked from quelmar_kernels_testing,
// which the modules never contain.
#pragma once

#include "kernels/cpu_executor.h"

namespace cpuexec {

// Caps the worker threads of later launches; 0 (the default) uses every core.
void setWorkerLimit(unsigned workers);

// Makes later launches use `set`; false, changing nothing, when the processor
// lacks it.
bool useInstructionSet(InstructionSet set);

// The kernels' fast exponential of each of `count` values, computed as the
// build in use computes it inside a launch.
void fastExps(const float* v, float* out, unsigned count);

}  // namespace cpuexec
