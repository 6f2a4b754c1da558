// Device memory: allocations of the current context, and copies and clears
// whose every byte must lie inside them.
#include <cstring>
#include <iterator>

#include "tests/simdriver/state.h"

using namespace sim;

namespace {

// What cuMemAllocPitch gives on current GPUs: rows padded to 512 bytes, no
// more (a 7680-byte row has a 7680-byte pitch), and no pitch beyond
// CU_DEVICE_ATTRIBUTE_MAX_PITCH, which every current GPU reports as 2^31 - 1.
constexpr std::size_t kPitchAlignment = 512;
constexpr std::size_t kMaxPitch = 2147483647;
constexpr unsigned char kFreshByte = 0xCD;  // uncleared memory is visibly not zero

std::uintptr_t address(CUdeviceptr p) { return static_cast<std::uintptr_t>(p); }

std::size_t span2D(std::size_t pitch, std::size_t widthBytes, std::size_t height) {
    return height == 0 ? 0 : pitch * (height - 1) + widthBytes;
}

std::uint64_t bytesInUse(const Driver& d, const Context* c) {
    std::uint64_t total = 0;
    for (const auto& [start, a] : d.allocations) total += a.context->device == c->device ? a.bytes : 0;
    return total;
}

CUresult allocate(Driver& d, Context* c, std::size_t bytes, CUdeviceptr* out) {
    const DeviceModel& model = d.machine.devices[static_cast<std::size_t>(d.visible[c->device])];
    if (bytes > model.memoryBytes - std::min(model.memoryBytes, bytesInUse(d, c))) {
        return CUDA_ERROR_OUT_OF_MEMORY;
    }
    const DeviceAccess access(d);  // the new block closes with the others when it ends
    void* p = newDeviceMemory(bytes);
    if (p == nullptr) return CUDA_ERROR_OUT_OF_MEMORY;
    std::memset(p, kFreshByte, bytes);
    d.allocations.emplace(reinterpret_cast<std::uintptr_t>(p), Allocation{bytes, c});
    *out = static_cast<CUdeviceptr>(reinterpret_cast<std::uintptr_t>(p));
    return CUDA_SUCCESS;
}

// Host memory is never device memory: a swapped end is refused, not performed.
bool hostRangeOk(Driver& d, const char* entry, const char* what, const void* p, std::size_t bytes) {
    if (bytes == 0) return true;
    if (p == nullptr) {
        violation(d, entry, std::string(what) + " is null", CUDA_ERROR_INVALID_VALUE);
        return false;
    }
    if (allocationOf(d, reinterpret_cast<std::uintptr_t>(p), 1) != nullptr) {
        violation(d, entry, std::string(what) + " points into device memory", CUDA_ERROR_INVALID_VALUE);
        return false;
    }
    return true;
}

void copyRows(unsigned char* dst, std::size_t dstPitch, const unsigned char* src,
              std::size_t srcPitch, std::size_t widthBytes, std::size_t height) {
    for (std::size_t y = 0; y < height; ++y) std::memmove(dst + y * dstPitch, src + y * srcPitch, widthBytes);
}

// One end of a 2D copy: where its first byte is and how far it reaches.
struct CopyEnd {
    bool device;
    unsigned char* first;
    std::size_t pitch;
};

bool copyEndOk(Driver& d, const char* entry, const char* what, Context* c, const CopyEnd& end,
               std::size_t widthBytes, std::size_t height) {
    const std::size_t span = span2D(end.pitch, widthBytes, height);
    if (!end.device) return hostRangeOk(d, entry, what, end.first, span);
    return deviceRangeOk(d, entry, what, c, reinterpret_cast<std::uintptr_t>(end.first), span);
}

bool overlap(const CopyEnd& a, const CopyEnd& b, std::size_t widthBytes, std::size_t height) {
    const auto a0 = reinterpret_cast<std::uintptr_t>(a.first), b0 = reinterpret_cast<std::uintptr_t>(b.first);
    return a0 < b0 + span2D(b.pitch, widthBytes, height) && b0 < a0 + span2D(a.pitch, widthBytes, height);
}

// Checks and queues a copy. An upload from pageable host memory has taken its
// data when the call returns, so the rows are copied out now; everything else,
// an upload from page-locked memory included, happens when the stream runs:
// such memory reused before a synchronisation uploads what it holds then.
CUresult queueCopy(Driver& d, const char* entry, Context* c, CUstream stream, CopyEnd dst,
                   CopyEnd src, std::size_t widthBytes, std::size_t height) {
    Stream* s = requireStream(d, entry, stream, c);
    if (s == nullptr) return CUDA_ERROR_INVALID_HANDLE;
    if (widthBytes > dst.pitch || widthBytes > src.pitch) {
        return violation(d, entry, "a row wider than its pitch", CUDA_ERROR_INVALID_VALUE);
    }
    if (height > 1 && (dst.pitch > kMaxPitch || src.pitch > kMaxPitch)) return CUDA_ERROR_INVALID_VALUE;
    if (!copyEndOk(d, entry, "destination", c, dst, widthBytes, height) ||
        !copyEndOk(d, entry, "source", c, src, widthBytes, height)) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    if (dst.device && src.device && overlap(dst, src, widthBytes, height)) {
        return violation(d, entry, "source and destination overlap", CUDA_ERROR_INVALID_VALUE);
    }
    if (!src.device && !pageLocked(d, reinterpret_cast<std::uintptr_t>(src.first), span2D(src.pitch, widthBytes, height))) {
        auto rows = std::make_shared<std::vector<unsigned char>>(widthBytes * height);
        copyRows(rows->data(), widthBytes, src.first, src.pitch, widthBytes, height);
        s->queue.push_back([=] {
            copyRows(dst.first, dst.pitch, rows->data(), widthBytes, widthBytes, height);
            return CUDA_SUCCESS;
        });
    } else {
        s->queue.push_back([=] {
            copyRows(dst.first, dst.pitch, src.first, src.pitch, widthBytes, height);
            return CUDA_SUCCESS;
        });
    }
    return CUDA_SUCCESS;
}

CUresult queueClear(Driver& d, const char* entry, Context* c, CUdeviceptr p, std::size_t pitch,
                    unsigned char value, std::size_t widthBytes, std::size_t height, CUstream stream) {
    Stream* s = requireStream(d, entry, stream, c);
    if (s == nullptr) return CUDA_ERROR_INVALID_HANDLE;
    if (widthBytes > pitch) return violation(d, entry, "a row wider than its pitch", CUDA_ERROR_INVALID_VALUE);
    if (!deviceRangeOk(d, entry, "destination", c, address(p), span2D(pitch, widthBytes, height))) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    auto* first = reinterpret_cast<unsigned char*>(address(p));
    s->queue.push_back([=] {
        for (std::size_t y = 0; y < height; ++y) std::memset(first + y * pitch, value, widthBytes);
        return CUDA_SUCCESS;
    });
    return CUDA_SUCCESS;
}

CopyEnd deviceEnd(CUdeviceptr p, std::size_t pitch) {
    return CopyEnd{true, reinterpret_cast<unsigned char*>(address(p)), pitch};
}
CopyEnd hostEnd(const void* p, std::size_t pitch) {
    return CopyEnd{false, static_cast<unsigned char*>(const_cast<void*>(p)), pitch};
}

// The end of a 2D copy its descriptor names, offsets applied.
bool describedEnd(Driver& d, const char* entry, int type, const void* host, CUdeviceptr device,
                  std::size_t x, std::size_t y, std::size_t pitch, CopyEnd* end) {
    if (type != CU_MEMORYTYPE_HOST && type != CU_MEMORYTYPE_DEVICE) {
        violation(d, entry, "a memory type other than host or device", CUDA_ERROR_INVALID_VALUE);
        return false;
    }
    *end = type == CU_MEMORYTYPE_HOST ? hostEnd(host, pitch) : deviceEnd(device, pitch);
    if (end->first != nullptr) end->first += y * pitch + x;
    return true;
}

}  // namespace

