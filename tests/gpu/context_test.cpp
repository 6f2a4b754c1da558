// Creating the context, keeping buffers for one frame size, and destroying it,
// through the CUDA backend on the simulated driver with two GPUs.
#include <cstring>

#include "gpu_test_support.h"

namespace {

using gputest::ContextHolder;
using gputest::DeviceTest;
using gputest::FailurePoint;

class Context : public DeviceTest {};

void expectNoBuffers(const CudaNRContext* ctx) {
    EXPECT_NE(ctx->stream, nullptr);
    EXPECT_EQ(ctx->width, 0);
    EXPECT_EQ(ctx->height, 0);
    EXPECT_EQ(ctx->pitchBytes, 0u);
    EXPECT_EQ(ctx->blocksX, 0);
    EXPECT_EQ(ctx->blocksY, 0);
    EXPECT_EQ(ctx->ringIndex, 0);
    for (const uchar4* slot : ctx->ring) EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(ctx->out, nullptr);
    EXPECT_EQ(ctx->prevOut, nullptr);
    EXPECT_EQ(ctx->mv1, nullptr);
    EXPECT_EQ(ctx->mv2, nullptr);
    EXPECT_EQ(ctx->blockSums, nullptr);
    EXPECT_EQ(ctx->blockWeights, nullptr);
    EXPECT_EQ(ctx->hostBlockTotals, nullptr);
    EXPECT_EQ(ctx->profileBlocks, 0u);
}

// The context a stream is made in is the device's primary context, retained
// for it: the retain says which device a filter context went to.
TEST_F(Context, DeviceOutsideTheCountFallsBackToDeviceZero) {
    for (int device : {-1, 2, 7}) {
        SCOPED_TRACE(device);
        ASSERT_EQ(dev::setDevice(1), dev::kSuccess);
        CudaNRContext* ctx = nullptr;
        ASSERT_TRUE(CudaNRCreate(&ctx, device));
        EXPECT_EQ(ctx->device, 0);
        EXPECT_EQ(quelmarSimRetains(0), 1);
        EXPECT_EQ(quelmarSimRetains(1), 0);
        EXPECT_NE(ctx->stream, nullptr);
        EXPECT_EQ(ctx->out, nullptr) << "a new context has no buffers";
        CudaNRDestroy(ctx);
    }
    CudaNRContext* ctx = nullptr;
    ASSERT_TRUE(CudaNRCreate(&ctx, 1));
    EXPECT_EQ(quelmarSimRetains(1), 1);
    EXPECT_EQ(quelmarSimRetains(0), 0);
    // Whatever device the thread selected since, the context works on its own:
    // device 0 has no context of ours to allocate in.
    ASSERT_EQ(dev::setDevice(0), dev::kSuccess);
    EXPECT_TRUE(CudaNREnsureBuffers(ctx, 16, 16));
    CudaNRDestroy(ctx);
}

// Each driver call of a creation refused in turn: no context comes back, and
// nothing stays made or retained.
TEST_F(Context, CreationFailsCleanlyWhenTheDriverRefuses) {
    auto* stale = reinterpret_cast<CudaNRContext*>(0x1234);
    const FailurePoint steps[] = {
        {"cuDevicePrimaryCtxRetain", 1}, {"cuCtxPushCurrent_v2", 1}, {"cuStreamCreate", 1}, {"cuEventCreate", 1}};
    for (const FailurePoint& step : steps) {
        SCOPED_TRACE(step.entry);
        const int calls = quelmarSimCalls(step.entry);
        gputest::arm(step);
        CudaNRContext* ctx = stale;
        EXPECT_FALSE(CudaNRCreate(&ctx, 0));
        EXPECT_EQ(ctx, nullptr);
        EXPECT_EQ(quelmarSimCalls(step.entry) - calls, 1) << "the refusal was reached";
        EXPECT_EQ(quelmarSimLiveStreams(), 0);
        EXPECT_EQ(quelmarSimLiveEvents(), 0);
        EXPECT_EQ(quelmarSimRetains(0), 0);
    }
    EXPECT_FALSE(CudaNRCreate(nullptr, 0));
    CudaNRDestroy(nullptr);
    ContextHolder h;
    EXPECT_NE(h.ctx, nullptr) << "a refusal does not stick";
}

TEST_F(Context, EnsureAllocatesEverythingForTheSizeAndClearsAllButOut) {
    ContextHolder h;
    CudaNRContext* ctx = h.ctx;
    ASSERT_TRUE(CudaNREnsureBuffers(ctx, 33, 17));
    EXPECT_EQ(ctx->width, 33);
    EXPECT_EQ(ctx->height, 17);
    EXPECT_GE(ctx->pitchBytes, 33u * 4);
    EXPECT_EQ(ctx->blocksX, 3);
    EXPECT_EQ(ctx->blocksY, 2);
    EXPECT_EQ(quelmarSimLiveAllocations(), 9);
    EXPECT_EQ(quelmarSimQueuedWork(), 0) << "ensure ends with a synchronisation";
    for (const uchar4* slot : {ctx->ring[0], ctx->ring[1], ctx->ring[2], ctx->prevOut}) {
        EXPECT_TRUE(gputest::allBytes(gputest::readFrameBytes(ctx, slot), 0));
    }
    EXPECT_TRUE(gputest::allBytes(gputest::readBytes(ctx, ctx->mv1, 6 * 8), 0));
    EXPECT_TRUE(gputest::allBytes(gputest::readBytes(ctx, ctx->mv2, 6 * 8), 0));
    EXPECT_EQ(ctx->profileBlocks, 1u) << "one profiling block covers 33 x 17";
    EXPECT_NE(ctx->hostBlockTotals, nullptr);
    EXPECT_TRUE(gputest::allBytes(gputest::readBytes(ctx, ctx->blockSums, 8), 0));
    EXPECT_TRUE(gputest::allBytes(gputest::readBytes(ctx, ctx->blockWeights, 8), 0));
    EXPECT_FALSE(gputest::allBytes(gputest::readFrameBytes(ctx, ctx->out), 0))
        << "out is written by every frame before it is read, so it is not cleared";
}

TEST_F(Context, SameSizeIsReusedWithoutClearingNewSizeStartsOver) {
    ContextHolder h;
    CudaNRContext* ctx = h.ctx;
    ASSERT_TRUE(CudaNREnsureBuffers(ctx, 40, 24));
    gputest::Frame frame = gputest::textured(40, 24, 1);
    gputest::Frame dst = gputest::filled(40, 24, uchar4{});
    CudaNRParams params = gputest::defaultParams(5.0f);
    ASSERT_TRUE(CudaNRProcessFrame(ctx, frame.data(), frame.pitchBytes(), dst.data(),
                                   dst.pitchBytes(), 40, 24, &params));
    ASSERT_EQ(ctx->ringIndex, 1);
    uchar4* slot0 = ctx->ring[0];
    const int mallocs = quelmarSimCalls("cuMemAlloc_v2") + quelmarSimCalls("cuMemAllocPitch_v2");
    const int clears = quelmarSimCalls("cuMemsetD2D8Async") + quelmarSimCalls("cuMemsetD8Async");

    ASSERT_TRUE(CudaNREnsureBuffers(ctx, 40, 24));
    EXPECT_EQ(ctx->ringIndex, 1);
    EXPECT_EQ(ctx->ring[0], slot0);
    EXPECT_EQ(quelmarSimCalls("cuMemAlloc_v2") + quelmarSimCalls("cuMemAllocPitch_v2"), mallocs);
    EXPECT_EQ(quelmarSimCalls("cuMemsetD2D8Async") + quelmarSimCalls("cuMemsetD8Async"), clears);
    EXPECT_TRUE(gputest::samePixels(gputest::readFrame(ctx, ctx->ring[0]), frame));

    ASSERT_TRUE(CudaNREnsureBuffers(ctx, 41, 24));
    EXPECT_EQ(ctx->ringIndex, 0);
    EXPECT_EQ(ctx->width, 41);
    EXPECT_EQ(quelmarSimLiveAllocations(), 9) << "old buffers released";
    EXPECT_TRUE(gputest::allBytes(gputest::readFrameBytes(ctx, ctx->ring[0]), 0));
    EXPECT_TRUE(gputest::allBytes(gputest::readFrameBytes(ctx, ctx->prevOut), 0));
}

TEST_F(Context, NonPositiveSizeChangesNothing) {
    ContextHolder h;
    CudaNRContext* ctx = h.ctx;
    ASSERT_TRUE(CudaNREnsureBuffers(ctx, 16, 16));
    CudaNRContext before = *ctx;
    for (auto [w, hgt] : {std::pair{0, 16}, {16, 0}, {-5, 16}, {16, -1}}) {
        EXPECT_FALSE(CudaNREnsureBuffers(ctx, w, hgt));
        EXPECT_EQ(std::memcmp(&before, ctx, sizeof before), 0);
    }
    EXPECT_FALSE(CudaNREnsureBuffers(nullptr, 16, 16));
}

// Every step of an ensure that can fail leaves a context with its stream and
// no buffers, and the next ensure of the same size allocates again.
TEST_F(Context, FailureAtEachStepLeavesNoBuffersAndRetries) {
    const FailurePoint steps[] = {
        {"cuMemAllocPitch_v2", 1}, {"cuMemAlloc_v2", 1},     {"cuMemAlloc_v2", 2},     {"cuMemAlloc_v2", 3},
        {"cuMemAlloc_v2", 4},      {"cuMemAlloc_v2", 5},     {"cuMemAlloc_v2", 6},     {"cuMemAlloc_v2", 7},
        {"cuMemAlloc_v2", 8},      {"cuMemsetD2D8Async", 1}, {"cuMemsetD2D8Async", 4}, {"cuMemsetD8Async", 1},
        {"cuMemsetD8Async", 4},    {"cuEventRecord", 1},     {"cuEventSynchronize", 1},
        {"cuMemsetD2D8Async", 1, true},  // a clear that faults on the device, seen at the wait
        {"cuCtxPushCurrent_v2", 5},   // the context made current for the previous output's allocation
        {"cuCtxPushCurrent_v2", 12},  // and for the profile sums' clear
    };
    for (const FailurePoint& step : steps) {
        SCOPED_TRACE(gputest::describe(step));
        ContextHolder h;
        CudaNRContext* ctx = h.ctx;
        const int calls = quelmarSimCalls(step.entry);
        gputest::arm(step);
        EXPECT_FALSE(CudaNREnsureBuffers(ctx, 48, 32));
        EXPECT_GE(quelmarSimCalls(step.entry) - calls, step.nth) << "the failure was reached";
        expectNoBuffers(ctx);
        EXPECT_EQ(quelmarSimLiveAllocations(), 0);
        EXPECT_EQ(quelmarSimQueuedWork(), 0);
        ASSERT_TRUE(CudaNREnsureBuffers(ctx, 48, 32));
        EXPECT_EQ(ctx->width, 48);
        EXPECT_TRUE(gputest::allBytes(gputest::readFrameBytes(ctx, ctx->ring[2]), 0));
    }
}

TEST_F(Context, DestroyReleasesEverythingEvenWithWorkQueued) {
    CudaNRContext* ctx = nullptr;
    ASSERT_TRUE(CudaNRCreate(&ctx, 0));
    ASSERT_TRUE(CudaNREnsureBuffers(ctx, 20, 20));
    std::vector<unsigned char> host(8, 0xEE);
    ASSERT_EQ(dev::memcpyAsync(host.data(), ctx->blockSums, 8, dev::CopyKind::DeviceToHost,
                               ctx->stream),
              dev::kSuccess);
    ASSERT_EQ(quelmarSimQueuedWork(), 1);
    CudaNRDestroy(ctx);
    EXPECT_TRUE(gputest::allBytes(host, 0)) << "queued work completed before the free";
    EXPECT_EQ(quelmarSimLiveAllocations(), 0);
    EXPECT_EQ(quelmarSimLiveStreams(), 0);
    EXPECT_EQ(quelmarSimRetains(0), 0);
}

// Another context keeps the device's primary context retained throughout, so
// that a block the release missed stays counted instead of going with the
// context.
TEST_F(Context, AFailedReleaseIsRetriedOnce) {
    ContextHolder keeper;
    for (int n = 1; n <= 9; ++n) {
        SCOPED_TRACE(n);
        CudaNRContext* ctx = nullptr;
        ASSERT_TRUE(CudaNRCreate(&ctx, 0));
        ASSERT_TRUE(CudaNREnsureBuffers(ctx, 20, 20));
        quelmarSimFailCall("cuMemFree_v2", n);
        const int frees = quelmarSimCalls("cuMemFree_v2");
        CudaNRDestroy(ctx);
        EXPECT_EQ(quelmarSimCalls("cuMemFree_v2") - frees, 10) << "nine blocks, one retry";
        EXPECT_EQ(quelmarSimLiveAllocations(), 0);
        EXPECT_EQ(quelmarSimLiveStreams(), 1) << "the keeper's";
    }
    // The same on a size change, which releases the old buffers.
    ASSERT_TRUE(CudaNREnsureBuffers(keeper.ctx, 20, 20));
    quelmarSimFailCall("cuMemFree_v2", 4);
    ASSERT_TRUE(CudaNREnsureBuffers(keeper.ctx, 24, 20));
    EXPECT_EQ(quelmarSimLiveAllocations(), 9);
}

// A refused stream destroy is not asked again: the stream goes with the
// device's primary context, released with the last stream on it.
TEST_F(Context, ARefusedStreamGoesWithTheDevicesContext) {
    CudaNRContext* ctx = nullptr;
    ASSERT_TRUE(CudaNRCreate(&ctx, 0));
    ASSERT_TRUE(CudaNREnsureBuffers(ctx, 20, 20));
    const int destroys = quelmarSimCalls("cuStreamDestroy_v2");
    quelmarSimFailCall("cuStreamDestroy_v2", 1);
    CudaNRDestroy(ctx);
    EXPECT_EQ(quelmarSimCalls("cuStreamDestroy_v2") - destroys, 1);
    EXPECT_EQ(quelmarSimLiveAllocations(), 0);
    EXPECT_EQ(quelmarSimLiveStreams(), 0);
    EXPECT_EQ(quelmarSimRetains(0), 0);
}

TEST_F(Context, AReleaseThatFailsTwiceIsLeftToTheDeviceAndNeverTriedAgain) {
    ContextHolder keeper;  // keeps the device's context, and with it what we leave there
    CudaNRContext* ctx = nullptr;
    ASSERT_TRUE(CudaNRCreate(&ctx, 0));
    ASSERT_TRUE(CudaNREnsureBuffers(ctx, 20, 20));
    void* ring2 = ctx->ring[2];
    // The destroy's wait, then one free per block: ring slot 2's free is
    // refused before it reaches the driver (the context push), its retry by
    // the driver itself.
    quelmarSimFailCall("cuCtxPushCurrent_v2", 4);
    quelmarSimFailCall("cuMemFree_v2", 3);
    quelmarSimFailCall("cuStreamDestroy_v2", 1);
    const int frees = quelmarSimCalls("cuMemFree_v2");
    const int destroys = quelmarSimCalls("cuStreamDestroy_v2");
    CudaNRDestroy(ctx);
    EXPECT_EQ(quelmarSimCalls("cuMemFree_v2") - frees, 9) << "eight blocks, one refused retry";
    EXPECT_EQ(quelmarSimCalls("cuStreamDestroy_v2") - destroys, 1);
    EXPECT_EQ(quelmarSimLiveAllocations(), 1);
    EXPECT_EQ(quelmarSimLiveStreams(), 2) << "the keeper's and the refused one";
    // What the device still holds is the test's to release; the stream goes
    // with the context.
    EXPECT_EQ(dev::free(ring2), dev::kSuccess);
    EXPECT_EQ(quelmarSimLiveAllocations(), 0);
}

}  // namespace
