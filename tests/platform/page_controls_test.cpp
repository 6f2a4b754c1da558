// The page allocator's test controls reach it through the linker's wrap of
// its OS mapping call: if a toolchain linked the call directly, every test
// that arms a refusal would pass without one. Checked here, on the allocator
// itself, for whichever compiler and linker built this tree.
#include <gtest/gtest.h>

#include "platform/virtual_memory.h"
#include "tests/platform/virtual_memory_testing.h"

namespace {

TEST(PageControls, TheArmedRequestIsRefusedAndTheOthersServed) {
    namespace memtest = platform::memtest;
    memtest::reset();
    const int live = memtest::liveBlocks();
    EXPECT_EQ(platform::AllocatePages(0), nullptr);
    EXPECT_EQ(memtest::allocationCount(), 0) << "an empty request never reaches the OS";

    memtest::failNthAllocation(2);
    void* first = platform::AllocatePages(100);
    void* second = platform::AllocatePages(100);
    void* third = platform::AllocatePages(100);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr) << "the wrap did not take the allocator's mapping call";
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(memtest::allocationCount(), 3);
    EXPECT_EQ(memtest::liveBlocks(), live + 2) << "a refused request holds nothing";

    memtest::reset();
    void* fourth = platform::AllocatePages(100);
    EXPECT_NE(fourth, nullptr) << "reset disarms";
    EXPECT_EQ(memtest::allocationCount(), 1);
    for (void* block : {first, third, fourth}) EXPECT_TRUE(platform::ReleasePages(block));
    EXPECT_EQ(memtest::liveBlocks(), live);
}

}  // namespace