SIM_EXPORT CUresult CUDAAPI cuMemAlloc(CUdeviceptr* p, size_t bytes) {
    SIM_ENTER_IN_CONTEXT("cuMemAlloc_v2");
    if (p == nullptr || bytes == 0) return CUDA_ERROR_INVALID_VALUE;
    return allocate(d, c, bytes, p);
}

SIM_EXPORT CUresult CUDAAPI cuMemAllocPitch(CUdeviceptr* p, size_t* pitch, size_t widthBytes,
                                            size_t height, unsigned int elementBytes) {
    SIM_ENTER_IN_CONTEXT("cuMemAllocPitch_v2");
    if (p == nullptr || pitch == nullptr || widthBytes == 0 || height == 0 ||
        (elementBytes != 4 && elementBytes != 8 && elementBytes != 16)) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    if (widthBytes > kMaxPitch) return CUDA_ERROR_INVALID_VALUE;
    const std::size_t rowPitch = (widthBytes + kPitchAlignment - 1) / kPitchAlignment * kPitchAlignment;
    if (height > SIZE_MAX / rowPitch) return CUDA_ERROR_OUT_OF_MEMORY;
    CUresult r = allocate(d, c, rowPitch * height, p);
    if (r == CUDA_SUCCESS) *pitch = rowPitch;
    return r;
}

