#include "tests/simdriver/state.h"

#include <cstdio>
#include <new>
#if !defined(_WIN32)
#include <sys/mman.h>
#endif
#include <utility>

namespace sim {

Driver& driver() {
    static Driver d;
    return d;
}

CUresult injected(Driver& d, const char* entry) {
    const int n = ++d.calls[entry];
    if (d.machine.trace) std::fprintf(stderr, "simdriver: %s #%d\n", entry, n);
    auto armed = d.failAt.find(entry);
    if (armed == d.failAt.end() || armed->second.call != n) return CUDA_SUCCESS;
    const Armed failure = armed->second;
    d.failAt.erase(armed);
    d.failureInjected = true;
    if (failure.async) {
        d.pendingAsync = failure.status;
        return CUDA_SUCCESS;
    }
    // A GPU runs what was queued whatever the host's calls do: by the time a
    // call fails, all of it may have completed. So it has here, and nothing
    // lands in host memory later, when the caller could no longer wait for it.
    for (Stream* s : d.streams) {
        if (!s->queue.empty()) s->pending = runQueue(s);
    }
    if (IsStickyFault(failure.status) && d.sticky == CUDA_SUCCESS) d.sticky = failure.status;
    return failure.status;
}

bool IsStickyFault(CUresult status) {
    switch (status) {
        case CUDA_ERROR_CONTAINED:
        case CUDA_ERROR_ILLEGAL_ADDRESS:
        case CUDA_ERROR_LAUNCH_TIMEOUT:
        case CUDA_ERROR_HARDWARE_STACK_ERROR:
        case CUDA_ERROR_ILLEGAL_INSTRUCTION:
        case CUDA_ERROR_MISALIGNED_ADDRESS:
        case CUDA_ERROR_INVALID_ADDRESS_SPACE:
        case CUDA_ERROR_INVALID_PC:
        case CUDA_ERROR_LAUNCH_FAILED:
        case CUDA_ERROR_TENSOR_MEMORY_LEAK:
        case CUDA_ERROR_MPS_CLIENT_TERMINATED:
        case CUDA_ERROR_EXTERNAL_DEVICE:
            return true;
        default:
            return false;
    }
}

CUresult synchronised(Driver& d, CUresult result) {
    if (d.pendingAsync != CUDA_SUCCESS) result = std::exchange(d.pendingAsync, CUDA_SUCCESS);
    if (IsStickyFault(result) && d.sticky == CUDA_SUCCESS) d.sticky = result;
    return result;
}

CUresult violation(Driver& d, const char* entry, const std::string& what, CUresult status) {
    ++d.violations;
    std::fprintf(stderr, "simdriver: VIOLATION in %s: %s\n", entry, what.c_str());
    std::fflush(stderr);
    return status;
}

std::string hex(std::uintptr_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::vector<Context*>& threadStack(Driver& d) {
    thread_local std::vector<Context*> stack;
    thread_local unsigned generation = 0;
    if (generation != d.generation) {
        stack.clear();
        generation = d.generation;
    }
    return stack;
}

Context* currentContext(Driver& d) {
    std::vector<Context*>& stack = threadStack(d);
    return stack.empty() ? nullptr : stack.back();
}

bool isActive(const Driver& d, const Context* c) {
    for (const auto& p : d.primaries) {
        if (p.get() == c) return c->retains > 0;
    }
    return false;
}

Context* requireContext(Driver& d, const char* entry) {
    if (!d.initialised) {
        violation(d, entry, "called before cuInit succeeded", CUDA_ERROR_NOT_INITIALIZED);
        return nullptr;
    }
    Context* c = currentContext(d);
    if (c == nullptr) {
        violation(d, entry, "no context is current on this thread", CUDA_ERROR_INVALID_CONTEXT);
    } else if (!isActive(d, c)) {
        violation(d, entry, "the current context has been released", CUDA_ERROR_CONTEXT_IS_DESTROYED);
        c = nullptr;
    }
    return c;
}

namespace {

constexpr std::size_t kAllocationAlignment = 256;

#if !defined(_WIN32)
// Whole pages, so that protection covers exactly the allocation's own.
void protect(std::uintptr_t start, std::size_t bytes, bool open) {
    ::mprotect(reinterpret_cast<void*>(start), bytes, open ? PROT_READ | PROT_WRITE : PROT_NONE);
}
#endif

}  // namespace

void* newDeviceMemory(std::size_t bytes) {
#if defined(_WIN32)
    return ::operator new[](bytes, std::align_val_t(kAllocationAlignment), std::nothrow);
#else
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
#endif
}

void deleteDeviceMemory(std::uintptr_t start, std::size_t bytes) {
#if defined(_WIN32)
    (void)bytes;
    ::operator delete[](reinterpret_cast<void*>(start), std::align_val_t(kAllocationAlignment));
#else
    ::munmap(reinterpret_cast<void*>(start), bytes);
#endif
}

void* newHostMemory(std::size_t bytes) {
    return ::operator new[](bytes, std::align_val_t(kAllocationAlignment), std::nothrow);
}

void deleteHostMemory(std::uintptr_t start) {
    ::operator delete[](reinterpret_cast<void*>(start), std::align_val_t(kAllocationAlignment));
}

DeviceAccess::DeviceAccess(Driver& d) : d_(d) {
#if !defined(_WIN32)
    if (d_.deviceAccess++ > 0) return;
    for (const auto& [start, a] : d_.allocations) protect(start, a.bytes, true);
#endif
}

DeviceAccess::~DeviceAccess() {
#if !defined(_WIN32)
    if (--d_.deviceAccess > 0) return;
    for (const auto& [start, a] : d_.allocations) protect(start, a.bytes, false);
#endif
}

namespace {

bool within(const std::map<std::uintptr_t, Allocation>& blocks, std::uintptr_t p, std::size_t bytes) {
    auto it = blocks.upper_bound(p);
    if (it == blocks.begin()) return false;
    --it;
    const std::uintptr_t end = it->first + it->second.bytes;
    return p >= it->first && p < end && bytes <= end - p;
}

}  // namespace

bool pageLocked(const Driver& d, std::uintptr_t p, std::size_t bytes) {
    return within(d.hostBlocks, p, bytes) || within(d.registered, p, bytes);
}

const Allocation* allocationOf(const Driver& d, std::uintptr_t p, std::size_t bytes) {
    auto it = d.allocations.upper_bound(p);
    if (it == d.allocations.begin()) return nullptr;
    --it;
    const std::uintptr_t end = it->first + it->second.bytes;
    return p >= it->first && p < end && bytes <= end - p ? &it->second : nullptr;
}

bool deviceRangeOk(Driver& d, const char* entry, const std::string& what, Context* c,
                   std::uintptr_t p, std::size_t bytes) {
    const Allocation* a = allocationOf(d, p, bytes == 0 ? 1 : bytes);
    if (a == nullptr) {
        violation(d, entry, what + ": " + std::to_string(bytes) + " bytes at " + hex(p) + " are not inside one live allocation",
                  CUDA_ERROR_INVALID_VALUE);
        return false;
    }
    if (a->context != c) {
        violation(d, entry, what + ": memory of another context", CUDA_ERROR_INVALID_VALUE);
        return false;
    }
    return true;
}

Stream* requireStream(Driver& d, const char* entry, CUstream handle, Context* c) {
    if (handle == nullptr) {
        violation(d, entry, "the default stream: all work belongs on the context's own stream",
                  CUDA_ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return requireOwned(d, entry, d.streams, handle, c, "stream");
}

CUresult runQueue(Stream* s) {
    Driver& d = driver();
    const DeviceAccess access(d);
    CUresult result = s->pending;
    s->pending = CUDA_SUCCESS;
    while (!s->queue.empty()) {
        auto work = std::move(s->queue.front());
        s->queue.pop_front();
        if (result == CUDA_SUCCESS) result = work();  // a failed stream drops the rest
    }
    // A fault in the work poisons the whole process, whoever asks next.
    if (IsStickyFault(result) && d.sticky == CUDA_SUCCESS) d.sticky = result;
    return result;
}

void drainContext(Driver& d, Context* c) {
    for (Stream* s : d.streams) {
        if (s->context == c && !s->queue.empty()) s->pending = runQueue(s);
    }
}

namespace {

// Deletes every object of the context in the set; returns how many there were.
template <typename T>
int reclaim(std::set<T*>& objects, Context* c) {
    int leaked = 0;
    for (auto it = objects.begin(); it != objects.end();) {
        if ((*it)->context != c) {
            ++it;
            continue;
        }
        ++leaked;
        delete *it;
        it = objects.erase(it);
    }
    return leaked;
}

}  // namespace

namespace {

// Frees the blocks of a released context; how many there were.
template <typename Delete>
int reclaimMemory(std::map<std::uintptr_t, Allocation>& blocks, const Context* c, Delete free) {
    int freed = 0;
    for (auto it = blocks.begin(); it != blocks.end();) {
        if (it->second.context != c) {
            ++it;
            continue;
        }
        ++freed;
        free(it->first, it->second.bytes);
        it = blocks.erase(it);
    }
    return freed;
}

}  // namespace

void reclaimContext(Driver& d, Context* c, const char* entry) {
    drainContext(d, c);
    int leaked = reclaimMemory(d.allocations, c, deleteDeviceMemory) +
                 reclaimMemory(d.hostBlocks, c, [](std::uintptr_t start, std::size_t) { deleteHostMemory(start); });
    // Registrations are the caller's memory: only forgotten, never freed.
    for (auto it = d.registered.begin(); it != d.registered.end();) {
        if (it->second.context != c) {
            ++it;
            continue;
        }
        ++leaked;
        it = d.registered.erase(it);
    }
    for (Module* m : d.modules) {
        if (m->context == c) {
            for (auto& f : m->functions) d.functions.erase(f.second.get());
        }
    }
    leaked += reclaim(d.streams, c) + reclaim(d.events, c) + reclaim(d.modules, c);
    if (leaked > 0 && !d.failureInjected && d.sticky == CUDA_SUCCESS) {
        violation(d, entry, std::to_string(leaked) + " object(s) still alive in the released context",
                  CUDA_SUCCESS);
    }
}

}  // namespace sim
