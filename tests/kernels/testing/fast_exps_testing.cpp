// The kernels' fast exponential over an array, in the lanes the executor's
// build for this instruction set gives kProcess (QNR_ISA names the build, as in
// kernels/executor_*.cpp). Compiled once per build, with that build's options;
// tests only.
#if defined(__AVX2__)
#include "kernels/simd_lanes.h"
#endif
#include "kernels/helpers.h"

namespace {

#if defined(__AVX512F__)
using X = qnr::LaneX<16>;
#elif defined(__AVX2__)
using X = qnr::LaneX<8>;
#else
using X = int;
#endif

}  // namespace

namespace cpuexec::testing::QNR_ISA {

void fastExps(const float* v, float* out, unsigned count) {
    constexpr unsigned n = qnr::Columns<X>::kLanes;
    unsigned i = 0;
    if constexpr (n > 1) {
        for (; i + n <= count; i += n)
            qnr::storeLanes(out + i, qnr::fastExp(qnr::loadLanes<typename qnr::LanesOf<X>::F>(v + i)));
    }
    for (; i < count; ++i) out[i] = qnr::fastExp(v[i]);
}

}  // namespace cpuexec::testing::QNR_ISA