// Freeing waits for the context's queued work, as the driver's free does.
SIM_EXPORT CUresult CUDAAPI cuMemFree(CUdeviceptr p) {
    SIM_ENTER_IN_CONTEXT("cuMemFree_v2");
    auto it = d.allocations.find(address(p));
    if (it == d.allocations.end()) return violation(d, entry, "not a live allocation", CUDA_ERROR_INVALID_VALUE);
    if (it->second.context != c) return violation(d, entry, "memory of another context", CUDA_ERROR_INVALID_VALUE);
    drainContext(d, c);
    deleteDeviceMemory(it->first, it->second.bytes);
    d.allocations.erase(it);
    return CUDA_SUCCESS;
}

// Page-locked host memory: host memory to every copy, owned by the context
// that made it, as the driver's is.
SIM_EXPORT CUresult CUDAAPI cuMemAllocHost(void** p, size_t bytes) {
    SIM_ENTER_IN_CONTEXT("cuMemAllocHost_v2");
    if (p == nullptr || bytes == 0) return CUDA_ERROR_INVALID_VALUE;
    void* block = newHostMemory(bytes);
    if (block == nullptr) return CUDA_ERROR_OUT_OF_MEMORY;
    d.hostBlocks.emplace(reinterpret_cast<std::uintptr_t>(block), Allocation{bytes, c});
    *p = block;
    return CUDA_SUCCESS;
}

SIM_EXPORT CUresult CUDAAPI cuMemFreeHost(void* p) {
    SIM_ENTER_IN_CONTEXT("cuMemFreeHost");
    auto it = d.hostBlocks.find(reinterpret_cast<std::uintptr_t>(p));
    if (it == d.hostBlocks.end()) {
        return violation(d, entry, "not memory from cuMemAllocHost", CUDA_ERROR_INVALID_VALUE);
    }
    if (it->second.context != c) return violation(d, entry, "memory of another context", CUDA_ERROR_INVALID_VALUE);
    drainContext(d, c);
    deleteHostMemory(it->first);
    d.hostBlocks.erase(it);
    return CUDA_SUCCESS;
}

// Host memory the caller allocated, page-locked for every context. The
// registration is kept with the context current at the time, so that the
// context's release can tell one never undone.
SIM_EXPORT CUresult CUDAAPI cuMemHostRegister(void* p, size_t bytes, unsigned int flags) {
    SIM_ENTER_IN_CONTEXT("cuMemHostRegister_v2");
    constexpr unsigned kKnown = CU_MEMHOSTREGISTER_PORTABLE | CU_MEMHOSTREGISTER_DEVICEMAP |
                                CU_MEMHOSTREGISTER_IOMEMORY | CU_MEMHOSTREGISTER_READ_ONLY;
    if (p == nullptr || bytes == 0 || (flags & ~kKnown) != 0) return CUDA_ERROR_INVALID_VALUE;
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    if (allocationOf(d, start, 1) != nullptr) {
        return violation(d, entry, "device memory registered as host memory", CUDA_ERROR_INVALID_VALUE);
    }
    auto next = d.registered.lower_bound(start);
    const bool overlapsNext = next != d.registered.end() && next->first < start + bytes;
    const bool overlapsPrevious =
        next != d.registered.begin() && std::prev(next)->first + std::prev(next)->second.bytes > start;
    if (overlapsNext || overlapsPrevious || pageLocked(d, start, 1)) return CUDA_ERROR_HOST_MEMORY_ALREADY_REGISTERED;
    d.registered.emplace(start, Allocation{bytes, c});
    return CUDA_SUCCESS;
}

