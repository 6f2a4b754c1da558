// The simulated driver's state and the checks every entry point shares. One
// lock guards everything; queued work runs, with the lock held, when a stream
// is synchronised. Misuse by the caller is a violation: it is counted, named
// on stderr and answered with the error the real driver would give.
#pragma once
#include <cuda.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tests/simdriver/device_image_reader.h"
#include "tests/simdriver/machine.h"

#if defined(_WIN32)
#define SIM_EXPORT extern "C" __declspec(dllexport)
#else
#define SIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Opens an entry point: d is the driver, with its lock held. An injected
// failure returns the status the test chose (what no real driver would say
// here unless the test says otherwise).
#define SIM_ENTER(name)                                                                    \
    static constexpr const char* entry = name;                                             \
    ::sim::Driver& d = ::sim::driver();                                                    \
    std::lock_guard simLock(d.mutex);                                                      \
    if (const CUresult simInjected = ::sim::injected(d, entry); simInjected != CUDA_SUCCESS) \
    return simInjected

// The same for an entry point that does work in the current context: c. After
// a fault the driver makes sticky, every such call returns that fault.
#define SIM_ENTER_IN_CONTEXT(name)                       \
    SIM_ENTER(name);                                     \
    if (d.sticky != CUDA_SUCCESS) return d.sticky;       \
    ::sim::Context* c = ::sim::requireContext(d, entry); \
    if (c == nullptr) return CUDA_ERROR_INVALID_CONTEXT

namespace sim {

struct Context;

struct Stream {
    Context* context = nullptr;
    std::deque<std::function<CUresult()>> queue;
    CUresult pending = CUDA_SUCCESS;  // a failure of work run outside a synchronisation
};

struct Event {
    Context* context = nullptr;
    Stream* stream = nullptr;  // where it was last recorded
    bool done = false;
    bool timing = true;  // not created with CU_EVENT_DISABLE_TIMING
    double whenMs = 0;
};

struct Module;

struct Function {
    Module* module = nullptr;
    int kernel = -1;  // index into the kernel table (kernels.h)
    deviceimage::KernelLayout layout;
};

struct Module {
    Context* context = nullptr;
    std::vector<unsigned char> payload;  // the chosen image, copied
    deviceimage::Image image;            // its description, bytes pointing into the copy
    std::map<std::string, std::unique_ptr<Function>> functions;
};

// A device's primary context: it exists for the life of the process and is
// active while retained.
struct Context {
    int device = 0;
    int retains = 0;
    unsigned flags = 0;
};

struct Allocation {
    std::size_t bytes = 0;
    Context* context = nullptr;
};

// A call armed to fail: its absolute call number, the status it gives, and
// whether it gives it at once or at the next synchronisation.
struct Armed {
    int call = 0;
    CUresult status = CUDA_ERROR_UNKNOWN;
    bool async = false;
};

struct Driver {
    std::mutex mutex;
    Machine machine;
    bool initialised = false;
    std::vector<int> visible;  // ordinals: the machine's devices the driver knows
    std::vector<std::unique_ptr<Context>> primaries;  // one per visible device
    std::map<std::uintptr_t, Allocation> allocations;
    std::map<std::uintptr_t, Allocation> hostBlocks;  // page-locked host memory
    std::map<std::uintptr_t, Allocation> registered;  // host memory page-locked by cuMemHostRegister
    std::set<Stream*> streams;
    std::set<Event*> events;
    std::set<Module*> modules;
    std::set<Function*> functions;
    // After an injected failure or a sticky fault the caller may have lost
    // track of objects; the release of their context then reclaims them
    // without calling that a leak.
    bool failureInjected = false;
    // The first fault that leaves the process's CUDA state unusable: from
    // then on every call that does work returns it, as cuda.h documents.
    CUresult sticky = CUDA_SUCCESS;
    // Whether cuGetProcAddress_v2 answers (tests turn it off to see callers
    // fall back to the exported names).
    bool procAddress = true;
    // Base names cuGetProcAddress_v2 says it has no function for, as a driver
    // that lacks them would.
    std::set<std::string> withheld;
    // A failure armed to arrive asynchronously: the next synchronisation returns it.
    CUresult pendingAsync = CUDA_SUCCESS;

