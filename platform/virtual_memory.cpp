#include "platform/virtual_memory.h"

#include <atomic>
#include <cstdint>

#include "platform/virtual_memory_testing.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace platform {
namespace {

std::atomic<int> g_allocations{0};
std::atomic<int> g_failAt{0};
std::atomic<int> g_live{0};

bool InjectedFailure() {
    int n = g_allocations.fetch_add(1) + 1;
    return g_failAt.load() == n;
}

#if defined(_WIN32)
void* MapPages(std::size_t bytes) {
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}
void UnmapPages(void* block) { VirtualFree(block, 0, MEM_RELEASE); }
#else
// munmap needs the length that VirtualFree does not take: it lives in a
// leading page, so the block handed out stays page-aligned.
std::size_t PageSize() {
    long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

void* MapPages(std::size_t bytes) {
    const std::size_t page = PageSize();
    if (bytes > SIZE_MAX - 2 * page) return nullptr;
    const std::size_t total = page + (bytes + page - 1) / page * page;
    void* base = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    *static_cast<std::size_t*>(base) = total;
    return static_cast<unsigned char*>(base) + page;
}

void UnmapPages(void* block) {
    unsigned char* base = static_cast<unsigned char*>(block) - PageSize();
    munmap(base, *reinterpret_cast<std::size_t*>(base));
}
#endif

}  // namespace

void* AllocatePages(std::size_t bytes) {
    if (InjectedFailure() || bytes == 0) return nullptr;
    void* block = MapPages(bytes);
    if (block) g_live.fetch_add(1);
    return block;
}

void ReleasePages(void* block) {
    if (!block) return;
    UnmapPages(block);
    g_live.fetch_sub(1);
}

namespace memtest {
void reset() {
    g_failAt.store(0);
    g_allocations.store(0);
}
void failNthAllocation(int n) {
    g_allocations.store(0);
    g_failAt.store(n);
}
int allocationCount() { return g_allocations.load(); }
int liveBlocks() { return g_live.load(); }
}  // namespace memtest

}  // namespace platform
