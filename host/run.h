// The run callback: stages a frame as BGRA, filters it on the GPU and writes it
// back in the source's format; any unavailable or failed step passes the frame
// through. Always returns 0.
#pragma once
#include "host/abi.h"

int NRRunFilter(const FilterActivation* fa, const FilterFunctions* ff);
