// The executor's build for every x86-64 processor: one thread at a time.
#include "kernels/executor_body.h"

namespace cpuexec::detail {

const KernelSet kBaselineKernels = kernelSet<int, int, int>();

}  // namespace cpuexec::detail
