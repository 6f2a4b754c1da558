// CPU device backend: device memory is host memory, streams are queues of work
// run at synchronisation, kernels run on the CPU executor. It is strict where a
// GPU is: pitches padded beyond the row, pointers checked against live
// allocations, refused launches reported only through getLastError.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "gpu/cuda_status.h"
#include "gpu/device_cpu_backend.h"
#include "gpu/device_cpu_machine.h"
#include "gpu/device_diagnostics.h"
#include "gpu/device_events.h"
#include "kernels/cpu_executor.h"
#include "platform/row_bands.h"

namespace dev {

namespace cpu {

Backend& backend() {
    static Backend b;
    return b;
}

}  // namespace cpu

namespace {

// The driver's statuses, from its one table, where it has one (the diagnosis
// names them); the runtime's numbers for the two it lacks.
constexpr Status kInvalidValue = cudrv::CUDA_ERROR_INVALID_VALUE, kOutOfMemory = cudrv::CUDA_ERROR_OUT_OF_MEMORY,
                 kNoDevice = cudrv::CUDA_ERROR_NO_DEVICE, kInvalidDevice = cudrv::CUDA_ERROR_INVALID_DEVICE,
                 kInvalidHandle = cudrv::CUDA_ERROR_INVALID_HANDLE, kNotReady = cudrv::CUDA_ERROR_NOT_READY,
                 kIllegalAddress = cudrv::CUDA_ERROR_ILLEGAL_ADDRESS;
constexpr Status kInvalidConfiguration = 9, kInvalidPitch = 12;
constexpr Status kMachineFailed = cudrv::CUDA_ERROR_UNKNOWN;  // the machine failed the call (cpumachine::serves)

constexpr std::size_t kPitchAlign = 512;
constexpr std::size_t kAllocAlign = 256;
constexpr unsigned char kFreshByte = 0xCD;  // uncleared memory is visibly not zero

using cpu::Backend;
using cpu::backend;
using cpumachine::Op;

// Whether the machine fails this call; asked with the lock held, as is the next.
bool fails(Op op) { return !cpumachine::serves(op); }

bool haveDevice() { return cpumachine::devices() > 0; }

// True when [p, p + bytes) lies inside one live allocation.
bool isDeviceRange(const Backend& b, const void* p, std::size_t bytes) {
    auto addr = reinterpret_cast<std::uintptr_t>(p);
    auto it = b.allocations.upper_bound(addr);
    if (it == b.allocations.begin()) return false;
    --it;
    std::uintptr_t end = it->first + it->second;
    return addr >= it->first && addr < end && bytes <= end - addr;
}

bool touchesDevice(const Backend& b, const void* p) { return isDeviceRange(b, p, 1); }

std::size_t span2D(std::size_t pitch, std::size_t widthBytes, std::size_t height) {
    return height == 0 ? 0 : pitch * (height - 1) + widthBytes;
}

bool validStream(const Backend& b, Stream s) { return s != nullptr && b.streams.count(s) != 0; }

Status runQueue(StreamImpl* s) {
    Status result = s->pendingError;
    s->pendingError = kSuccess;
    while (!s->queue.empty()) {
        Work w = std::move(s->queue.front());
        s->queue.pop_front();
        if (result != kSuccess) continue;  // a failed stream drops the rest
        result = w.run();
    }
    return result;
}

// Freeing memory waits for all queued work, as the runtime's free does.
void drainAll(Backend& b) {
    for (StreamImpl* s : b.streams) {
        if (!s->queue.empty()) s->pendingError = runQueue(s);
    }
}

void copyRows(unsigned char* dst, std::size_t dstPitch, const unsigned char* src,
              std::size_t srcPitch, std::size_t widthBytes, std::size_t height) {
    const platform::RowSpan from{src, static_cast<ptrdiff_t>(srcPitch), widthBytes};
    const platform::RowSpan to{dst, static_cast<ptrdiff_t>(dstPitch), widthBytes};
    platform::ForEachRowBand(from, to, static_cast<long long>(height), [&](long long first, long long end) {
        for (long long y = first; y < end; ++y) std::memmove(dst + y * dstPitch, src + y * srcPitch, widthBytes);
    });
}

// Common launch admission: stream and configuration. A launch a GPU would
// run outside what the kernel is written for (another thread block, too
// little shared memory) is refused too: its result on a GPU is undefined.
// Lock held.
bool admitLaunch(Backend& b, Op op, const qnr::KernelShape& kernel, Dim3 grid, Dim3 block, std::size_t shared,
                 Stream stream) {
    if (fails(op)) {
        b.lastError = kMachineFailed;
        return false;
    }
    if (!haveDevice() || !validStream(b, stream)) {
        b.lastError = haveDevice() ? kInvalidHandle : kNoDevice;
        return false;
    }
    if (cpuexec::launchFit(kernel, grid, block, shared, kernel.staticSharedBytes) != cpuexec::LaunchFit::Runs) {
        b.lastError = kInvalidConfiguration;
        return false;
    }
    return true;
}

// A kernel reading or writing outside device memory faults when it runs.
void queueFault(Stream stream) {
    stream->queue.push_back(Work{[] { return kIllegalAddress; }, false});
}

using qnr::frameSpanBytes;
using qnr::motionVectorBytes;

bool framesOk(const Backend& b, std::size_t span, std::initializer_list<const void*> frames) {
    if (span == 0) return false;
    return std::all_of(frames.begin(), frames.end(),
                       [&](const void* p) { return isDeviceRange(b, p, span); });
}

}  // namespace

Status getDeviceCount(int* count) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (count == nullptr) return kInvalidValue;
    const bool failed = fails(Op::GetDeviceCount);
    const int devices = cpumachine::devices();
    if (failed || devices < 0) {
        *count = 0;
        return kMachineFailed;
    }
    *count = devices;
    return devices > 0 ? kSuccess : kNoDevice;
}

