#include "platform/virtual_memory.h"

#include <cstdint>
#include <new>

#include "platform/virtual_memory_blocks.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace platform {

Blocks& LiveBlocks() {
    static Blocks blocks;
    return blocks;
}

namespace {

#if defined(_WIN32)
void* MapPages(std::size_t bytes, std::size_t* length) {
    *length = bytes;
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}
void UnmapPages(void* block, std::size_t) { VirtualFree(block, 0, MEM_RELEASE); }
#else
std::size_t PageSize() {
    long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

void* MapPages(std::size_t bytes, std::size_t* length) {
    const std::size_t page = PageSize();
    if (bytes > SIZE_MAX - page) return nullptr;
    *length = (bytes + page - 1) / page * page;
    void* block = mmap(nullptr, *length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
}

void UnmapPages(void* block, std::size_t length) { munmap(block, length); }
#endif

}  // namespace

void* AllocatePages(std::size_t bytes) {
    if (!PageRequestServed() || bytes == 0) return nullptr;
    std::size_t length = 0;
    void* block = MapPages(bytes, &length);
    if (!block) return nullptr;
    Blocks& live = LiveBlocks();
    std::lock_guard<std::mutex> lock(live.mutex);
    try {
        live.lengths.emplace(block, length);
    } catch (const std::bad_alloc&) {  // a block we could not track is never handed out
        UnmapPages(block, length);
        return nullptr;
    }
    return block;
}

bool ReleasePages(void* block) {
    if (!block) return false;
    std::size_t length = 0;
    {
        Blocks& live = LiveBlocks();
        std::lock_guard<std::mutex> lock(live.mutex);
        auto it = live.lengths.find(block);
        if (it == live.lengths.end()) return false;
        length = it->second;
        live.lengths.erase(it);
    }
    UnmapPages(block, length);
    return true;
}

}  // namespace platform
