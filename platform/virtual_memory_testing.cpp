// The tests' gate for the page allocator, in place of the plain one: it
// counts every request and refuses the one it is armed for.
#include "platform/virtual_memory_testing.h"

#include <atomic>

#include "platform/virtual_memory_blocks.h"

namespace platform {
namespace {

std::atomic<int> g_requests{0};
std::atomic<int> g_refuseAt{0};

}  // namespace

bool PageRequestServed() {
    const int n = g_requests.fetch_add(1) + 1;
    return g_refuseAt.load() != n;
}

namespace memtest {

void reset() {
    g_refuseAt.store(0);
    g_requests.store(0);
}

void failNthAllocation(int n) {
    g_requests.store(0);
    g_refuseAt.store(n);
}

int allocationCount() { return g_requests.load(); }

int liveBlocks() {
    Blocks& live = LiveBlocks();
    std::lock_guard<std::mutex> lock(live.mutex);
    return static_cast<int>(live.lengths.size());
}

}  // namespace memtest
}  // namespace platform
