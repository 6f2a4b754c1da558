// Test controls of the page allocator: make the n-th allocation fail and
// count what is live. Thread-safe; inert unless armed. A test gets them by
// linking quelmar_pages_testing, which wraps the allocator's OS mapping call
// at link time; the modules hold none of it.
#pragma once

namespace platform::memtest {

// Disarms, and zeroes the allocation counter. Live blocks stay counted.
void reset();
// The n-th allocation (1-based, counted from now) fails; 0 disarms.
void failNthAllocation(int n);
// Allocations asked of the OS since the last reset or arming, failed ones
// included (a request for 0 bytes never gets that far).
int allocationCount();
// Blocks allocated and not yet released.
int liveBlocks();

}  // namespace platform::memtest