SIM_EXPORT CUresult CUDAAPI cuMemHostUnregister(void* p) {
    SIM_ENTER_IN_CONTEXT("cuMemHostUnregister");
    auto it = d.registered.find(reinterpret_cast<std::uintptr_t>(p));
    if (it == d.registered.end()) return CUDA_ERROR_HOST_MEMORY_NOT_REGISTERED;
    d.registered.erase(it);
    return CUDA_SUCCESS;
}

SIM_EXPORT CUresult CUDAAPI cuMemsetD8Async(CUdeviceptr p, unsigned char value, size_t bytes,
                                            CUstream stream) {
    SIM_ENTER_IN_CONTEXT("cuMemsetD8Async");
    return queueClear(d, entry, c, p, bytes, value, bytes, 1, stream);
}

SIM_EXPORT CUresult CUDAAPI cuMemsetD2D8Async(CUdeviceptr p, size_t pitch, unsigned char value,
                                              size_t widthBytes, size_t height, CUstream stream) {
    SIM_ENTER_IN_CONTEXT("cuMemsetD2D8Async");
    return queueClear(d, entry, c, p, pitch, value, widthBytes, height, stream);
}

SIM_EXPORT CUresult CUDAAPI cuMemcpy2DAsync(const CUDA_MEMCPY2D* copy, CUstream stream) {
    SIM_ENTER_IN_CONTEXT("cuMemcpy2DAsync_v2");
    if (copy == nullptr) return CUDA_ERROR_INVALID_VALUE;
    CopyEnd src{}, dst{};
    if (!describedEnd(d, entry, copy->srcMemoryType, copy->srcHost, copy->srcDevice,
                      copy->srcXInBytes, copy->srcY, copy->srcPitch, &src) ||
        !describedEnd(d, entry, copy->dstMemoryType, copy->dstHost, copy->dstDevice,
                      copy->dstXInBytes, copy->dstY, copy->dstPitch, &dst)) {
        return CUDA_ERROR_INVALID_VALUE;
    }
    return queueCopy(d, entry, c, stream, dst, src, copy->WidthInBytes, copy->Height);
}

SIM_EXPORT CUresult CUDAAPI cuMemcpyHtoDAsync(CUdeviceptr dst, const void* src, size_t bytes,
                                              CUstream stream) {
    SIM_ENTER_IN_CONTEXT("cuMemcpyHtoDAsync_v2");
    return queueCopy(d, entry, c, stream, deviceEnd(dst, bytes), hostEnd(src, bytes), bytes, 1);
}

SIM_EXPORT CUresult CUDAAPI cuMemcpyDtoHAsync(void* dst, CUdeviceptr src, size_t bytes,
                                              CUstream stream) {
    SIM_ENTER_IN_CONTEXT("cuMemcpyDtoHAsync_v2");
    return queueCopy(d, entry, c, stream, hostEnd(dst, bytes), deviceEnd(src, bytes), bytes, 1);
}

SIM_EXPORT CUresult CUDAAPI cuMemcpyDtoDAsync(CUdeviceptr dst, CUdeviceptr src, size_t bytes,
                                              CUstream stream) {
    SIM_ENTER_IN_CONTEXT("cuMemcpyDtoDAsync_v2");
    return queueCopy(d, entry, c, stream, deviceEnd(dst, bytes), deviceEnd(src, bytes), bytes, 1);
}
