#include "tests/kernels/testing/cpu_executor_testing.h"

#include "kernels/executor_settings.h"

namespace cpuexec {

// One per build, each compiled as that build is (fast_exps_testing.cpp beside this file).
namespace testing {
namespace generic {
void fastExps(const float* v, float* out, unsigned count);
}
namespace avx2 {
void fastExps(const float* v, float* out, unsigned count);
}
namespace avx512 {
void fastExps(const float* v, float* out, unsigned count);
}
}  // namespace testing

void setWorkerLimit(unsigned workers) { detail::g_workerLimit.store(workers, std::memory_order_relaxed); }

bool useInstructionSet(InstructionSet set) {
    if (!instructionSetSupported(set)) return false;
    detail::g_chosenSet.store(static_cast<int>(set), std::memory_order_relaxed);
    return true;
}

void fastExps(const float* v, float* out, unsigned count) {
    const detail::KernelFloatMode mode;
    switch (instructionSetInUse()) {
        case InstructionSet::Avx512:
            return testing::avx512::fastExps(v, out, count);
        case InstructionSet::Avx2:
            return testing::avx2::fastExps(v, out, count);
        case InstructionSet::Baseline:
            break;
    }
    testing::generic::fastExps(v, out, count);
}

}  // namespace cpuexec