Status setDevice(int device) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (fails(Op::SetDevice)) return kMachineFailed;
    if (!haveDevice()) return kNoDevice;
    if (device < 0 || device >= cpumachine::devices()) return kInvalidDevice;
    b.current = device;
    return kSuccess;
}

Status streamCreateNonBlocking(Stream* stream) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (stream == nullptr) return kInvalidValue;
    if (fails(Op::StreamCreate)) return kMachineFailed;
    if (!haveDevice()) return kNoDevice;
    auto* s = new (std::nothrow) StreamImpl();
    if (s == nullptr) return kOutOfMemory;
    b.streams.insert(s);
    *stream = s;
    return kSuccess;
}

Status streamSynchronize(Stream stream) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (fails(Op::StreamSynchronize)) {
        // The wait failed, but the work itself still completes, as on a GPU.
        if (validStream(b, stream)) stream->pendingError = runQueue(stream);
        return kMachineFailed;
    }
    if (!validStream(b, stream)) return kInvalidHandle;
    return runQueue(stream);
}

Status streamDestroy(Stream stream) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (fails(Op::StreamDestroy)) return kMachineFailed;
    if (!validStream(b, stream)) return kInvalidHandle;
    runQueue(stream);  // queued work still completes after a destroy
    b.streams.erase(stream);
    for (EventImpl* e : b.events) {
        if (e->stream == stream) e->stream = nullptr;
    }
    delete stream;
    return kSuccess;
}

namespace {

Status allocate(Backend& b, void** ptr, std::size_t bytes) {
    void* p = ::operator new[](bytes, std::align_val_t(kAllocAlign), std::nothrow);
    if (p == nullptr) return kOutOfMemory;
    std::memset(p, kFreshByte, bytes);
    b.allocations.emplace(reinterpret_cast<std::uintptr_t>(p), bytes);
    *ptr = p;
    return kSuccess;
}

}  // namespace

Status mallocPitch(void** ptr, std::size_t* pitch, std::size_t widthBytes, std::size_t height) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (ptr == nullptr || pitch == nullptr) return kInvalidValue;
    if (fails(Op::MallocPitch)) return kMachineFailed;
    if (!haveDevice()) return kNoDevice;
    if (widthBytes == 0 || height == 0) return kInvalidValue;
    // Always wider than the row, as a GPU's pitch usually is, so that code
    // confusing pitch and row width goes wrong here too.
    std::size_t p = (widthBytes / kPitchAlign + 1) * kPitchAlign;
    if (height > SIZE_MAX / p) return kOutOfMemory;
    Status s = allocate(b, ptr, p * height);
    if (s == kSuccess) *pitch = p;
    return s;
}

