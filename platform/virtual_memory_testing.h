// Test-only controls of the page allocator: make the n-th allocation fail and
// count what is live. Thread-safe; inert unless armed. Tests link the object
// of platform/virtual_memory_testing.cpp; the modules never contain it.
#pragma once

namespace platform::memtest {

// Disarms, and zeroes the allocation counter. Live blocks stay counted.
void reset();
// The n-th AllocatePages call (1-based, counted from now) fails; 0 disarms.
void failNthAllocation(int n);
// AllocatePages calls since the last reset or arming, failed ones included.
int allocationCount();
// Blocks allocated and not yet released.
int liveBlocks();

}  // namespace platform::memtest
