// The machine from QUELMAR_SIMDRIVER, the test controls, and the account a
// process leaves at exit: on Linux a process that ends with unacknowledged
// violations fails, whatever it was testing.
#include "tests/simdriver/control.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "kernels/cpu_executor.h"
#include "tests/simdriver/state.h"

using namespace sim;

namespace {

bool configure(Driver& d, const char* spec) {
    Machine m;
    std::string error;
    if (!ParseMachine(spec ? spec : "", &m, &error)) {
        std::fprintf(stderr, "simdriver: machine \"%s\": %s\n", spec, error.c_str());
        return false;
    }
    d.machine = m;
    if (!m.failEntry.empty()) d.failAt[m.failEntry] = m.failNth;
    cpuexec::setWorkerLimit(m.workers);
    return true;
}

// Forgets every object: allocations are freed, the rest deleted. Lock held.
void forgetEverything(Driver& d) {
    for (const auto& [start, a] : d.allocations) {
        ::operator delete[](reinterpret_cast<void*>(start), std::align_val_t(256));
    }
    for (Stream* s : d.streams) delete s;
    for (Event* e : d.events) delete e;
    for (Module* m : d.modules) delete m;
    d.allocations.clear();
    d.streams.clear();
    d.events.clear();
    d.modules.clear();
    d.functions.clear();
    d.failureInjected = false;
    d.primaries.clear();
    d.visible.clear();
    d.initialised = false;
    d.violations = 0;
    d.calls.clear();
    d.failAt.clear();
    d.lastLoad.clear();
    ++d.generation;
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
                     d.violations, retainedContexts(d), d.allocations.size(), d.streams.size(),
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

}  // namespace

SIM_EXPORT int quelmarSimReset(const char* machine) {
    Driver& d = driver();
    std::lock_guard lock(d.mutex);
    Machine check;
    std::string error;
    if (!ParseMachine(machine ? machine : "", &check, &error)) return 0;
    forgetEverything(d);
    return configure(d, machine) ? 1 : 0;
}

SIM_EXPORT int quelmarSimTakeViolations(void) {
    Driver& d = driver();
    std::lock_guard lock(d.mutex);
    return std::exchange(d.violations, 0);
}

SIM_EXPORT int quelmarSimCalls(const char* entry) {
    Driver& d = driver();
    std::lock_guard lock(d.mutex);
    auto it = d.calls.find(entry);
    return it == d.calls.end() ? 0 : it->second;
}

SIM_EXPORT void quelmarSimFailCall(const char* entry, int n) {
    Driver& d = driver();
    std::lock_guard lock(d.mutex);
    if (n > 0) {
        d.failAt[entry] = d.calls[entry] + n;
    } else {
        d.failAt.erase(entry);
    }
}

SIM_EXPORT int quelmarSimContextDepth(void) {
    Driver& d = driver();
    std::lock_guard lock(d.mutex);
    return static_cast<int>(threadStack(d).size());
}

SIM_EXPORT int quelmarSimRetains(int device) {
    Driver& d = driver();
    std::lock_guard lock(d.mutex);
    return device >= 0 && static_cast<std::size_t>(device) < d.primaries.size()
               ? d.primaries[static_cast<std::size_t>(device)]->retains
               : 0;
}

SIM_EXPORT unsigned quelmarSimPrimaryFlags(int device) {
    Driver& d = driver();
    std::lock_guard lock(d.mutex);
    return device >= 0 && static_cast<std::size_t>(device) < d.primaries.size()
               ? d.primaries[static_cast<std::size_t>(device)]->flags
               : 0;
}

SIM_EXPORT int quelmarSimLiveAllocations(void) {
    Driver& d = driver();
    std::lock_guard lock(d.mutex);
    return static_cast<int>(d.allocations.size());
}

SIM_EXPORT int quelmarSimLiveStreams(void) {
    Driver& d = driver();
    std::lock_guard lock(d.mutex);
    return static_cast<int>(d.streams.size());
}

SIM_EXPORT int quelmarSimLiveModules(void) {
    Driver& d = driver();
    std::lock_guard lock(d.mutex);
    return static_cast<int>(d.modules.size());
}

SIM_EXPORT int quelmarSimLiveEvents(void) {
    Driver& d = driver();
    std::lock_guard lock(d.mutex);
    return static_cast<int>(d.events.size());
}

SIM_EXPORT const char* quelmarSimLoadAccount(void) {
    Driver& d = driver();
    std::lock_guard lock(d.mutex);
    thread_local std::string copy;
    copy = d.lastLoad;
    return copy.c_str();
}
