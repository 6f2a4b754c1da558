// The run callback: stages a frame as BGRA, filters it on the GPU and writes it
// back in the source's format; any unavailable or failed step passes the frame
// through. Always returns 0.
#pragma once
#include "host/abi.h"
#include "host/filter_data.h"

int NRRunFilter(const FilterActivation* fa, const FilterFunctions* ff);

// Makes the record's filter context if it has none, under g_gpuMutex; false,
// with the record's context null and the failure in CudaNRLastFailure(), when
// none can be made.
bool NREnsureContext(NRFilterData* fd);

// The GPU step of one frame held in the record's stageIn, written to its
// stageOut (both at least w x h BGRA, fd->gpu made): under g_gpuMutex, the
// context's buffers, both staging blocks pinned, the profiling schedule, the
// settings snapshot and the pipeline. False, with the failure in
// CudaNRLastFailure(), when a GPU step failed. The run procedure and the
// pipeline benchmark both filter through this, so they measure the same work.
bool NRFilterStagedFrame(NRFilterData* fd, int w, int h);
