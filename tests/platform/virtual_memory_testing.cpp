// Stands between the page allocator and its OS mapping call: the linker sends
// the allocator's calls of platform::MapPages here (--wrap, set where
// quelmar_pages_testing is defined), which counts each one and refuses the one
// it is armed for, and passes the others on to the real function.
#include "tests/platform/virtual_memory_testing.h"

#include <atomic>
#include <cstddef>

#include "platform/virtual_memory_blocks.h"

// platform::MapPages(std::size_t, std::size_t*), by its mangled name.
extern "C" void* __real__ZN8platform8MapPagesEmPm(std::size_t bytes, std::size_t* length);
extern "C" void* __wrap__ZN8platform8MapPagesEmPm(std::size_t bytes, std::size_t* length);

namespace platform {
namespace {

std::atomic<int> g_requests{0};
std::atomic<int> g_refuseAt{0};

}  // namespace

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

extern "C" void* __wrap__ZN8platform8MapPagesEmPm(std::size_t bytes, std::size_t* length) {
    static_assert(sizeof(std::size_t) == sizeof(unsigned long), "the mangled name spells size_t as unsigned long");
    const int n = platform::g_requests.fetch_add(1) + 1;
    if (platform::g_refuseAt.load() == n) return nullptr;
    return __real__ZN8platform8MapPagesEmPm(bytes, length);
}
