// The GPU context: creation on a device, the buffers for one frame size, and
// destruction.
#include <new>

#include "gpu/context_state.h"
#include "gpu/failure.h"
#include "kernels/launch_geometry.h"
#include "kernels/common.h"

std::mutex g_gpuMutex;

namespace {

thread_local CudaNRFailure t_failure;
thread_local int t_device = 0;

// A failed free is tried once more. After that the block stays the device's
// and is never freed again, since the device may since have handed the same
// address to someone else.
template <typename T>
void releaseBuffer(T*& p) {
    if (p == nullptr) return;
    if (dev::free(p) != dev::kSuccess) dev::free(p);
    p = nullptr;
}

void destroyStream(dev::Stream stream) {
    if (stream == nullptr) return;
    if (dev::streamDestroy(stream) != dev::kSuccess) dev::streamDestroy(stream);
}

void releaseBuffers(CudaNRContext* ctx) {
    for (uchar4*& slot : ctx->ring) releaseBuffer(slot);
    releaseBuffer(ctx->out);
    releaseBuffer(ctx->prevOut);
    releaseBuffer(ctx->mv1);
    releaseBuffer(ctx->mv2);
    releaseBuffer(ctx->blockSums);
    releaseBuffer(ctx->blockWeights);
    delete[] ctx->hostBlockTotals;
    ctx->hostBlockTotals = nullptr;
    ctx->profileBlocks = 0;
}

// A context without buffers: what a failed ensure leaves behind.
bool failEnsure(CudaNRContext* ctx) {
    releaseBuffers(ctx);
    ctx->width = 0;
    ctx->height = 0;
    ctx->pitchBytes = 0;
    ctx->ringIndex = 0;
    ctx->blocksX = 0;
    ctx->blocksY = 0;
    return false;
}

template <typename T>
bool allocate(T*& p, std::size_t bytes) {
    void* raw = nullptr;
    if (!CudaNRSucceeded(dev::malloc(&raw, bytes), CudaNRStep::AllocateBuffers)) return false;
    if (raw == nullptr) return CudaNRFail(CudaNRStep::AllocateBuffers);
    p = static_cast<T*>(raw);
    return true;
}

bool clear2D(void* p, std::size_t pitch, std::size_t rowBytes, std::size_t rows, dev::Stream stream) {
    return CudaNRSucceeded(dev::memset2DAsync(p, pitch, 0, rowBytes, rows, stream), CudaNRStep::ClearBuffers);
}

bool clear(void* p, std::size_t bytes, dev::Stream stream) {
    return CudaNRSucceeded(dev::memsetAsync(p, 0, bytes, stream), CudaNRStep::ClearBuffers);
}

bool allocateFrames(CudaNRContext* ctx) {
    void* slot0 = nullptr;
    std::size_t pitch = 0;
    auto rowBytes = static_cast<std::size_t>(ctx->width) * kBgraPixelBytes;
    auto rows = static_cast<std::size_t>(ctx->height);
    if (!CudaNRSucceeded(dev::mallocPitch(&slot0, &pitch, rowBytes, rows), CudaNRStep::AllocateBuffers)) {
        return false;
    }
    if (slot0 == nullptr || pitch == 0) return CudaNRFail(CudaNRStep::AllocateBuffers);
    ctx->ring[0] = static_cast<uchar4*>(slot0);
    ctx->pitchBytes = pitch;
    std::size_t frameBytes = pitch * rows;
    return allocate(ctx->ring[1], frameBytes) && allocate(ctx->ring[2], frameBytes) &&
           allocate(ctx->out, frameBytes) && allocate(ctx->prevOut, frameBytes);
}

// The noise profile's slots, one per thread block of its grid, on the device
// and on the host for the read-back.
bool allocateProfileSlots(CudaNRContext* ctx) {
    const qnr::Dim3 grid = qnr::profileGrid(ctx->width, ctx->height);
    const std::size_t blocks = static_cast<std::size_t>(grid.x) * grid.y;
    if (!allocate(ctx->blockSums, blocks * sizeof(double)) ||
        !allocate(ctx->blockWeights, blocks * sizeof(double))) {
        return false;
    }
    ctx->hostBlockTotals = new (std::nothrow) double[2 * blocks];
    if (ctx->hostBlockTotals == nullptr) return CudaNRFail(CudaNRStep::AllocateBuffers);
    ctx->profileBlocks = blocks;
    return true;
}

// A clear that was never queued would leave stale memory where the pipeline
// expects zero frames, so its status counts like any other.
bool clearFramesAndProfileSlots(CudaNRContext* ctx) {
    auto rowBytes = static_cast<std::size_t>(ctx->width) * kBgraPixelBytes;
    auto rows = static_cast<std::size_t>(ctx->height);
    bool ok = true;
    for (uchar4* slot : {ctx->ring[0], ctx->ring[1], ctx->ring[2], ctx->prevOut}) {
        ok = ok && clear2D(slot, ctx->pitchBytes, rowBytes, rows, ctx->stream);
    }
    const std::size_t slotBytes = ctx->profileBlocks * sizeof(double);
    return ok && clear(ctx->blockSums, slotBytes, ctx->stream) && clear(ctx->blockWeights, slotBytes, ctx->stream);
}

static_assert(qnr::kMotionVectorBytes == sizeof(int2), "a motion vector is an int2");

bool allocateVectors(CudaNRContext* ctx) {
    ctx->blocksX = qnr::motionBlocksCovering(ctx->width);
    ctx->blocksY = qnr::motionBlocksCovering(ctx->height);
    const std::size_t bytes = qnr::motionVectorBytes(ctx->blocksX, ctx->blocksY);
    return allocate(ctx->mv1, bytes) && allocate(ctx->mv2, bytes) && clear(ctx->mv1, bytes, ctx->stream) &&
           clear(ctx->mv2, bytes, ctx->stream);
}

}  // namespace

