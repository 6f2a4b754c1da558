// The GPU context: creation on a device, the buffers for one frame size, and
// destruction.
#include <atomic>
#include <new>

#include "gpu/context_testing.h"
#include "gpu/cudanr.h"

std::mutex g_gpuMutex;

namespace {

std::atomic<int> g_lostBuffers{0};
std::atomic<int> g_lostStreams{0};

// A failed free is tried once more. After that the block stays the device's:
// it is counted, and never freed again, since the device may since have handed
// the same address to someone else.
template <typename T>
void releaseBuffer(T*& p) {
    if (p == nullptr) return;
    if (dev::free(p) != dev::kSuccess && dev::free(p) != dev::kSuccess) ++g_lostBuffers;
    p = nullptr;
}

void destroyStream(dev::Stream stream) {
    if (stream == nullptr) return;
    if (dev::streamDestroy(stream) != dev::kSuccess && dev::streamDestroy(stream) != dev::kSuccess)
        ++g_lostStreams;
}

void releaseBuffers(CudaNRContext* ctx) {
    for (uchar4*& slot : ctx->ring) releaseBuffer(slot);
    releaseBuffer(ctx->out);
    releaseBuffer(ctx->prevOut);
    releaseBuffer(ctx->mv1);
    releaseBuffer(ctx->mv2);
    releaseBuffer(ctx->accSum);
    releaseBuffer(ctx->accWeight);
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
    if (dev::malloc(&raw, bytes) != dev::kSuccess || raw == nullptr) return false;
    p = static_cast<T*>(raw);
    return true;
}

bool allocateFrames(CudaNRContext* ctx) {
    void* slot0 = nullptr;
    std::size_t pitch = 0;
    auto rowBytes = static_cast<std::size_t>(ctx->width) * 4;
    auto rows = static_cast<std::size_t>(ctx->height);
    if (dev::mallocPitch(&slot0, &pitch, rowBytes, rows) != dev::kSuccess || slot0 == nullptr ||
        pitch == 0) {
        return false;
    }
    ctx->ring[0] = static_cast<uchar4*>(slot0);
    ctx->pitchBytes = pitch;
    std::size_t frameBytes = pitch * rows;
    return allocate(ctx->ring[1], frameBytes) && allocate(ctx->ring[2], frameBytes) &&
           allocate(ctx->out, frameBytes) && allocate(ctx->prevOut, frameBytes) &&
           allocate(ctx->accSum, sizeof(double)) && allocate(ctx->accWeight, sizeof(double));
}

// A clear that was never queued would leave stale memory where the pipeline
// expects zero frames, so its status counts like any other.
bool clearFramesAndAccumulators(CudaNRContext* ctx) {
    auto rowBytes = static_cast<std::size_t>(ctx->width) * 4;
    auto rows = static_cast<std::size_t>(ctx->height);
    bool ok = true;
    for (uchar4* slot : {ctx->ring[0], ctx->ring[1], ctx->ring[2], ctx->prevOut}) {
        ok = ok && dev::memset2DAsync(slot, ctx->pitchBytes, 0, rowBytes, rows, ctx->stream) ==
                       dev::kSuccess;
    }
    return ok && dev::memsetAsync(ctx->accSum, 0, sizeof(double), ctx->stream) == dev::kSuccess &&
           dev::memsetAsync(ctx->accWeight, 0, sizeof(double), ctx->stream) == dev::kSuccess;
}

bool allocateVectors(CudaNRContext* ctx) {
    ctx->blocksX = (ctx->width + 15) / 16;
    ctx->blocksY = (ctx->height + 15) / 16;
    std::size_t bytes = static_cast<std::size_t>(ctx->blocksX) *
                        static_cast<std::size_t>(ctx->blocksY) * sizeof(int2);
    return allocate(ctx->mv1, bytes) && allocate(ctx->mv2, bytes) &&
           dev::memsetAsync(ctx->mv1, 0, bytes, ctx->stream) == dev::kSuccess &&
           dev::memsetAsync(ctx->mv2, 0, bytes, ctx->stream) == dev::kSuccess;
}

}  // namespace

bool CudaNRCreate(CudaNRContext** out, int device) {
    if (out == nullptr) return false;
    *out = nullptr;
    int count = 0;
    if (dev::getDeviceCount(&count) != dev::kSuccess || count < 1) return false;
    if (device < 0 || device >= count) device = 0;
    if (dev::setDevice(device) != dev::kSuccess) return false;
    auto* ctx = new (std::nothrow) CudaNRContext{};
    if (ctx == nullptr) return false;
    if (dev::streamCreateNonBlocking(&ctx->stream) != dev::kSuccess) {
        delete ctx;
        return false;
    }
    ctx->ringIndex = 0;
    ctx->device = device;
    *out = ctx;
    return true;
}

bool CudaNRSelectDevice(const CudaNRContext* ctx) {
    return dev::setDevice(ctx->device) == dev::kSuccess;
}

bool CudaNREnsureBuffers(CudaNRContext* ctx, int width, int height) {
    if (ctx == nullptr || width <= 0 || height <= 0 || !CudaNRSelectDevice(ctx)) return false;
    if (width == ctx->width && height == ctx->height && ctx->out != nullptr) return true;
    releaseBuffers(ctx);
    ctx->ringIndex = 0;
    ctx->width = width;
    ctx->height = height;
    bool ok = allocateFrames(ctx) && clearFramesAndAccumulators(ctx) && allocateVectors(ctx);
    // Wait even after a failure: queued clears must not outlive the buffers.
    if (dev::streamSynchronize(ctx->stream) != dev::kSuccess || !ok) return failEnsure(ctx);
    return true;
}

void CudaNRDestroy(CudaNRContext* ctx) {
    if (ctx == nullptr) return;
    CudaNRSelectDevice(ctx);
    if (ctx->stream != nullptr) dev::streamSynchronize(ctx->stream);
    releaseBuffers(ctx);
    destroyStream(ctx->stream);
    delete ctx;
}

namespace cudanrtest {
int lostBuffers() { return g_lostBuffers.load(); }
int lostStreams() { return g_lostStreams.load(); }
}  // namespace cudanrtest