    int violations = 0;
    std::map<std::string, int> calls;
    std::map<std::string, Armed> failAt;  // entry point -> the call that fails, and how
    std::string lastLoad;               // the account of the last module load
    unsigned generation = 0;            // bumped by a reset: older thread stacks are void
    int deviceAccess = 0;               // DeviceAccess nesting: device memory is open while above 0
};

Driver& driver();

// Counts the call of an entry point; the status it must return when it is
// the one armed to fail (all queued work has then completed), else success.
// A failure armed to arrive asynchronously lets the call go on. Lock held.
CUresult injected(Driver& d, const char* entry);

// Whether cuda.h documents the status as leaving the process unable to do any
// further CUDA work (illegal address, launch timeout, hardware exceptions).
// The driver's own list, read from cuda.h, not the module's: a slip in one
// must not pass on both sides.
bool IsStickyFault(CUresult status);

// The status of a synchronisation that found result: an armed asynchronous
// failure first; a sticky fault is remembered. Lock held.
CUresult synchronised(Driver& d, CUresult result);

// Counts and reports a violation; returns status for the caller to pass on.
CUresult violation(Driver& d, const char* entry, const std::string& what, CUresult status);
std::string hex(std::uintptr_t value);

// The calling thread's context stack.
std::vector<Context*>& threadStack(Driver& d);
Context* currentContext(Driver& d);

// The current context, or a violation: every call but the device queries needs one.
Context* requireContext(Driver& d, const char* entry);

bool isActive(const Driver& d, const Context* c);

// Device memory is host memory, aligned as a GPU's allocations are, and (on
// Linux) unreadable from the host outside the driver's own work, so that the
// caller's dereference of a device pointer faults as on a real GPU. A new
// block is open to the caller of newDeviceMemory until its DeviceAccess ends.
void* newDeviceMemory(std::size_t bytes);
void deleteDeviceMemory(std::uintptr_t start, std::size_t bytes);

// Page-locked host memory from cuMemAllocHost: plain, readable host memory.
void* newHostMemory(std::size_t bytes);
void deleteHostMemory(std::uintptr_t start);

// While one lives, the driver's work (queued copies, clears and launches) may
// touch every live allocation. Lock held; nests.
class DeviceAccess {
public:
    explicit DeviceAccess(Driver& d);
    ~DeviceAccess();
    DeviceAccess(const DeviceAccess&) = delete;
    DeviceAccess& operator=(const DeviceAccess&) = delete;

private:
    Driver& d_;
};

// Whether [p, p + bytes) of host memory is page-locked: copies then read and
// write it when they run, not when they are queued.
bool pageLocked(const Driver& d, std::uintptr_t p, std::size_t bytes);

// The live allocation [p, p + bytes) lies in, or null.
const Allocation* allocationOf(const Driver& d, std::uintptr_t p, std::size_t bytes);

// True when [p, p + bytes) lies in one live allocation of the context; a
// violation otherwise (what names the argument).
bool deviceRangeOk(Driver& d, const char* entry, const std::string& what, Context* c,
                   std::uintptr_t p, std::size_t bytes);

// The object behind a handle, when it is live and belongs to the current
// context c; a violation otherwise (what: "stream", "event", "module").
template <typename T>
T* requireOwned(Driver& d, const char* entry, const std::set<T*>& live, const void* handle, Context* c,
                const std::string& what) {
    auto* object = static_cast<T*>(const_cast<void*>(handle));
    if (live.count(object) == 0) {
        violation(d, entry, "not a live " + what, CUDA_ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (object->context != c) {
        violation(d, entry, "a " + what + " of another context", CUDA_ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object;
}

// The stream as requireOwned gives it; the default stream is a violation too.
Stream* requireStream(Driver& d, const char* entry, CUstream handle, Context* c);

// Runs a stream's queue; the first failure drops the rest and is returned.
CUresult runQueue(Stream* s);
void drainContext(Driver& d, Context* c);

// Releases everything a context holds, when its last retain goes.
void reclaimContext(Driver& d, Context* c, const char* entry);

}  // namespace sim
