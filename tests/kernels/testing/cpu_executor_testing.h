// Test-only controls of the CPU executor: run later launches with another
// instruction-set build or fewer workers, and compute the fast exponential
// as a build computes it inside a launch. Results depend on neither choice;
// tests and benchmarks compare the builds. Linked from quelmar_kernels_testing,
// which the modules never contain.
#pragma once

#include <vector>

#include "kernels/cpu_executor.h"

namespace cpuexec {

// Caps the worker threads of later launches; 0 (the default) uses every core.
void setWorkerLimit(unsigned workers);

// Makes later launches use `set`; false, changing nothing, when the processor
// lacks it.
bool useInstructionSet(InstructionSet set);

// A build's name for reports ("AVX-512").
inline const char* instructionSetName(InstructionSet set) {
    switch (set) {
        case InstructionSet::Avx512: return "AVX-512";
        case InstructionSet::Avx2: return "AVX2";
        case InstructionSet::Baseline: break;
    }
    return "baseline";
}

// The builds this processor runs, the baseline (which every one does) first.
inline std::vector<InstructionSet> supportedInstructionSets() {
    std::vector<InstructionSet> sets;
    for (InstructionSet s : {InstructionSet::Baseline, InstructionSet::Avx2, InstructionSet::Avx512})
        if (instructionSetSupported(s)) sets.push_back(s);
    return sets;
}

// The kernels' fast exponential of each of `count` values, computed as the
// build in use computes it inside a launch.
void fastExps(const float* v, float* out, unsigned count);

}  // namespace cpuexec
