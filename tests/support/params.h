// Filter parameters for tests that do not vary the strengths.
#pragma once
#include "host/settings.h"

namespace qtest {

// The strengths a new instance starts with, and the given noise level.
inline CudaNRParams defaultParams(float sigmaY) {
    CudaNRParams p{};
    for (const NRStrength& s : kNRStrengths) p.*s.field = s.recommended;
    p.sigmaY = sigmaY;
    return p;
}

}  // namespace qtest