Status malloc(void** ptr, std::size_t bytes) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (ptr == nullptr) return kInvalidValue;
    if (fails(Op::Malloc)) return kMachineFailed;
    if (!haveDevice()) return kNoDevice;
    if (bytes == 0) return kInvalidValue;
    return allocate(b, ptr, bytes);
}

Status free(void* ptr) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (fails(Op::Free)) return kMachineFailed;
    if (ptr == nullptr) return kSuccess;
    auto it = b.allocations.find(reinterpret_cast<std::uintptr_t>(ptr));
    if (it == b.allocations.end()) return kInvalidValue;  // not ours, or freed already
    drainAll(b);
    b.allocations.erase(it);
    ::operator delete[](ptr, std::align_val_t(kAllocAlign));
    return kSuccess;
}

Status memset2DAsync(void* ptr, std::size_t pitch, int value, std::size_t widthBytes,
                     std::size_t height, Stream stream) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (fails(Op::Memset2DAsync)) return kMachineFailed;
    if (!validStream(b, stream)) return kInvalidHandle;
    if (pitch < widthBytes) return kInvalidPitch;
    if (!isDeviceRange(b, ptr, span2D(pitch, widthBytes, height))) return kInvalidValue;
    auto* dst = static_cast<unsigned char*>(ptr);
    stream->queue.push_back(Work{[=] {
        for (std::size_t y = 0; y < height; ++y) std::memset(dst + y * pitch, value, widthBytes);
        return kSuccess;
    }});
    return kSuccess;
}

Status memsetAsync(void* ptr, int value, std::size_t bytes, Stream stream) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (fails(Op::MemsetAsync)) return kMachineFailed;
    if (!validStream(b, stream)) return kInvalidHandle;
    if (!isDeviceRange(b, ptr, bytes)) return kInvalidValue;
    stream->queue.push_back(Work{[=] {
        std::memset(ptr, value, bytes);
        return kSuccess;
    }});
    return kSuccess;
}

namespace {

// Checks both ends of a copy: device ends inside live allocations, host ends
// outside them (a swapped direction is refused, not silently performed).
bool copyEndsOk(const Backend& b, void* dst, std::size_t dstSpan, const void* src,
                std::size_t srcSpan, CopyKind kind) {
    bool dstDevice = kind != CopyKind::DeviceToHost;
    bool srcDevice = kind != CopyKind::HostToDevice;
    if (dst == nullptr || src == nullptr) return false;
    bool dstOk = dstDevice ? isDeviceRange(b, dst, dstSpan) : !touchesDevice(b, dst);
    bool srcOk = srcDevice ? isDeviceRange(b, src, srcSpan) : !touchesDevice(b, src);
    return dstOk && srcOk;
}

// An upload from pageable host memory has taken its data when the call
// returns, so the caller may refill or release the buffer at once: the rows
// are copied out now, packed, and reach the device when the stream runs.
std::shared_ptr<unsigned char[]> snapshotRows(const unsigned char* src, std::size_t srcPitch,
                                              std::size_t widthBytes, std::size_t height) {
    std::shared_ptr<unsigned char[]> copy(new (std::nothrow) unsigned char[widthBytes * height]);
    if (copy) copyRows(copy.get(), widthBytes, src, srcPitch, widthBytes, height);
    return copy;
}

// Queues a copy whose ends have been checked. Lock held.
Status queueCopy(StreamImpl* stream, unsigned char* dst, std::size_t dstPitch,
                 const unsigned char* src, std::size_t srcPitch, std::size_t widthBytes,
                 std::size_t height, CopyKind kind) {
    if (kind == CopyKind::HostToDevice) {
        std::shared_ptr<unsigned char[]> rows = snapshotRows(src, srcPitch, widthBytes, height);
        if (!rows && widthBytes * height != 0) return kOutOfMemory;
        stream->queue.push_back(Work{[=] {
            copyRows(dst, dstPitch, rows.get(), widthBytes, widthBytes, height);
            return kSuccess;
        }});
        return kSuccess;
    }
    stream->queue.push_back(Work{[=] {
                                     copyRows(dst, dstPitch, src, srcPitch, widthBytes, height);
                                     return kSuccess;
                                 },
                                 kind == CopyKind::DeviceToHost});
    return kSuccess;
}

}  // namespace

