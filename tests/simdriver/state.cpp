#include "tests/simdriver/state.h"

#include <cstdio>
#include <new>

namespace sim {

Driver& driver() {
    static Driver d;
    return d;
}

bool injected(Driver& d, const char* entry) {
    const int n = ++d.calls[entry];
    if (d.machine.trace) std::fprintf(stderr, "simdriver: %s #%d\n", entry, n);
    auto armed = d.failAt.find(entry);
    if (armed == d.failAt.end() || armed->second != n) return false;
    d.failAt.erase(armed);
    d.failureInjected = true;
    // A GPU runs what was queued whatever the host's calls do: by the time a
    // call fails, all of it may have completed. So it has here, and nothing
    // lands in host memory later, when the caller could no longer wait for it.
    for (Stream* s : d.streams) {
        if (!s->queue.empty()) s->pending = runQueue(s);
    }
    return true;
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
}

void* newDeviceMemory(std::size_t bytes) {
    return ::operator new[](bytes, std::align_val_t(kAllocationAlignment), std::nothrow);
}

void deleteDeviceMemory(std::uintptr_t start) {
    ::operator delete[](reinterpret_cast<void*>(start), std::align_val_t(kAllocationAlignment));
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
    CUresult result = s->pending;
    s->pending = CUDA_SUCCESS;
    while (!s->queue.empty()) {
        auto work = std::move(s->queue.front());
        s->queue.pop_front();
        if (result == CUDA_SUCCESS) result = work();  // a failed stream drops the rest
    }
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
int reclaimMemory(std::map<std::uintptr_t, Allocation>& blocks, const Context* c) {
    int freed = 0;
    for (auto it = blocks.begin(); it != blocks.end();) {
        if (it->second.context != c) {
            ++it;
            continue;
        }
        ++freed;
        deleteDeviceMemory(it->first);
        it = blocks.erase(it);
    }
    return freed;
}

}  // namespace

void reclaimContext(Driver& d, Context* c, const char* entry) {
    drainContext(d, c);
    int leaked = reclaimMemory(d.allocations, c) + reclaimMemory(d.hostBlocks, c);
    for (Module* m : d.modules) {
        if (m->context == c) {
            for (auto& f : m->functions) d.functions.erase(f.second.get());
        }
    }
    leaked += reclaim(d.streams, c) + reclaim(d.events, c) + reclaim(d.modules, c);
    if (leaked > 0 && !d.failureInjected) {
        violation(d, entry, std::to_string(leaked) + " object(s) still alive in the released context",
                  CUDA_SUCCESS);
    }
}

}  // namespace sim
