// The per-frame pipeline: ring roles, feedback, and every way a frame can fail.
#include <thread>

#include "gpu_test_support.h"
#include "kernels/cpu_executor.h"

namespace {

using dev::cputest::Op;
using gputest::Frame;

constexpr int kW = 45;  // neither dimension a multiple of the 16-pixel blocks
constexpr int kH = 29;

// What one pipeline call must produce from the given ring roles, computed with
// the executor directly on packed host frames.
Frame referenceOutput(const Frame& cur, const Frame& prev, const Frame& prev2,
                      const Frame& prevOut, const CudaNRParams& params) {
    const int bx = qnr::motionBlocksCovering(kW), by = qnr::motionBlocksCovering(kH);
    std::vector<int2> mv1(static_cast<std::size_t>(bx) * by), mv2(mv1.size());
    const cpuexec::Dim3 mvGrid = qnr::motionGrid(kW, kH);
    cpuexec::runEstimateMV16(mvGrid, {cur.data(), prev.data(), mv1.data(), kW, kH, kW, bx, by, qnr::kMotionRadius,
                                      qnr::kMotionStep});
    cpuexec::runEstimateMV16(mvGrid, {cur.data(), prev2.data(), mv2.data(), kW, kH, kW, bx, by, qnr::kMotionRadius,
                                      qnr::kMotionStep});
    Frame out = gputest::filled(kW, kH, uchar4{});
    cpuexec::runProcess(qnr::processGrid(kW, kH), {cur.data(), prev.data(), prev2.data(), prevOut.data(),
                                                   mv1.data(), mv2.data(), out.data(), bx, kW, kH, kW, params});
    return out;
}

std::vector<Frame> sequence(int n) {
    std::vector<Frame> frames;
    for (int i = 0; i < n; ++i) frames.push_back(gputest::textured(kW, kH, 100 + i, i * 2, i));
    return frames;
}

class Pipeline : public gputest::ContextTest {
protected:
    Pipeline() : ContextTest(kW, kH) {}
    bool process(const Frame& src, Frame& dst) {
        return CudaNRProcessFrame(ctx, src.data(), src.pitchBytes(), dst.data(), dst.pitchBytes(),
                                  kW, kH, &params);
    }

