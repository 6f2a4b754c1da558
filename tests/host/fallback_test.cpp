// Every fallback of the run procedure, with the module code linked in and the
// CPU backend's and page allocator's fault injection.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>

#include "gpu/cudanr.h"
#include "gpu/device_cpu_testing.h"
#include "platform/virtual_memory_testing.h"
#include "tests/host/drive.h"

namespace {

using dev::cputest::Op;

class Fallback : public ::testing::Test {
protected:
    static constexpr int w = 16, h = 8;
    DrivenFilter f;
    GuardedBuffer src = NoisyFrame(w * 4 * h, 21);
    GuardedBuffer dst{w * 4 * h};

    void SetUp() override {
        dev::cputest::reset();
        dev::cputest::setDeviceCount(1);
        platform::memtest::reset();
        ASSERT_TRUE(f.attach(VirtualdubFilterModuleInit2, VirtualdubFilterModuleDeinit));
    }
    void TearDown() override {
        dev::cputest::reset();
        dev::cputest::setDeviceCount(1);
        platform::memtest::reset();
    }
    void run32() { f.run(src, dst, 32, w, h, 0, 0); }
    bool filtered() { return dst.body() != src.body(); }
};

TEST_F(Fallback, NoDeviceThenADevice) {
    dev::cputest::setDeviceCount(0);
    modhost::CallStart(&f.inst);
    EXPECT_EQ(f.fd()->gpu, nullptr);
    run32();
    EXPECT_EQ(dst.body(), src.body());
    auto yuy2 = NoisyFrame(12 * h, 22);
    GuardedBuffer out16(12 * h);
    f.run(yuy2, out16, 16, 5, h, 12, 12);
    EXPECT_EQ(out16.body(), yuy2.body()) << "before staging: byte for byte, whole rows";
    EXPECT_EQ(f.fd()->stageIn, nullptr);
    EXPECT_EQ(f.fd()->frameCounter, 0);

    dev::cputest::setDeviceCount(1);  // creation is retried on the next frame
    run32();
    EXPECT_NE(f.fd()->gpu, nullptr);
    EXPECT_TRUE(filtered());
    EXPECT_EQ(f.fd()->frameCounter, 1);
}

TEST_F(Fallback, ContextCreationFailsOnceThenRetries) {
    dev::cputest::failNthCall(Op::StreamCreate, 1);
    run32();
    EXPECT_EQ(f.fd()->gpu, nullptr);
    EXPECT_EQ(dst.body(), src.body());
    run32();
    EXPECT_NE(f.fd()->gpu, nullptr);
    EXPECT_TRUE(filtered());
}

TEST_F(Fallback, GpuStepFailuresWriteTheStagedInput) {
    dev::cputest::failNthCall(Op::MallocPitch, 1);  // ensure-buffers fails
    run32();
    EXPECT_EQ(dst.body(), src.body());

    auto yuy2 = NoisyFrame(w * 2 * h, 23);
    GuardedBuffer out16(w * 2 * h);
    dev::cputest::failNthCall(Op::LaunchProcess, 1);  // process-frame fails
    f.run(yuy2, out16, 16, w, h, 0, 0);
    EXPECT_EQ(out16.body(), RoundTripYUY2(yuy2.body(), w, h));

    dev::cputest::failNthCall(Op::LaunchProcess, 1);
    run32();
    EXPECT_EQ(dst.body(), src.body());
    run32();
    EXPECT_TRUE(filtered()) << "the next frame is filtered again";
}

TEST_F(Fallback, StagingAllocationFailsThenRetries) {
    platform::memtest::failNthAllocation(2);  // the output staging buffer
    run32();
    EXPECT_EQ(dst.body(), src.body());
    EXPECT_NE(f.fd()->stageIn, nullptr);
    EXPECT_EQ(f.fd()->stageOut, nullptr);
    EXPECT_EQ(f.fd()->stageOutWidth, w);
    run32();
    EXPECT_NE(f.fd()->stageOut, nullptr);
    EXPECT_TRUE(filtered());
}

TEST_F(Fallback, BuffersReplacedOnASizeChangeAndKeptAfterwards) {
    const int live = platform::memtest::liveBlocks();
    run32();
    run32();
    EXPECT_EQ(platform::memtest::allocationCount(), 2);
    auto larger = NoisyFrame(24 * 4 * h, 24);
    GuardedBuffer largerOut(24 * 4 * h);
    f.run(larger, largerOut, 32, 24, h, 0, 0);
    f.run(larger, largerOut, 32, 24, h, 0, 0);
    EXPECT_EQ(platform::memtest::allocationCount(), 4);
    EXPECT_EQ(platform::memtest::liveBlocks(), live + 2);
    EXPECT_EQ(f.fd()->stageInWidth, 24);
    EXPECT_EQ(f.fd()->stageOutWidth, 24);
    modhost::CallDeinit(&f.inst);
    EXPECT_EQ(platform::memtest::liveBlocks(), live);
}

TEST_F(Fallback, StartWithAContextTakesNoLock) {
    modhost::CallStart(&f.inst);
    CudaNRContext* ctx = f.fd()->gpu;
    ASSERT_NE(ctx, nullptr);
    std::unique_lock<std::mutex> held(g_gpuMutex);
    auto second = std::async(std::launch::async, [&] { return modhost::CallStart(&f.inst); });
    const bool finished = second.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    held.unlock();
    EXPECT_TRUE(finished) << "start blocked on the GPU lock";
    EXPECT_EQ(second.get(), 0);
    EXPECT_EQ(f.fd()->gpu, ctx);
}

}  // namespace
