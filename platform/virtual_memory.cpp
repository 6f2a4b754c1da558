#include "platform/virtual_memory.h"

#include <new>

#include "platform/virtual_memory_blocks.h"

namespace platform {

Blocks& LiveBlocks() {
    static Blocks blocks;
    return blocks;
}

void* AllocatePages(std::size_t bytes) {
    if (bytes == 0) return nullptr;
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
