// CPU device backend: the processor as the one device. Device memory is host
// memory with packed rows; copies, clears and launches run on the calling
// thread (and the worker pool) as they are issued, so a stream is only a handle
// and waiting on it returns at once. The backend keeps no shared state: several
// filter instances use it from their own threads without a lock.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "gpu/cuda_status.h"
#include "gpu/device_diagnostics.h"
#include "gpu/device_events.h"
#include "kernels/cpu_executor.h"
#include "platform/row_bands.h"

namespace dev {

// A stream's handle: distinct per live stream, never read.
struct StreamImpl {};

namespace {

// The driver's statuses, from its one table; the runtime's number for the
// pitch it lacks.
constexpr Status kInvalidValue = cudrv::CUDA_ERROR_INVALID_VALUE, kOutOfMemory = cudrv::CUDA_ERROR_OUT_OF_MEMORY,
                 kInvalidDevice = cudrv::CUDA_ERROR_INVALID_DEVICE, kInvalidHandle = cudrv::CUDA_ERROR_INVALID_HANDLE;
constexpr Status kInvalidPitch = 12;

// A cache line: a frame's first row starts where the executor's widest
// (AVX-512) loads never straddle two lines.
constexpr std::size_t kAllocAlign = 64;

// Offsets inside one object must fit a ptrdiff_t (row pitches are signed in
// the row copies); anything larger cannot be allocated or addressed.
constexpr std::size_t kMaxBytes = static_cast<std::size_t>(PTRDIFF_MAX);

// Bytes from the first row's start to the last row's end (rows non-empty); 0
// when that does not fit in one object.
std::size_t span2D(std::size_t pitch, std::size_t widthBytes, std::size_t height) {
    if (widthBytes > kMaxBytes || (height > 1 && pitch > (kMaxBytes - widthBytes) / (height - 1))) return 0;
    return pitch * (height - 1) + widthBytes;
}

void copyRows(unsigned char* dst, std::size_t dstPitch, const unsigned char* src, std::size_t srcPitch,
              std::size_t widthBytes, std::size_t height) {
    const platform::RowSpan from{src, static_cast<ptrdiff_t>(srcPitch), widthBytes};
    const platform::RowSpan to{dst, static_cast<ptrdiff_t>(dstPitch), widthBytes};
    platform::ForEachRowBand(from, to, static_cast<long long>(height), [&](long long first, long long end) {
        for (long long y = first; y < end; ++y) std::memmove(dst + y * dstPitch, src + y * srcPitch, widthBytes);
    });
}

Status allocate(void** ptr, std::size_t bytes) {
    if (bytes > kMaxBytes) return kOutOfMemory;
    void* p = ::operator new[](bytes, std::align_val_t(kAllocAlign), std::nothrow);
    if (p == nullptr) return kOutOfMemory;
    *ptr = p;
    return kSuccess;
}

}  // namespace

Status getDeviceCount(int* count) {
    if (count == nullptr) return kInvalidValue;
    *count = 1;
    return kSuccess;
}

Status setDevice(int device) { return device == 0 ? kSuccess : kInvalidDevice; }

Status streamCreateNonBlocking(Stream* stream) {
    if (stream == nullptr) return kInvalidValue;
    *stream = new (std::nothrow) StreamImpl();
    return *stream != nullptr ? kSuccess : kOutOfMemory;
}

Status streamSynchronize(Stream stream) { return stream != nullptr ? kSuccess : kInvalidHandle; }

Status streamDestroy(Stream stream) {
    if (stream == nullptr) return kInvalidHandle;
    delete stream;
    return kSuccess;
}

Status mallocPitch(void** ptr, std::size_t* pitch, std::size_t widthBytes, std::size_t height) {
    if (ptr == nullptr || pitch == nullptr || widthBytes == 0 || height == 0) return kInvalidValue;
    if (height > kMaxBytes / widthBytes) return kOutOfMemory;
    const Status s = allocate(ptr, widthBytes * height);
    if (s == kSuccess) *pitch = widthBytes;
    return s;
}

Status malloc(void** ptr, std::size_t bytes) {
    if (ptr == nullptr || bytes == 0) return kInvalidValue;
    return allocate(ptr, bytes);
}

Status free(void* ptr) {
    ::operator delete[](ptr, std::align_val_t(kAllocAlign));
    return kSuccess;
}

Status memset2DAsync(void* ptr, std::size_t pitch, int value, std::size_t widthBytes, std::size_t height,
                     Stream) {
    if (widthBytes == 0 || height == 0) return kSuccess;
    if (pitch < widthBytes) return kInvalidPitch;
    if (ptr == nullptr || span2D(pitch, widthBytes, height) == 0) return kInvalidValue;
    auto* rows = static_cast<unsigned char*>(ptr);
    for (std::size_t y = 0; y < height; ++y) std::memset(rows + y * pitch, value, widthBytes);
    return kSuccess;
}

Status memsetAsync(void* ptr, int value, std::size_t bytes, Stream) {
    if (bytes == 0) return kSuccess;
    if (ptr == nullptr) return kInvalidValue;
    std::memset(ptr, value, bytes);
    return kSuccess;
}

// Every direction is the same host copy; the kind only matters to a GPU.
Status memcpy2DAsync(void* dst, std::size_t dstPitch, const void* src, std::size_t srcPitch,
                     std::size_t widthBytes, std::size_t height, CopyKind, Stream) {
    if (widthBytes == 0 || height == 0) return kSuccess;
    if (dstPitch < widthBytes || srcPitch < widthBytes) return kInvalidPitch;
    if (dst == nullptr || src == nullptr || span2D(dstPitch, widthBytes, height) == 0 ||
        span2D(srcPitch, widthBytes, height) == 0) {
        return kInvalidValue;
    }
    copyRows(static_cast<unsigned char*>(dst), dstPitch, static_cast<const unsigned char*>(src), srcPitch,
             widthBytes, height);
    return kSuccess;
}

Status memcpyAsync(void* dst, const void* src, std::size_t bytes, CopyKind kind, Stream stream) {
    return memcpy2DAsync(dst, bytes, src, bytes, bytes, 1, kind, stream);
}

// Launches never fail here: the executor itself runs nothing for a grid a GPU
// would refuse, and nothing is queued that could fail later.
Status getLastError() { return kSuccess; }

void launchEstimateMV16(Dim3 grid, Dim3, std::size_t, Stream, const qnr::MotionArgs& args) {
    cpuexec::runEstimateMV16(grid, args);
}

void launchProcess(Dim3 grid, Dim3, std::size_t, Stream, const qnr::ProcessArgs& args) {
    cpuexec::runProcess(grid, args);
}

void launchProfileAuto(Dim3 grid, Dim3, std::size_t, Stream, const qnr::ProfileArgs& args) {
    cpuexec::runProfileAuto(grid, args);
}

// Nothing to lock: the processor reads host memory as it is.
Status hostRegister(void* ptr, std::size_t bytes) { return ptr != nullptr && bytes > 0 ? kSuccess : kInvalidValue; }

Status hostUnregister(void*) { return kSuccess; }

// The processor, as one device that runs every kernel it is given.
DriverInfo driverInfo() {
    DriverInfo info;
    info.state = DriverState::Ready;
    info.deviceCount = 1;
    info.cpu = true;
    return info;
}

Status deviceInfo(int device, DeviceInfo* info) {
    if (info == nullptr) return kInvalidValue;
    *info = DeviceInfo{};
    if (device != 0) return kInvalidDevice;
    std::snprintf(info->name, sizeof info->name, "CPU executor");
    return kSuccess;
}

// The executor runs the kernels' own source: there is no image to load.
KernelLoad tryLoadKernels(int device) {
    KernelLoad load;
    load.status = device == 0 ? kSuccess : kInvalidDevice;
    return load;
}

KernelLoad kernelLoad(int) { return {}; }

std::span<const QuelmarDeviceImage> deviceImages() { return {}; }

}  // namespace dev
