// Page allocation with the contract of VirtualAlloc(MEM_RESERVE | MEM_COMMIT,
// PAGE_READWRITE) and VirtualFree(MEM_RELEASE): whole zero-filled pages,
// released as one block. The Windows build calls the real functions.
#pragma once
#include <cstddef>

namespace platform {

// Null when bytes is 0 or the pages cannot be had.
void* AllocatePages(std::size_t bytes);
// Releases a whole block from AllocatePages. Anything else (null, an address
// inside a block, a block released already, memory from elsewhere) is refused
// and left alone: false.
bool ReleasePages(void* block);

}  // namespace platform
