// The CPU executor's settings and the floating-point mode its shares run in:
// for its front (kernels/cpu_executor.cpp) and the tests' controls
// (tests/kernels/testing/cpu_executor_testing.cpp), never for the builds of
// the kernels.
#pragma once
#include <xmmintrin.h>

#include <atomic>

namespace cpuexec::detail {

// The build launches use (an InstructionSet; -1 until the first launch takes
// the best) and the cap on their workers (0: every core). Only tests change
// them (tests/kernels/testing/cpu_executor_testing.h).
extern std::atomic<int> g_chosenSet;
extern std::atomic<unsigned> g_workerLimit;

// The floating-point mode the kernels' arithmetic assumes, as on the GPU:
// round to nearest, subnormals kept, no traps. A host thread may run with
// another; each launch, and each of its shares on whatever thread, runs with
// this one, and the thread's own comes back.
class KernelFloatMode {
public:
    KernelFloatMode() : saved_(_mm_getcsr()) { _mm_setcsr(kDefault); }
    ~KernelFloatMode() { _mm_setcsr(saved_); }
    KernelFloatMode(const KernelFloatMode&) = delete;
    KernelFloatMode& operator=(const KernelFloatMode&) = delete;

private:
    static constexpr unsigned kDefault = 0x1f80;  // all exceptions masked, nearest, no FTZ/DAZ
    unsigned saved_;
};

}  // namespace cpuexec::detail
