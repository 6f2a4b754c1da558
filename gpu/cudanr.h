// The per-instance GPU context and its operations. Every operation is called
// with g_gpuMutex held and reports success as true; nothing is thrown or logged.
#pragma once
#include <cstdint>
#include <mutex>

#include "gpu/device.h"
#include "kernels/common.h"
#include "kernels/params.h"

struct NRFilterData;

struct CudaNRContext {
    int32_t width;
    int32_t height;
    uint64_t pitchBytes;
    uchar4* ring[3];
    uchar4* out;
    uchar4* prevOut;
    int2* mv1;
    int2* mv2;
    int32_t blocksX;
    int32_t blocksY;
    dev::Stream stream;
    int32_t ringIndex;
    double* accSum;
    double* accWeight;
    int32_t device;  // the device it was created on; every operation selects it first
};

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

bool CudaNRProfileNoise(CudaNRContext* ctx, const uchar4* src, int srcPitch, int width,
                        int height, float* estimate);

// The profiling schedule, applied to every frame that takes the GPU path after a
// successful CudaNREnsureBuffers and before CudaNRProcessFrame: advances
// frameCounter, profiles stageIn when due and keeps params.sigmaY usable.
void ApplyProfileSchedule(NRFilterData* fd, int width, int height);