    CudaNRParams params = gputest::defaultParams(5.0f);
    Frame zero = gputest::filled(kW, kH, uchar4{0, 0, 0, 0});
};

// Zero frames stand in for history until the ring has filled; after that the
// two previous inputs and the previous output feed each frame.
TEST_F(Pipeline, RingRolesAndFeedbackOverTheFirstFourFrames) {
    std::vector<Frame> in = sequence(4);
    Frame expectedPrevOut = zero;
    const int expectedIndex[] = {1, 2, 0, 1};
    for (int n = 0; n < 4; ++n) {
        SCOPED_TRACE(n);
        const Frame& prev = n >= 1 ? in[n - 1] : zero;
        const Frame& prev2 = n >= 2 ? in[n - 2] : zero;
        Frame expected = referenceOutput(in[n], prev, prev2, expectedPrevOut, params);
        Frame dst = gputest::filled(kW, kH, uchar4{1, 2, 3, 4});
        ASSERT_TRUE(process(in[n], dst));
        EXPECT_TRUE(gputest::samePixels(dst, expected));
        EXPECT_EQ(ctx->ringIndex, expectedIndex[n]);
        EXPECT_TRUE(gputest::samePixels(gputest::readFrame(ctx, ctx->ring[n % 3]), in[n]));
        EXPECT_TRUE(gputest::samePixels(gputest::readFrame(ctx, ctx->prevOut), expected));
        expectedPrevOut = expected;
    }
}

TEST_F(Pipeline, FailedFrameKeepsTheSlotForTheNextOne) {
    std::vector<Frame> in = sequence(2);
    Frame dst = gputest::filled(kW, kH, uchar4{});
    ASSERT_TRUE(process(in[0], dst));
    Frame firstOut = dst;

    dev::cputest::failNthCall(Op::LaunchProcess, 1);
    EXPECT_FALSE(process(in[1], dst));
    EXPECT_EQ(ctx->ringIndex, 1);

    ASSERT_TRUE(process(in[1], dst));
    EXPECT_EQ(ctx->ringIndex, 2);
    EXPECT_TRUE(gputest::samePixels(dst, referenceOutput(in[1], in[0], zero, firstOut, params)));
}

TEST_F(Pipeline, RejectsMismatchedOrUnsafeArgumentsBeforeQueueingAnything) {
    Frame src = gputest::textured(kW, kH, 5);
    Frame dst = gputest::filled(kW, kH, uchar4{});
    int rowBytes = kW * 4;
    auto call = [&](const uchar4* s, int sp, uchar4* d, int dp, int w, int h,
                    const CudaNRParams* p) { return CudaNRProcessFrame(ctx, s, sp, d, dp, w, h, p); };
    EXPECT_FALSE(call(src.data(), rowBytes, dst.data(), rowBytes, kW + 1, kH, &params));
    EXPECT_FALSE(call(src.data(), rowBytes, dst.data(), rowBytes, kW, kH - 1, &params));
    EXPECT_FALSE(call(nullptr, rowBytes, dst.data(), rowBytes, kW, kH, &params));
    EXPECT_FALSE(call(src.data(), rowBytes, nullptr, rowBytes, kW, kH, &params));
    EXPECT_FALSE(call(src.data(), rowBytes, dst.data(), rowBytes, kW, kH, nullptr));
    EXPECT_FALSE(call(src.data(), rowBytes - 4, dst.data(), rowBytes, kW, kH, &params));
    EXPECT_FALSE(call(src.data(), rowBytes, dst.data(), -rowBytes, kW, kH, &params));
    EXPECT_FALSE(CudaNRProcessFrame(nullptr, src.data(), rowBytes, dst.data(), rowBytes, kW, kH,
                                    &params));
    EXPECT_EQ(dev::cputest::queuedWork(), 0u);
    EXPECT_EQ(ctx->ringIndex, 0);

    CudaNRContext* bare = nullptr;
    ASSERT_TRUE(CudaNRCreate(&bare, 0));
    EXPECT_FALSE(CudaNRProcessFrame(bare, src.data(), 0, dst.data(), 0, 0, 0, &params))
        << "a context without buffers has nothing to process with";
    CudaNRDestroy(bare);
}

// Whatever step fails, nothing may still be on its way into the caller's
// buffer, and the next frame goes through normally into the same slot.
TEST_F(Pipeline, EveryFailurePointReturnsFalseWithNoHostWriteQueued) {
    const gputest::FailurePoint steps[] = {
        {Op::Memcpy2DAsync, 1},      {Op::LaunchEstimateMV16, 1}, {Op::LaunchEstimateMV16, 2},
        {Op::GetLastError, 1},       {Op::LaunchProcess, 1},      {Op::GetLastError, 2},
        {Op::Memcpy2DAsync, 2},      {Op::Memcpy2DAsync, 3},      {Op::StreamSynchronize, 1},
    };
    std::vector<Frame> in = sequence(2);
    Frame dst = gputest::filled(kW, kH, uchar4{});
    ASSERT_TRUE(process(in[0], dst));
    for (const gputest::FailurePoint& step : steps) {
        SCOPED_TRACE(static_cast<int>(step.op) * 100 + step.nth);
        int index = ctx->ringIndex;
        dev::cputest::failNthCall(step.op, step.nth);
        EXPECT_FALSE(process(in[1], dst));
        EXPECT_EQ(dev::cputest::queuedHostWrites(), 0u);
        EXPECT_EQ(ctx->ringIndex, index);
        ASSERT_TRUE(process(in[1], dst)) << "the failure must not stick";
        EXPECT_EQ(ctx->ringIndex, (index + 1) % 3);
        EXPECT_TRUE(gputest::samePixels(gputest::readFrame(ctx, ctx->ring[index]), in[1]));
    }
}

// A frame that fails after its upload was queued returns with the upload still
// on the stream. The staging buffer it came from is pageable memory that the
// caller refills or releases at once; the upload must already have taken the
// frame as it was at the call, or it reads freed or newer data later.
TEST_F(Pipeline, FailedFrameLeavesItsSourceFreeForReuseAtOnce) {
    std::vector<Frame> in = sequence(2);
    Frame dst = gputest::filled(kW, kH, uchar4{});
    int index = ctx->ringIndex;
    Frame source = in[0];
    dev::cputest::failNthCall(Op::LaunchProcess, 1);
    ASSERT_FALSE(process(source, dst));
    source = in[1];  // the caller's next frame lands in the same buffer
    EXPECT_TRUE(gputest::samePixels(gputest::readFrame(ctx, ctx->ring[index]), in[0]));
}

TEST_F(Pipeline, ThreeFramesBringTheRingBackAndReallocationRestartsIt) {
    std::vector<Frame> in = sequence(3);
    Frame dst = gputest::filled(kW, kH, uchar4{});
    ASSERT_TRUE(process(in[0], dst));
    int start = ctx->ringIndex;
    for (const Frame& f : in) ASSERT_TRUE(process(f, dst));
    EXPECT_EQ(ctx->ringIndex, start);
    int syncs = dev::cputest::callCount(Op::StreamSynchronize);
    int allocs = dev::cputest::callCount(Op::Malloc);
    ASSERT_TRUE(process(in[0], dst));
    EXPECT_EQ(dev::cputest::callCount(Op::StreamSynchronize), syncs + 1) << "one wait per frame";
    EXPECT_EQ(dev::cputest::callCount(Op::Malloc), allocs) << "no allocation per frame";
}

// Instances filter on several host threads, serialised by g_gpuMutex: each
// gets exactly what it would get alone.
TEST_F(Pipeline, InstancesOnSeveralThreadsMatchSingleThreadedResults) {
    std::vector<Frame> in = sequence(3);
    std::vector<Frame> expected;
    for (const Frame& f : in) {
        Frame dst = gputest::filled(kW, kH, uchar4{});
        ASSERT_TRUE(process(f, dst));
        expected.push_back(dst);
    }
    auto instance = [&](bool* same) {
        CudaNRContext* own = nullptr;
        *same = true;
        {
            std::lock_guard lock(g_gpuMutex);
            *same = CudaNRCreate(&own, 0) && CudaNREnsureBuffers(own, kW, kH);
        }
        for (std::size_t i = 0; *same && i < in.size(); ++i) {
            Frame dst = gputest::filled(kW, kH, uchar4{});
            std::lock_guard lock(g_gpuMutex);
            *same = CudaNRProcessFrame(own, in[i].data(), in[i].pitchBytes(), dst.data(),
                                       dst.pitchBytes(), kW, kH, &params) &&
                    gputest::samePixels(dst, expected[i]);
        }
        std::lock_guard lock(g_gpuMutex);
        CudaNRDestroy(own);
    };
    bool same1 = false, same2 = false;
    std::thread t1(instance, &same1), t2(instance, &same2);
    t1.join();
    t2.join();
    EXPECT_TRUE(same1);
    EXPECT_TRUE(same2);
}

}  // namespace