Status memcpy2DAsync(void* dst, std::size_t dstPitch, const void* src, std::size_t srcPitch,
                     std::size_t widthBytes, std::size_t height, CopyKind kind, Stream stream) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (fails(Op::Memcpy2DAsync)) return kMachineFailed;
    if (!validStream(b, stream)) return kInvalidHandle;
    if (dstPitch < widthBytes || srcPitch < widthBytes) return kInvalidPitch;
    if (!copyEndsOk(b, dst, span2D(dstPitch, widthBytes, height), src,
                    span2D(srcPitch, widthBytes, height), kind)) {
        return kInvalidValue;
    }
    return queueCopy(stream, static_cast<unsigned char*>(dst), dstPitch,
                     static_cast<const unsigned char*>(src), srcPitch, widthBytes, height, kind);
}

Status memcpyAsync(void* dst, const void* src, std::size_t bytes, CopyKind kind, Stream stream) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (fails(Op::MemcpyAsync)) return kMachineFailed;
    if (!validStream(b, stream)) return kInvalidHandle;
    if (!copyEndsOk(b, dst, bytes, src, bytes, kind)) return kInvalidValue;
    return queueCopy(stream, static_cast<unsigned char*>(dst), bytes,
                     static_cast<const unsigned char*>(src), bytes, bytes, 1, kind);
}

Status getLastError() {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (fails(Op::GetLastError)) return kMachineFailed;
    Status s = b.lastError;
    b.lastError = kSuccess;
    return s;
}

void launchEstimateMV16(Dim3 grid, Dim3 block, std::size_t dynamicSharedBytes, Stream stream,
                        const qnr::MotionArgs& args) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (!admitLaunch(b, Op::LaunchEstimateMV16, qnr::kMotionShape, grid, block, dynamicSharedBytes, stream)) return;
    const qnr::MotionArgs a = args;
    std::size_t mvBytes = motionVectorBytes(a.blocksX, a.blocksY);
    if (mvBytes == 0 || !framesOk(b, frameSpanBytes(a.width, a.height, a.pitch), {a.cur, a.ref}) ||
        !isDeviceRange(b, a.mv, mvBytes)) {
        queueFault(stream);
        return;
    }
    stream->queue.push_back(Work{[=] {
        cpuexec::runEstimateMV16(grid, a);
        return kSuccess;
    }});
}

void launchProcess(Dim3 grid, Dim3 block, std::size_t dynamicSharedBytes, Stream stream,
                   const qnr::ProcessArgs& args) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (!admitLaunch(b, Op::LaunchProcess, qnr::kProcessShape, grid, block, dynamicSharedBytes, stream)) return;
    const qnr::ProcessArgs a = args;
    const int blocksY = qnr::motionBlocksCovering(a.height);
    std::size_t mvBytes = motionVectorBytes(a.blocksX, blocksY);
    if (mvBytes == 0 ||
        !framesOk(b, frameSpanBytes(a.width, a.height, a.pitch), {a.cur, a.prev, a.prev2, a.prevOut, a.out}) ||
        !isDeviceRange(b, a.mv1, mvBytes) || !isDeviceRange(b, a.mv2, mvBytes)) {
        queueFault(stream);
        return;
    }
    stream->queue.push_back(Work{[=] {
        cpuexec::runProcess(grid, a);
        return kSuccess;
    }});
}

