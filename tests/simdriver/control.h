// What tests may ask of the simulated driver beyond the CUDA API: exported C
// functions of the same library the module loads. Tests linked against it
// call them directly; others resolve them with SimControl (below) from
// libcuda.so.1 or nvcuda.dll, found as the module finds it.
//
// The machine is described as in QUELMAR_SIMDRIVER (tests/simdriver/machine.h),
// e.g. "devices=8.6,12.0 driver=575.51".
#pragma once

#include "gpu/cuda_driver_api.h"
#include "platform/dynamic_library.h"

extern "C" {
// Forgets everything (contexts, memory, modules, counters, every thread's
// context stack) and emulates the machine described; 0 when the description
// is malformed, and then nothing changes.
int quelmarSimReset(const char* machine);
// Violations seen since the last call; the count starts again at 0.
int quelmarSimTakeViolations(void);
// Calls of an entry point (its exported name, e.g. "cuMemAlloc_v2") so far.
int quelmarSimCalls(const char* entry);
// The n-th call of the entry point from now (1 = the next) fails with
// CUDA_ERROR_UNKNOWN; 0 disarms. Launches are also counted per kernel, as
// "cuLaunchKernel:" and the kernel's name ("cuLaunchKernel:kProcess").
void quelmarSimFailCall(const char* entry, int n);
// The same with the status given; with async nonzero the call itself
// succeeds and the next synchronisation returns the status, as a fault in
// queued work reaches the host. A status cuda.h calls sticky stays, for every
// later call that does work, until the next reset.
void quelmarSimFailCallWith(const char* entry, int n, int status, int async);
// Disarms every failure armed so far, pending asynchronous ones included;
// the call counts stay.
void quelmarSimDisarm(void);
// With 0, cuGetProcAddress_v2 refuses every lookup (CUDA_ERROR_NOT_SUPPORTED)
// until the next reset, as if the driver had none.
void quelmarSimAnswerProcAddress(int answer);
// cuGetProcAddress_v2 finds nothing under this base name ("cuEventElapsedTime")
// until the next reset, as a driver without the entry point answers.
void quelmarSimWithhold(const char* base);
// The sticky fault the driver is stuck with; 0 when none.
int quelmarSimStickyFault(void);
// How many contexts the calling thread has on its stack.
int quelmarSimContextDepth(void);
// A device's primary context: how often it is retained, and its flags.
int quelmarSimRetains(int device);
unsigned quelmarSimPrimaryFlags(int device);
// Live objects of all contexts.
int quelmarSimLiveAllocations(void);
// Work queued on every stream that has not run yet.
int quelmarSimQueuedWork(void);
int quelmarSimLiveStreams(void);
int quelmarSimLiveModules(void);
int quelmarSimLiveEvents(void);
// Which image the last module load used and how, or why none loaded (or why
// the device was not enumerated); the text is valid until the next call.
const char* quelmarSimLoadAccount(void);
}

// The control functions, resolved from the loaded driver library.
struct SimControl {
#define QUELMAR_SIM_CONTROL(X)                                                          \
    X(quelmarSimReset) X(quelmarSimTakeViolations) X(quelmarSimCalls) X(quelmarSimFailCall) \
    X(quelmarSimFailCallWith) X(quelmarSimDisarm) X(quelmarSimStickyFault) X(quelmarSimAnswerProcAddress)     \
    X(quelmarSimWithhold)                                                                 \
    X(quelmarSimContextDepth)                                                             \
    X(quelmarSimRetains) X(quelmarSimPrimaryFlags) X(quelmarSimLiveAllocations)          \
    X(quelmarSimLiveStreams) X(quelmarSimQueuedWork) X(quelmarSimLiveModules) X(quelmarSimLiveEvents)            \
    X(quelmarSimLoadAccount)
#define QUELMAR_SIM_MEMBER(name) decltype(&::name) name = nullptr;
    QUELMAR_SIM_CONTROL(QUELMAR_SIM_MEMBER)
#undef QUELMAR_SIM_MEMBER

    // Loads the driver as the module does (it stays loaded); false when it
    // is not the simulated one.
    bool resolve() {
        void* library = platform::OpenSystemLibrary(kCudaDriverLibrary);
        auto find = [library](const char* n) { return library ? platform::FindSymbol(library, n) : nullptr; };
        bool all = true;
#define QUELMAR_SIM_RESOLVE(name)                                      \
    name = reinterpret_cast<decltype(name)>(find(#name));              \
    all = all && name != nullptr;
        QUELMAR_SIM_CONTROL(QUELMAR_SIM_RESOLVE)
#undef QUELMAR_SIM_RESOLVE
        return all;
    }
};
