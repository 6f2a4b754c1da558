// The module whose device layer runs the kernels on the processor.
#include "host/module_identity.h"

const char kNRFilterName[] = "Quelmar CPU";
const char kNRFilterDescription[] =
    "Denoise/degrain/deblock. Runs on the processor (CPU): needs no GPU. Auto noise profiling.";
