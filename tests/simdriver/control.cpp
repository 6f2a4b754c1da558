// The machine from QUELMAR_SIMDRIVER, the test controls, and the account a
// process leaves at exit: on Linux a process that ends with unacknowledged
// violations fails, whatever it was testing.
#include "tests/simdriver/control.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "tests/kernels/testing/cpu_executor_testing.h"
#include "tests/simdriver/state.h"

using namespace sim;

namespace {

// Forgets every object: allocations are freed, the rest deleted. Lock held.
void forgetEverything(Driver& d) {
    for (const auto& [start, a] : d.allocations) deleteDeviceMemory(start, a.bytes);
    for (const auto& [start, a] : d.hostBlocks) deleteHostMemory(start);
    for (Stream* s : d.streams) delete s;
    for (Event* e : d.events) delete e;
    for (Module* m : d.modules) delete m;
    d.allocations.clear();
    d.hostBlocks.clear();
    d.registered.clear();
    d.streams.clear();
    d.events.clear();
    d.modules.clear();
    d.functions.clear();
    d.failureInjected = false;
    d.sticky = CUDA_SUCCESS;
    d.pendingAsync = CUDA_SUCCESS;
    d.procAddress = true;
    d.withheld.clear();
    d.primaries.clear();
    d.visible.clear();
    d.initialised = false;
    d.violations = 0;
    d.calls.clear();
    d.failAt.clear();
    d.lastLoad.clear();
    ++d.generation;
}

// Forgets everything and emulates the machine so described; false,
// changing nothing, when the description is malformed. Lock held.
bool configure(Driver& d, const char* description) {
    Machine m;
    std::string error;
    if (!ParseMachine(description ? description : "", &m, &error)) {
        std::fprintf(stderr, "simdriver: machine \"%s\": %s\n", description ? description : "", error.c_str());
        return false;
    }
    forgetEverything(d);
    d.machine = m;
    if (!m.failEntry.empty()) d.failAt[m.failEntry] = Armed{m.failNth};
    cpuexec::setWorkerLimit(m.workers);
    return true;
}

int retainedContexts(const Driver& d) {
    int n = 0;
    for (const auto& c : d.primaries) n += c->retains;
    return n;
}

void writeReport(Driver& d) {
    if (d.machine.reportPath.empty()) return;
    if (std::FILE* f = std::fopen(d.machine.reportPath.c_str(), "w")) {
        std::fprintf(f, "violations %d\nretains %d\nallocations %zu\nstreams %zu\nmodules %zu\nevents %zu\nload %s\n",
                     d.violations, retainedContexts(d), d.allocations.size() + d.hostBlocks.size() + d.registered.size(), d.streams.size(),
                     d.modules.size(), d.events.size(), d.lastLoad.c_str());
        std::fclose(f);
    }
}

void atExit() {
    Driver& d = driver();
    std::lock_guard lock(d.mutex);
    writeReport(d);
#if !defined(_WIN32)
    if (d.violations > 0) {
        std::fprintf(stderr, "simdriver: %d violation(s) in this process\n", d.violations);
        std::fflush(nullptr);
        _exit(86);
    }
#endif
}

// The machine is the one the environment describes, from the library's load on.
struct Startup {
    Startup() {
        Driver& d = driver();
        if (!configure(d, std::getenv("QUELMAR_SIMDRIVER"))) std::abort();
        std::atexit(atExit);
    }
} startup;

// Runs fn on the driver with its lock held.
template <typename Fn>
auto locked(Fn fn) {
    Driver& d = driver();
    std::lock_guard lock(d.mutex);
    return fn(d);
}

Context* primaryAt(Driver& d, int device) {
    return device >= 0 && static_cast<std::size_t>(device) < d.primaries.size()
               ? d.primaries[static_cast<std::size_t>(device)].get()
               : nullptr;
}

}  // namespace

SIM_EXPORT int quelmarSimReset(const char* machine) {
    return locked([machine](Driver& d) { return configure(d, machine) ? 1 : 0; });
}

SIM_EXPORT int quelmarSimTakeViolations(void) {
    return locked([](Driver& d) { return std::exchange(d.violations, 0); });
}

SIM_EXPORT int quelmarSimCalls(const char* entry) {
    return locked([entry](Driver& d) {
        auto it = d.calls.find(entry);
        return it == d.calls.end() ? 0 : it->second;
    });
}

SIM_EXPORT void quelmarSimFailCall(const char* entry, int n) {
    quelmarSimFailCallWith(entry, n, CUDA_ERROR_UNKNOWN, 0);
}

SIM_EXPORT void quelmarSimFailCallWith(const char* entry, int n, int status, int async) {
    locked([&](Driver& d) {
        if (n > 0 && status != CUDA_SUCCESS) {
            d.failAt[entry] = Armed{d.calls[entry] + n, static_cast<CUresult>(status), async != 0};
        } else {
            d.failAt.erase(entry);
        }
        return 0;
    });
}

SIM_EXPORT void quelmarSimDisarm(void) {
    locked([](Driver& d) {
        d.failAt.clear();
        d.pendingAsync = CUDA_SUCCESS;
        return 0;
    });
}

SIM_EXPORT void quelmarSimAnswerProcAddress(int answer) {
    locked([answer](Driver& d) { return d.procAddress = answer != 0; });
}

SIM_EXPORT void quelmarSimWithhold(const char* base) {
    locked([base](Driver& d) { return d.withheld.insert(base).second; });
}

SIM_EXPORT int quelmarSimStickyFault(void) {
    return locked([](Driver& d) { return static_cast<int>(d.sticky); });
}

SIM_EXPORT int quelmarSimContextDepth(void) {
    return locked([](Driver& d) { return static_cast<int>(threadStack(d).size()); });
}

SIM_EXPORT int quelmarSimRetains(int device) {
    return locked([device](Driver& d) {
        const Context* c = primaryAt(d, device);
        return c ? c->retains : 0;
    });
}

SIM_EXPORT unsigned quelmarSimPrimaryFlags(int device) {
    return locked([device](Driver& d) {
        const Context* c = primaryAt(d, device);
        return c ? c->flags : 0u;
    });
}

SIM_EXPORT int quelmarSimLiveAllocations(void) {
    return locked([](Driver& d) { return static_cast<int>(d.allocations.size() + d.hostBlocks.size() + d.registered.size()); });
}

SIM_EXPORT int quelmarSimLiveStreams(void) {
    return locked([](Driver& d) { return static_cast<int>(d.streams.size()); });
}

SIM_EXPORT int quelmarSimQueuedWork(void) {
    return locked([](Driver& d) {
        std::size_t n = 0;
        for (const Stream* s : d.streams) n += s->queue.size();
        return static_cast<int>(n);
    });
}

SIM_EXPORT int quelmarSimLiveModules(void) {
    return locked([](Driver& d) { return static_cast<int>(d.modules.size()); });
}

SIM_EXPORT int quelmarSimLiveEvents(void) {
    return locked([](Driver& d) { return static_cast<int>(d.events.size()); });
}

SIM_EXPORT const char* quelmarSimLoadAccount(void) {
    thread_local std::string copy;
    copy = locked([](Driver& d) { return d.lastLoad; });
    return copy.c_str();
}
