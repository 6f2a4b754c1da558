// For tests only: a GPU context seen from inside (ring slots and index,
// buffers, stream), which the product's code outside gpu/ never sees.
#pragma once

#include "gpu/context_state.h"
