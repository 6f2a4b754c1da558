// Creating the context, keeping buffers for one frame size, and destroying it.
#include <cstring>

#include "gpu/context_testing.h"
#include "gpu_test_support.h"

namespace {

using dev::cputest::Op;
using gputest::ContextHolder;
using gputest::DeviceTest;

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

TEST_F(Context, DeviceOutsideTheCountFallsBackToDeviceZero) {
    dev::cputest::setDeviceCount(2);
    for (int device : {-1, 2, 7}) {
        ASSERT_EQ(dev::setDevice(1), dev::kSuccess);
        CudaNRContext* ctx = nullptr;
        ASSERT_TRUE(CudaNRCreate(&ctx, device));
        EXPECT_EQ(dev::cputest::currentDevice(), 0) << device;
        EXPECT_NE(ctx->stream, nullptr);
        EXPECT_EQ(ctx->out, nullptr) << "a new context has no buffers";
        CudaNRDestroy(ctx);
    }
    CudaNRContext* ctx = nullptr;
    ASSERT_TRUE(CudaNRCreate(&ctx, 1));
    EXPECT_EQ(dev::cputest::currentDevice(), 1);
    CudaNRDestroy(ctx);
}

TEST_F(Context, CreationFailsCleanlyWithoutADevice) {
    auto* stale = reinterpret_cast<CudaNRContext*>(0x1234);
    CudaNRContext* ctx = stale;
    dev::cputest::setDeviceCount(0);
    EXPECT_FALSE(CudaNRCreate(&ctx, 0));
    EXPECT_EQ(ctx, nullptr);

    dev::cputest::setDeviceCount(1);
    dev::cputest::setDeviceCountFails(true);
    ctx = stale;
    EXPECT_FALSE(CudaNRCreate(&ctx, 0));
    EXPECT_EQ(ctx, nullptr);
    dev::cputest::setDeviceCountFails(false);

    for (Op op : {Op::SetDevice, Op::StreamCreate}) {
        dev::cputest::failNthCall(op, 1);
        ctx = stale;
        EXPECT_FALSE(CudaNRCreate(&ctx, 0));
        EXPECT_EQ(ctx, nullptr);
    }
    EXPECT_FALSE(CudaNRCreate(nullptr, 0));
    EXPECT_EQ(dev::cputest::liveStreams(), 0u);
    CudaNRDestroy(nullptr);
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
    EXPECT_EQ(dev::cputest::liveAllocations(), 9u);
    EXPECT_EQ(dev::cputest::queuedWork(), 0u) << "ensure ends with a synchronisation";
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
    int mallocs = dev::cputest::callCount(Op::Malloc);
    int clears = dev::cputest::callCount(Op::Memset2DAsync);

    ASSERT_TRUE(CudaNREnsureBuffers(ctx, 40, 24));
    EXPECT_EQ(ctx->ringIndex, 1);
    EXPECT_EQ(ctx->ring[0], slot0);
    EXPECT_EQ(dev::cputest::callCount(Op::Malloc), mallocs);
    EXPECT_EQ(dev::cputest::callCount(Op::Memset2DAsync), clears);
    EXPECT_TRUE(gputest::samePixels(gputest::readFrame(ctx, ctx->ring[0]), frame));

    ASSERT_TRUE(CudaNREnsureBuffers(ctx, 41, 24));
    EXPECT_EQ(ctx->ringIndex, 0);
    EXPECT_EQ(ctx->width, 41);
    EXPECT_EQ(dev::cputest::liveAllocations(), 9u) << "old buffers released";
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
    const gputest::FailurePoint steps[] = {
        {Op::MallocPitch, 1},   {Op::Malloc, 1},      {Op::Malloc, 2},  {Op::Malloc, 3},
        {Op::Malloc, 4},        {Op::Malloc, 5},      {Op::Malloc, 6},  {Op::Malloc, 7},
        {Op::Malloc, 8},        {Op::Memset2DAsync, 1}, {Op::Memset2DAsync, 4},
        {Op::MemsetAsync, 1},   {Op::MemsetAsync, 4}, {Op::StreamSynchronize, 1},
    };
    for (const gputest::FailurePoint& step : steps) {
        SCOPED_TRACE(static_cast<int>(step.op) * 100 + step.nth);
        ContextHolder h;
        CudaNRContext* ctx = h.ctx;
        dev::cputest::failNthCall(step.op, step.nth);
        EXPECT_FALSE(CudaNREnsureBuffers(ctx, 48, 32));
        expectNoBuffers(ctx);
        EXPECT_EQ(dev::cputest::liveAllocations(), 0u);
        EXPECT_EQ(dev::cputest::queuedWork(), 0u);
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
    CudaNRDestroy(ctx);
    EXPECT_TRUE(gputest::allBytes(host, 0)) << "queued work completed before the free";
    EXPECT_EQ(dev::cputest::liveAllocations(), 0u);
    EXPECT_EQ(dev::cputest::liveStreams(), 0u);
}

TEST_F(Context, AFailedReleaseIsRetriedOnce) {
    const Op ops[] = {Op::Free, Op::StreamDestroy};
    for (Op op : ops) {
        for (int n = 1; n <= (op == Op::Free ? 9 : 1); ++n) {
            CudaNRContext* ctx = nullptr;
            ASSERT_TRUE(CudaNRCreate(&ctx, 0));
            ASSERT_TRUE(CudaNREnsureBuffers(ctx, 20, 20));
            dev::cputest::failNthCall(op, n);
            CudaNRDestroy(ctx);
            EXPECT_EQ(dev::cputest::liveAllocations(), 0u) << n;
            EXPECT_EQ(dev::cputest::liveStreams(), 0u) << n;
        }
    }
    // The same on a size change, which releases the old buffers.
    ContextHolder h;
    ASSERT_TRUE(CudaNREnsureBuffers(h.ctx, 20, 20));
    dev::cputest::failNthCall(Op::Free, 4);
    ASSERT_TRUE(CudaNREnsureBuffers(h.ctx, 24, 20));
    EXPECT_EQ(dev::cputest::liveAllocations(), 9u);
}

TEST_F(Context, AReleaseThatFailsTwiceIsLeftToTheDeviceAndNeverTriedAgain) {
    CudaNRContext* ctx = nullptr;
    ASSERT_TRUE(CudaNRCreate(&ctx, 0));
    ASSERT_TRUE(CudaNREnsureBuffers(ctx, 20, 20));
    void* ring2 = ctx->ring[2];
    dev::Stream stream = ctx->stream;
    dev::cputest::failCalls(Op::Free, 3, 2);  // ring slot 2 and its retry
    dev::cputest::failCalls(Op::StreamDestroy, 1, 2);
    const int frees = dev::cputest::callCount(Op::Free);
    CudaNRDestroy(ctx);
    EXPECT_EQ(dev::cputest::callCount(Op::Free) - frees, 10) << "nine blocks, one retry";
    EXPECT_EQ(dev::cputest::callCount(Op::StreamDestroy), 2);
    EXPECT_EQ(dev::cputest::liveAllocations(), 1u);
    EXPECT_EQ(dev::cputest::liveStreams(), 1u);
    // What the device still holds is the test's to release.
    EXPECT_EQ(dev::free(ring2), dev::kSuccess);
    EXPECT_EQ(dev::streamDestroy(stream), dev::kSuccess);
}

}  // namespace
