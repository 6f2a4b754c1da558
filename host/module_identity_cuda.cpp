// The module whose device layer is the NVIDIA driver. Hosts keep filter chains
// by this name: it never changes.
#include "host/module_identity.h"

const char kNRFilterName[] = "Quelmar CUDA (RTX 5050)";
const char kNRFilterDescription[] =
    "CUDA denoise/degrain/deblock (Ostrel-like). Auto noise profiling. Designed for RTX 5050 "
    "(sm_120).";
