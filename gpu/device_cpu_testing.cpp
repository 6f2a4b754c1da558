// The tests' machine for the CPU backend, in place of the plain one: it counts
// every call, fails the calls it is armed for, and has as many devices as a
// test says. Its state is guarded by the backend's lock, which the backend
// holds when it asks.
#include "gpu/device_cpu_testing.h"

#include <algorithm>
#include <array>

#include "gpu/device_cpu_backend.h"

namespace dev {
namespace {

constexpr std::size_t kOps = static_cast<std::size_t>(cpumachine::Op::Count);

struct Machine {
    int deviceCount = 1;
    bool deviceCountFails = false;
    std::array<int, kOps> calls{};
    std::array<int, kOps> failAt{};    // absolute call number that fails first; 0 = none
    std::array<int, kOps> failLast{};  // and the last one that fails
};

Machine& machine() {
    static Machine m;
    return m;
}

std::size_t indexOf(cpumachine::Op op) { return static_cast<std::size_t>(op); }

// Runs f on the machine and the backend with the backend's lock held.
template <typename F>
auto locked(F f) {
    cpu::Backend& b = cpu::backend();
    std::lock_guard lock(b.mutex);
    return f(machine(), b);
}

}  // namespace

namespace cpumachine {

bool serves(Op op) {
    Machine& m = machine();
    const std::size_t i = indexOf(op);
    ++m.calls[i];
    if (m.failAt[i] == 0 || m.calls[i] < m.failAt[i]) return true;
    if (m.calls[i] >= m.failLast[i]) m.failAt[i] = 0;
    return false;
}

int devices() {
    const Machine& m = machine();
    return m.deviceCountFails ? -1 : m.deviceCount;
}

}  // namespace cpumachine

namespace cputest {

void reset() {
    locked([](Machine& m, cpu::Backend& b) {
        m = Machine{};
        b.current = 0;
        b.lastError = kSuccess;
    });
}

void failNthCall(Op op, int n) { failCalls(op, n, 1); }

void failCalls(Op op, int n, int count) {
    locked([&](Machine& m, cpu::Backend&) {
        const std::size_t i = indexOf(op);
        m.failAt[i] = n > 0 && count > 0 ? m.calls[i] + n : 0;
        m.failLast[i] = m.failAt[i] + count - 1;
    });
}

void setDeviceCount(int count) {
    locked([&](Machine& m, cpu::Backend&) { m.deviceCount = std::max(count, 0); });
}

void setDeviceCountFails(bool fails) {
    locked([&](Machine& m, cpu::Backend&) { m.deviceCountFails = fails; });
}

int callCount(Op op) {
    return locked([&](Machine& m, cpu::Backend&) { return m.calls[indexOf(op)]; });
}

int currentDevice() {
    return locked([](Machine&, cpu::Backend& b) { return b.current; });
}

std::size_t liveAllocations() {
    return locked([](Machine&, cpu::Backend& b) { return b.allocations.size(); });
}

std::size_t liveStreams() {
    return locked([](Machine&, cpu::Backend& b) { return b.streams.size(); });
}

std::size_t queuedWork() {
    return locked([](Machine&, cpu::Backend& b) {
        std::size_t n = 0;
        for (StreamImpl* s : b.streams) n += s->queue.size();
        return n;
    });
}

std::size_t queuedHostWrites() {
    return locked([](Machine&, cpu::Backend& b) {
        std::size_t n = 0;
        for (StreamImpl* s : b.streams)
            n += static_cast<std::size_t>(
                std::count_if(s->queue.begin(), s->queue.end(), [](const Work& w) { return w.writesHost; }));
        return n;
    });
}

}  // namespace cputest
}  // namespace dev
