// Inside the page allocator: the blocks it handed out and the gate it asks
// before each allocation. The modules get the plain gate
// (platform/virtual_memory_gate.cpp), which lets every request through; tests
// link the object of platform/virtual_memory_testing.cpp instead, which
// counts the requests and can refuse one (platform/virtual_memory_testing.h).
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

// Asked once per AllocatePages call, before anything else: false refuses it.
bool PageRequestServed();

}  // namespace platform
