// Inside the GPU operations: recording where one failed (CudaNRLastFailure).
#pragma once
#include "gpu/cudanr.h"

// The device the calling thread's operations work on, for the failures they record.
void CudaNRWorkOn(int device);

// Records the failure; false, for the operation to return.
bool CudaNRFail(CudaNRStep step, dev::Status status = dev::kSuccess);

// True on success; otherwise records the failure at step.
inline bool CudaNRSucceeded(dev::Status status, CudaNRStep step) {
    return status == dev::kSuccess || CudaNRFail(step, status);
}
