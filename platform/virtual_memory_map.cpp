#include <cstdint>

#include "platform/virtual_memory_blocks.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace platform {

#if defined(_WIN32)
void* MapPages(std::size_t bytes, std::size_t* length) {
    *length = bytes;
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void UnmapPages(void* block, std::size_t) { VirtualFree(block, 0, MEM_RELEASE); }
#else
namespace {

std::size_t PageSize() {
    long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

}  // namespace

void* MapPages(std::size_t bytes, std::size_t* length) {
    const std::size_t page = PageSize();
    if (bytes > SIZE_MAX - page) return nullptr;
    *length = (bytes + page - 1) / page * page;
    void* block = mmap(nullptr, *length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
}

void UnmapPages(void* block, std::size_t length) { munmap(block, length); }
#endif

}  // namespace platform