void CudaNRWorkOn(int device) { t_device = device; }

bool CudaNRFail(CudaNRStep step, dev::Status status) {
    t_failure = CudaNRFailure{step, status, t_device};
    return false;
}

CudaNRFailure CudaNRLastFailure() { return t_failure; }

bool CudaNRCreate(CudaNRContext** out, int device) {
    if (out == nullptr) return CudaNRFail(CudaNRStep::InvalidCall);
    *out = nullptr;
    int count = 0;
    if (!CudaNRSucceeded(dev::getDeviceCount(&count), CudaNRStep::FindDevice)) return false;
    if (count < 1) return CudaNRFail(CudaNRStep::FindDevice);
    if (device < 0 || device >= count) device = 0;
    CudaNRWorkOn(device);
    if (!CudaNRSucceeded(dev::setDevice(device), CudaNRStep::SelectDevice)) return false;
    auto* ctx = new (std::nothrow) CudaNRContext{};
    if (ctx == nullptr) return CudaNRFail(CudaNRStep::CreateContext);
    if (!CudaNRSucceeded(dev::streamCreateNonBlocking(&ctx->stream), CudaNRStep::CreateContext)) {
        delete ctx;
        return false;
    }
    ctx->ringIndex = 0;
    ctx->device = device;
    *out = ctx;
    return true;
}

bool CudaNRSelectDevice(const CudaNRContext* ctx) {
    CudaNRWorkOn(ctx->device);
    return CudaNRSucceeded(dev::setDevice(ctx->device), CudaNRStep::SelectDevice);
}

bool CudaNREnsureBuffers(CudaNRContext* ctx, int width, int height) {
    if (ctx == nullptr || width <= 0 || height <= 0) return CudaNRFail(CudaNRStep::InvalidCall);
    if (!CudaNRSelectDevice(ctx)) return false;
    if (width == ctx->width && height == ctx->height && ctx->out != nullptr) return true;
    releaseBuffers(ctx);
    ctx->ringIndex = 0;
    ctx->width = width;
    ctx->height = height;
    bool ok = allocateFrames(ctx) && allocateProfileSlots(ctx) && clearFramesAndProfileSlots(ctx) &&
              allocateVectors(ctx);
    // Wait even after a failure: queued clears must not outlive the buffers.
    // The first failure is the one to report.
    const dev::Status waited = dev::streamSynchronize(ctx->stream);
    if (ok) ok = CudaNRSucceeded(waited, CudaNRStep::Synchronize);
    if (!ok) return failEnsure(ctx);
    return true;
}

void CudaNRDestroy(CudaNRContext* ctx) {
    if (ctx == nullptr) return;
    CudaNRSelectDevice(ctx);
    if (ctx->stream != nullptr) dev::streamSynchronize(ctx->stream);
    CudaNRUnpinContextBuffers(ctx);
    releaseBuffers(ctx);
    destroyStream(ctx->stream);
    delete ctx;
}
