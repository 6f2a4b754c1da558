// The executor's build for processors with AVX2 and FMA: eight threads per
// register.
#define QNR_ISA avx2
#include "kernels/simd_lanes.h"
#include "kernels/executor_body.h"

namespace cpuexec::detail {

const KernelSet kAvx2Kernels = kernelSet<qnr::LaneX<8>, qnr::LaneX<8>, qnr::LaneX<8>>();

}  // namespace cpuexec::detail