void launchProfileAuto(Dim3 grid, Dim3 block, std::size_t dynamicSharedBytes, Stream stream,
                       const qnr::ProfileArgs& args) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (!admitLaunch(b, Op::LaunchProfileAuto, qnr::kProfileShape, grid, block, dynamicSharedBytes, stream)) return;
    // One slot per block; an admitted grid has fewer than 2^47 blocks.
    const std::size_t slotBytes = static_cast<std::size_t>(grid.x) * grid.y * sizeof(double);
    const qnr::ProfileArgs a = args;
    if (!framesOk(b, frameSpanBytes(a.width, a.height, a.pitch), {a.src}) ||
        !isDeviceRange(b, a.blockSums, slotBytes) || !isDeviceRange(b, a.blockWeights, slotBytes)) {
        queueFault(stream);
        return;
    }
    stream->queue.push_back(Work{[=] {
        cpuexec::runProfileAuto(grid, a);
        return kSuccess;
    }});
}

// Events: a recorded event takes the host clock when the stream reaches it.

Status eventCreate(Event* event) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (event == nullptr) return kInvalidValue;
    auto* e = new (std::nothrow) EventImpl();
    if (e == nullptr) return kOutOfMemory;
    b.events.insert(e);
    *event = e;
    return kSuccess;
}

Status eventRecord(Event event, Stream stream) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (b.events.count(event) == 0 || !validStream(b, stream)) return kInvalidHandle;
    // A record still queued on another stream would complete this one early,
    // or outlive the event: it runs first.
    if (event->stream != nullptr && event->stream != stream && !event->done)
        event->stream->pendingError = runQueue(event->stream);
    event->stream = stream;
    event->done = false;
    stream->queue.push_back(Work{[event] {
        event->when = std::chrono::steady_clock::now();
        event->done = true;
        return kSuccess;
    }});
    return kSuccess;
}

Status eventSynchronize(Event event) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (b.events.count(event) == 0) return kInvalidHandle;
    if (event->stream != nullptr && !event->done) {
        Status s = runQueue(event->stream);
        if (s != kSuccess) return s;
    }
    return event->done ? kSuccess : kNotReady;
}

Status eventElapsedMs(float* ms, Event start, Event end) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (ms == nullptr) return kInvalidValue;
    if (b.events.count(start) == 0 || b.events.count(end) == 0) return kInvalidHandle;
    if (!start->done || !end->done) return kNotReady;
    *ms = std::chrono::duration<float, std::milli>(end->when - start->when).count();
    return kSuccess;
}

Status eventDestroy(Event event) {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    if (b.events.erase(event) == 0) return kInvalidHandle;
    // A record still queued keeps a pointer to the event: let it run first.
    if (event->stream != nullptr && !event->done) event->stream->pendingError = runQueue(event->stream);
    delete event;
    return kSuccess;
}

// Page-locked memory is what all memory is here: plain host memory.
Status hostAllocPageLocked(void** ptr, std::size_t bytes) {
    if (ptr == nullptr || bytes == 0) return kInvalidValue;
    *ptr = ::operator new(bytes, std::nothrow);
    return *ptr != nullptr ? kSuccess : kOutOfMemory;
}

Status hostFreePageLocked(void* ptr) {
    ::operator delete(ptr);
    return kSuccess;
}

// Nothing to lock: the processor reads host memory as it is.
Status hostRegister(void* ptr, std::size_t bytes) { return ptr != nullptr && bytes > 0 ? kSuccess : kInvalidValue; }

Status hostUnregister(void*) { return kSuccess; }

// The processor, as one device that runs every kernel it is given.
DriverInfo driverInfo() {
    Backend& b = backend();
    std::lock_guard lock(b.mutex);
    DriverInfo info;
    info.state = DriverState::Ready;
    info.deviceCount = std::max(cpumachine::devices(), 0);
    info.cpu = true;
    return info;
}

Status deviceInfo(int device, DeviceInfo* info) {
    if (info == nullptr) return kInvalidValue;
    *info = DeviceInfo{};
    if (device < 0 || device >= driverInfo().deviceCount) return kInvalidDevice;
    std::snprintf(info->name, sizeof info->name, "CPU executor");
    return kSuccess;
}

// The executor runs the kernels' own source: there is no image to load.
KernelLoad tryLoadKernels(int device) {
    KernelLoad load;
    load.status = device >= 0 && device < driverInfo().deviceCount ? kSuccess : kInvalidDevice;
    return load;
}

KernelLoad kernelLoad(int) { return {}; }

std::span<const QuelmarDeviceImage> deviceImages() { return {}; }


}  // namespace dev
