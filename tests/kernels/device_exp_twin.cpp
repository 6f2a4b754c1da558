// The device's fast exponential compiled for the host: kernels/helpers.h with
// __CUDA_ARCH__ defined, so that its device branches are the ones compiled,
// and the CUDA intrinsics they call given host bodies with the meaning the
// CUDA documentation gives them. Its own inline namespace (QNR_ISA), as for
// each executor build, keeps these copies apart from the host's.
#include <cmath>
#include <cstdint>
#include <cstring>

#define QNR_ISA device_twin
#define __CUDA_ARCH__ 600

// The float's bits as an int, and back.
inline int __float_as_int(float v) {
    std::int32_t u;
    std::memcpy(&u, &v, sizeof u);
    return u;
}
inline float __int_as_float(int u) {
    float v;
    std::memcpy(&v, &u, sizeof v);
    return v;
}
// a * b + c, rounded once to nearest (glibc's fmaf is exact).
inline float __fmaf_rn(float a, float b, float c) { return std::fma(a, b, c); }

#include "kernels/helpers.h"

namespace ktest {

float deviceFastExp(float v) { return qnr::fastExp(v); }

}  // namespace ktest
