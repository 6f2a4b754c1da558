// Every fallback of the run procedure, with the module code linked in over the
// CUDA backend, faults armed in the simulated driver and the page allocator.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <string>

#include "gpu/cudanr.h"
#include "host/staging.h"
#include "tests/host/drive.h"
#include "tests/host/simulated_driver.h"
#include "tests/platform/virtual_memory_testing.h"

namespace {

class Fallback : public ::testing::Test {
protected:
    static constexpr int w = 16, h = 8;
    DriverLeftClean clean;
    DrivenFilter f;
    GuardedBuffer src = NoisyFrame(w * 4 * h, 21);
    GuardedBuffer dst{w * 4 * h};

    void SetUp() override { ASSERT_TRUE(f.attach(VirtualdubFilterModuleInit2, VirtualdubFilterModuleDeinit)); }
    void run32() { f.run(src, dst, 32, w, h, 0, 0); }
    bool filtered() { return dst.body() != src.body(); }
};

// A context the driver refuses (no retain of the device's context): frames
// are copied through before staging, and creation is retried on the next one.
TEST_F(Fallback, NoContextThenAContext) {
    EXPECT_TRUE(FailsIn("cuDevicePrimaryCtxRetain", [&] { modhost::CallStart(&f.inst); }));
    EXPECT_EQ(f.fd()->gpu, nullptr);
    EXPECT_TRUE(FailsIn("cuDevicePrimaryCtxRetain", [&] { run32(); }));
    EXPECT_EQ(dst.body(), src.body());
    auto yuy2 = NoisyFrame(12 * h, 22);
    GuardedBuffer out16(12 * h);
    EXPECT_TRUE(FailsIn("cuDevicePrimaryCtxRetain", [&] { f.run(yuy2, out16, 16, 5, h, 12, 12); }));
    EXPECT_EQ(out16.body(), yuy2.body()) << "before staging: byte for byte, whole rows";
    EXPECT_EQ(f.fd()->stageIn, nullptr);
    EXPECT_EQ(f.fd()->frameCounter, 0);
    EXPECT_EQ(quelmarSimRetains(0), 0) << "a refused retain holds nothing";

    run32();
    EXPECT_NE(f.fd()->gpu, nullptr);
    EXPECT_TRUE(filtered());
    EXPECT_EQ(f.fd()->frameCounter, 1);
}

TEST_F(Fallback, ContextCreationFailsOnceThenRetries) {
    EXPECT_TRUE(FailsIn("cuStreamCreate", [&] { run32(); }));
    EXPECT_EQ(f.fd()->gpu, nullptr);
    EXPECT_EQ(dst.body(), src.body());
    EXPECT_EQ(quelmarSimLiveStreams() + quelmarSimRetains(0), 0) << "the failed creation holds nothing";
    run32();
    EXPECT_NE(f.fd()->gpu, nullptr);
    EXPECT_TRUE(filtered());
}

TEST_F(Fallback, GpuStepFailuresWriteTheStagedInput) {
    EXPECT_TRUE(FailsIn("cuMemAllocPitch_v2", [&] { run32(); }));  // ensure-buffers fails
    EXPECT_EQ(dst.body(), src.body());

    auto yuy2 = NoisyFrame(w * 2 * h, 23);
    GuardedBuffer out16(w * 2 * h);
    EXPECT_TRUE(FailsIn("cuLaunchKernel:kProcess", [&] { f.run(yuy2, out16, 16, w, h, 0, 0); }));
    EXPECT_EQ(out16.body(), RoundTripYUY2(yuy2.body(), w, h));

    EXPECT_TRUE(FailsIn("cuLaunchKernel:kProcess", [&] { run32(); }));
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

// Each reason a frame passes through, as a new instance's line gives it: the
// host's frames the filter does not take, and the failures on the way to the
// device and on it (the allocations at a new frame size, the steps of a
// frame); the next frame is filtered again. (A machine without a GPU gives its
// own, in no_device_test.cpp.)
TEST_F(Fallback, EachPassThroughWritesItsReason) {
    GuardedBuffer small = NoisyFrame(64 * 2, 25), smallOut(64 * 2);
    auto runWidth = [&](int width) { f.run(src, dst, 32, width, h, 0, 0); };
    const std::string gpu = "GPU 0 (" + std::string(kEmulatedGpuName) + ", compute capability 12.0)";
    constexpr int kOutOfMemory = 2;
    const struct {
        std::function<void()> frame;
        std::string why;
        const char* failing = nullptr;  // the driver entry point the frame finds refusing
        int status = 999;
    } cases[] = {
        {[&] {
             modhost::CallDeinit(&f.inst);  // a new instance, to make a context
             modhost::CallInit(&f.inst);
             run32();
         },
         gpu + ": creating the filter's context failed: CUDA_ERROR_UNKNOWN", "cuStreamCreate"},
        {[&] { f.run(src, dst, 24, w, h, 0, 0); },
         "frames of 24 bits per pixel are not filtered (only 32-bit RGB and 16-bit YUY2 are)"},
        {[&] { f.run(src, dst, 32, w, h, w * 4 - 4, 0); },
         "a row pitch of the host's 16x8 bitmaps is shorter than a row"},
        {[&] { f.run(src, dst, 16, 5, h, 0, 0); },
         "the host's 5x8 bitmaps of 16 bits per pixel cannot be addressed (no data, or no row pitch)"},
        {[&] { f.run(small, smallOut, 32, kMaxStagingWidth + 1, 2, 64, 64); },
         "frames 536870912 pixels wide are too wide to filter"},
        {[&] { f.run(small, smallOut, 16, kMaxStagingWidth + 1, 2, 64, 64); },  // YUY2 rows are half as long
         "frames 536870912 pixels wide are too wide to filter"},
        {[&] {
             Describe(f.inst.src, src, 32, w, h, 0);
             Describe(f.inst.dst, dst, 32, w, h - 1, 0);
             modhost::CallRun(&f.inst);
         },
         "the destination bitmap is smaller than the 16x8 source"},
        {[&] { platform::memtest::failNthAllocation(1), runWidth(12); },
         "no memory for the staging buffers of 12x8 frames"},
        {[&] { runWidth(10); }, gpu + ": allocating frame buffers failed (10x8 frames): CUDA_ERROR_UNKNOWN",
         "cuMemAllocPitch_v2"},
        {[&] { runWidth(14); }, gpu + " has too little free memory for 14x8 frames", "cuMemAllocPitch_v2",
         kOutOfMemory},
        {[&] { run32(); }, gpu + ": the motion search failed (16x8 frames): CUDA_ERROR_UNKNOWN",
         "cuLaunchKernel:kEstimateMV16"},
        {[&] { run32(); }, gpu + ": the filter kernel failed (16x8 frames): CUDA_ERROR_UNKNOWN",
         "cuLaunchKernel:kProcess"},
        {[&] { run32(); }, gpu + ": waiting for the GPU failed (16x8 frames): CUDA_ERROR_UNKNOWN",
         "cuEventSynchronize"},
    };
    for (const auto& c : cases) {
        modhost::CallDeinit(&f.inst);  // a new instance, whose first reason is written
        modhost::CallInit(&f.inst);
        const std::string line = PassThroughLineOf([&] {
            if (c.failing) {
                EXPECT_TRUE(FailsIn(c.failing, c.frame, c.status)) << c.why;
            } else {
                c.frame();
            }
        });
        EXPECT_EQ(line, c.why);
        run32();
        ASSERT_TRUE(filtered()) << c.why;
    }
}

// The line is written once per instance, with its first reason: later reasons
// write nothing, and a new instance writes anew.
TEST_F(Fallback, ThePassThroughLineIsWrittenOncePerInstance) {
    int lines = 0;
    const std::string once = PassThroughLineOf(
        [&] {
            f.run(src, dst, 24, w, h, 0, 0);
            f.run(src, dst, 24, w, h, 0, 0);
            f.run(src, dst, 32, w, h, w * 4 - 4, 0);
            EXPECT_TRUE(FailsIn("cuLaunchKernel:kProcess", [&] { run32(); }));
            run32();
            f.run(src, dst, 24, w, h, 0, 0);
        },
        &lines);
    EXPECT_EQ(lines, 1);
    EXPECT_EQ(once, "frames of 24 bits per pixel are not filtered (only 32-bit RGB and 16-bit YUY2 are)");

    modhost::CallDeinit(&f.inst);
    modhost::CallInit(&f.inst);
    const std::string again = PassThroughLineOf([&] { f.run(src, dst, 32, w, h, w * 4 - 4, 0); }, &lines);
    EXPECT_EQ(lines, 1);
    EXPECT_EQ(again, "a row pitch of the host's 16x8 bitmaps is shorter than a row");
}

// The widest staged row fits 32 bits and is taken; one pixel more is refused.
// At the limit a 64-byte pitch is then too short for the row, so the reason
// tells the two checks apart without a 2 GiB frame.
TEST_F(Fallback, TheWidestStagedFrameIsTaken) {
    GuardedBuffer small = NoisyFrame(64 * 2, 26), smallOut(64 * 2);
    for (int depth : {32, 16}) {
        const auto lineOf = [&](int width) {
            modhost::CallDeinit(&f.inst);
            modhost::CallInit(&f.inst);
            return PassThroughLineOf([&] { f.run(small, smallOut, depth, width, 2, 64, 64); });
        };
        EXPECT_EQ(lineOf(kMaxStagingWidth),
                  "a row pitch of the host's " + std::to_string(kMaxStagingWidth) + "x2 bitmaps is shorter than a row")
            << depth << " bits";
        EXPECT_EQ(lineOf(kMaxStagingWidth + 1), "frames 536870912 pixels wide are too wide to filter")
            << depth << " bits";
    }
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
