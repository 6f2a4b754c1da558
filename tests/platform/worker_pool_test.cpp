// The worker pool: every index once, whatever the thread count, the callers
// and the nesting; and loops really share out their indices.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/worker_pool.h"

namespace {

// Runs a loop and counts how often each index was handed out.
std::vector<int> visits(unsigned count, unsigned threads) {
    std::vector<std::atomic<int>> seen(count);
    platform::ParallelFor(count, threads, [&](unsigned i) { seen[i].fetch_add(1); });
    std::vector<int> out;
    for (const auto& s : seen) out.push_back(s.load());
    return out;
}

TEST(WorkerPool, EveryIndexExactlyOnceForAnyCountAndThreadCap) {
    for (unsigned count : {0u, 1u, 2u, 7u, 1000u})
        for (unsigned threads : {0u, 1u, 2u, 5u}) EXPECT_EQ(visits(count, threads), std::vector<int>(count, 1));
}

TEST(WorkerPool, ConcurrentCallersAndNestedLoopsAllFinish) {
    std::vector<std::thread> callers;
    std::atomic<int> total{0};
    for (int c = 0; c < 4; ++c) {
        callers.emplace_back([&] {
            for (int round = 0; round < 50; ++round)
                platform::ParallelFor(8, 0, [&](unsigned) {
                    platform::ParallelFor(3, 0, [&](unsigned) { total.fetch_add(1); });
                });
        });
    }
    for (std::thread& t : callers) t.join();
    EXPECT_EQ(total.load(), 4 * 50 * 8 * 3);
}

// Whether a two-index loop ran on two threads at once: index 0 waits for
// index 1 to start, which only a second thread can do.
bool RanOnTwoThreads() {
    std::atomic<bool> secondStarted{false};
    std::atomic<bool> sawSecond{false};
    platform::ParallelFor(2, 2, [&](unsigned i) {
        if (i == 1) {
            secondStarted = true;
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!secondStarted && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        sawSecond = secondStarted.load();
    });
    return sawSecond;
}

// Every loop from the same caller, not only its first, and loops after one
// whose body started a nested (inline) loop.
TEST(WorkerPool, IndicesRunOnSeveralThreadsAtOnce) {
    if (platform::HardwareThreads() < 2) GTEST_SKIP() << "one hardware thread";
    EXPECT_TRUE(RanOnTwoThreads()) << "first loop";
    EXPECT_TRUE(RanOnTwoThreads()) << "second loop";
    platform::ParallelFor(4, 0, [](unsigned) { platform::ParallelFor(2, 0, [](unsigned) {}); });
    EXPECT_TRUE(RanOnTwoThreads()) << "after nested loops";
}

}  // namespace
