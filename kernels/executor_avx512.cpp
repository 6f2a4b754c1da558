// The executor's build for processors with AVX-512 (F, BW, DQ, VL): sixteen
// threads per register; the motion search keeps eight, one row of its 8x8
// thread blocks.
#define QNR_ISA avx512
#include "kernels/simd_lanes.h"
#include "kernels/executor_body.h"

namespace cpuexec::detail {

const KernelSet kAvx512Kernels = kernelSet<qnr::LaneX<16>, qnr::LaneX<8>, qnr::LaneX<16>>();

}  // namespace cpuexec::detail
