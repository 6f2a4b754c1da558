// The module code linked with the CUDA backend over the simulated driver,
// which it calls directly: one emulated machine for the whole program (the
// backend reads the driver once per process), faults armed per driver entry
// point, and the driver's own account of what is live.
#pragma once
#include <gtest/gtest.h>

#include <functional>

#include "tests/platform/virtual_memory_testing.h"
#include "tests/simdriver/control.h"

// What the driver calls the emulated machine's GPU (devices=12.0).
inline constexpr const char* kEmulatedGpuName = "Simulated GPU sm_120";

// Starts a test with nothing armed; when it goes, after everything the test
// made is gone (declare it first among a fixture's members), checks that the
// driver saw no broken rule and holds nothing: no memory, stream, event or
// module, no queued work, no retained context.
struct DriverLeftClean {
    DriverLeftClean() {
        quelmarSimDisarm();
        platform::memtest::reset();
    }
    ~DriverLeftClean() {
        quelmarSimDisarm();
        platform::memtest::reset();
        EXPECT_EQ(quelmarSimTakeViolations(), 0);
        EXPECT_EQ(quelmarSimLiveAllocations(), 0);
        EXPECT_EQ(quelmarSimLiveStreams(), 0);
        EXPECT_EQ(quelmarSimLiveEvents(), 0);
        EXPECT_EQ(quelmarSimLiveModules(), 0);
        EXPECT_EQ(quelmarSimQueuedWork(), 0);
        EXPECT_EQ(quelmarSimRetains(0), 0);
    }
};

// Makes the next call of a driver entry point ("cuMemAllocPitch_v2",
// "cuLaunchKernel:kProcess") fail with status while step runs, then disarms.
// True when step made that call, so that the failure was the step's: a fault
// armed on a call the product no longer makes would otherwise test nothing.
inline bool FailsIn(const char* entry, const std::function<void()>& step, int status = 999 /* UNKNOWN */) {
    const int before = quelmarSimCalls(entry);
    quelmarSimFailCallWith(entry, 1, status, 0);
    step();
    quelmarSimDisarm();
    return quelmarSimCalls(entry) > before;
}
