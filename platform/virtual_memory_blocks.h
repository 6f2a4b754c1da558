// Inside the page allocator: the blocks it handed out, and the OS calls that
// map and unmap pages, kept in a translation unit of their own
// (platform/virtual_memory_map.cpp) so that nothing else there touches the OS.
#pragma once
#include <cstddef>
#include <mutex>
#include <unordered_map>

namespace platform {

// Every block handed out and not yet released, with its mapped length. Only
// these are ever released: a pointer from anywhere else (a record's stale or
// garbage field) could otherwise name someone else's memory.
struct Blocks {
    std::mutex mutex;
    std::unordered_map<void*, std::size_t> lengths;
};

Blocks& LiveBlocks();

// Whole zero-filled read-write pages for bytes (> 0), their mapped length in
// *length; null when the OS has none.
void* MapPages(std::size_t bytes, std::size_t* length);
// Gives back a block from MapPages with the length it reported.
void UnmapPages(void* block, std::size_t length);

}  // namespace platform
