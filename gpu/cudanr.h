// The per-instance GPU context and its operations. Every operation is called
// with g_gpuMutex held and reports success as true; nothing is thrown or logged.
// The context itself is opaque outside gpu/ (its layout: gpu/context_state.h).
#pragma once
#include <cstddef>
#include <mutex>

#include "gpu/device.h"
#include "kernels/common.h"
#include "kernels/params.h"

struct CudaNRContext;

// Serialises all GPU work of all filter instances in the process.
extern std::mutex g_gpuMutex;

// Where an operation failed, so that a frame passing through can say why.
enum class CudaNRStep {
    None,
    InvalidCall,      // arguments the operation does not take
    FindDevice,       // no usable driver or device
    SelectDevice,
    CreateContext,    // the context record or its stream
    AllocateBuffers,
    ClearBuffers,
    Upload,
    MotionSearch,
    Process,
    Download,
    Feedback,
    Synchronize,
};

struct CudaNRFailure {
    CudaNRStep step = CudaNRStep::None;
    dev::Status status = dev::kSuccess;  // what the device layer answered
    int device = 0;
    friend bool operator==(const CudaNRFailure&, const CudaNRFailure&) = default;
};

// Where the calling thread's last CudaNRCreate, CudaNREnsureBuffers or
// CudaNRProcessFrame failed: valid after one returned false, until the next runs.
CudaNRFailure CudaNRLastFailure();

bool CudaNRCreate(CudaNRContext** out, int device);
// Makes the context's device the calling thread's, as each operation does on entry.
bool CudaNRSelectDevice(const CudaNRContext* ctx);
bool CudaNREnsureBuffers(CudaNRContext* ctx, int width, int height);
void CudaNRDestroy(CudaNRContext* ctx);

bool CudaNRProcessFrame(CudaNRContext* ctx, const uchar4* src, int srcPitch, uchar4* dst,
                        int dstPitch, int width, int height, const CudaNRParams* params);

// Page-locks a host buffer the context copies from or to (a staging block),
// so that its copies are direct transfers. Where the driver declines, the
// buffer stays pageable and copies work as before; it is not asked again.
void CudaNRPinHostBuffer(CudaNRContext* ctx, void* buffer, std::size_t bytes);
// Unlocks the buffer, whichever context locked it: before it is freed.
void CudaNRUnpinHostBuffer(void* buffer);
// Unlocks every buffer the context locked (CudaNRDestroy does).
void CudaNRUnpinContextBuffers(const CudaNRContext* ctx);

bool CudaNRProfileNoise(CudaNRContext* ctx, const uchar4* src, int srcPitch, int width,
                        int height, float* estimate);
