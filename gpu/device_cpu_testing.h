// Test-only controls of the CPU device backend: fail the n-th call of an
// operation, simulate the number of devices, and look at what the backend holds.
// Every function is thread-safe. Tests link the object of
// gpu/device_cpu_testing.cpp, which is also the machine the backend asks
// (gpu/device_cpu_machine.h); the modules never contain it.
#pragma once
#include <cstddef>

#include "gpu/device_cpu_machine.h"

namespace dev::cputest {

using Op = cpumachine::Op;

// Back to a healthy single-device machine: no armed failures, counters zero,
// last error cleared. Live allocations and streams are left alone.
void reset();

// The n-th call (1-based, counted from now) of op fails. A failing launch is
// refused: nothing is queued and the next getLastError reports it. n = 0 disarms.
void failNthCall(Op op, int n);
// The same for count calls in a row from the n-th on (a failure that persists).
void failCalls(Op op, int n, int count);

// Number of devices reported by getDeviceCount; 0 simulates a machine without GPU.
void setDeviceCount(int count);
// Make getDeviceCount itself fail.
void setDeviceCountFails(bool fails);

int callCount(Op op);
int currentDevice();
std::size_t liveAllocations();
std::size_t liveStreams();
// Work queued on all streams and not yet executed.
std::size_t queuedWork();
// Queued copies whose destination is host memory (device-to-host).
std::size_t queuedHostWrites();

}  // namespace dev::cputest
