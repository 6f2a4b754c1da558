// The per-frame pipeline: ring roles, feedback, and every way a frame can fail,
// through the CUDA backend on the simulated driver.
#include <algorithm>
#include <string>
#include <thread>

#include "gpu_test_support.h"
#include "kernels/cpu_executor.h"

namespace {

using gputest::FailurePoint;
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

    quelmarSimFailCall("cuLaunchKernel:kProcess", 1);
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
    const int copies = quelmarSimCalls("cuMemcpy2DAsync_v2");
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
    EXPECT_EQ(quelmarSimQueuedWork(), 0);
    EXPECT_EQ(quelmarSimCalls("cuMemcpy2DAsync_v2"), copies) << "nothing was queued";
    EXPECT_EQ(ctx->ringIndex, 0);

    CudaNRContext* bare = nullptr;
    ASSERT_TRUE(CudaNRCreate(&bare, 0));
    EXPECT_FALSE(CudaNRProcessFrame(bare, src.data(), 0, dst.data(), 0, 0, 0, &params))
        << "a context without buffers has nothing to process with";
    CudaNRDestroy(bare);
}

// Whatever step fails, nothing may still be on its way into the caller's
// buffer, and the next frame goes through normally into the same slot. Each
// point names the kernels launched by the time it fails, which pins it to its
// step. A context pop refused after a launch the driver took is what a launch
// error read back from the backend looks like: the launch ran, yet the frame
// must fail.
TEST_F(Pipeline, EveryFailurePointReturnsFalseWithNoHostWriteQueued) {
    const struct {
        FailurePoint at;
        int motion, process;
    } steps[] = {
        {{"cuMemcpy2DAsync_v2", 1}, 0, 0},              // upload
        {{"cuLaunchKernel:kEstimateMV16", 1}, 2, 0},    // against the previous frame (both are
                                                        // launched before their status is read)
        {{"cuLaunchKernel:kEstimateMV16", 2}, 2, 0},    // against the one before
        {{"cuCtxPopCurrent_v2", 3}, 2, 0},              // after the second motion launch
        {{"cuLaunchKernel:kProcess", 1}, 2, 1},
        {{"cuCtxPopCurrent_v2", 4}, 2, 1},              // after the processing launch
        {{"cuMemcpy2DAsync_v2", 2}, 2, 1},              // download
        {{"cuMemcpy2DAsync_v2", 3}, 2, 1},              // feedback
        {{"cuEventRecord", 1}, 2, 1},                   // the wait
        {{"cuEventSynchronize", 1}, 2, 1},
        {{"cuLaunchKernel:kProcess", 1, true}, 2, 1},  // a fault in the kernel, seen at the wait
    };
    std::vector<Frame> in = sequence(2);
    Frame dst = gputest::filled(kW, kH, uchar4{});
    ASSERT_TRUE(process(in[0], dst));
    for (const auto& step : steps) {
        SCOPED_TRACE(gputest::describe(step.at));
        const int index = ctx->ringIndex;
        const int motion = quelmarSimCalls("cuLaunchKernel:kEstimateMV16");
        const int processing = quelmarSimCalls("cuLaunchKernel:kProcess");
        gputest::arm(step.at);
        EXPECT_FALSE(process(in[1], dst));
        EXPECT_EQ(quelmarSimCalls("cuLaunchKernel:kEstimateMV16") - motion, step.motion);
        EXPECT_EQ(quelmarSimCalls("cuLaunchKernel:kProcess") - processing, step.process);
        EXPECT_EQ(quelmarSimQueuedWork(), 0);
        EXPECT_EQ(dev::getLastError(), dev::kSuccess) << "no stale launch error left behind";
        EXPECT_EQ(ctx->ringIndex, index);
        ASSERT_TRUE(process(in[1], dst)) << "the failure must not stick";
        EXPECT_EQ(ctx->ringIndex, (index + 1) % 3);
        EXPECT_TRUE(gputest::samePixels(gputest::readFrame(ctx, ctx->ring[index]), in[1]));
    }
}

// A frame that fails after its upload was queued returns with the upload still
// on the stream. The staging buffer it came from is page-locked memory that the
// caller refills or releases at once; the upload must have run before the
// call returns, or it reads freed or newer data later. The frames here fail
// in the backend, their kernels never having loaded.
TEST_F(Pipeline, FailedFrameLeavesItsSourceFreeForReuseAtOnce) {
    std::vector<Frame> in = sequence(2);
    Frame dst = gputest::filled(kW, kH, uchar4{});
    gputest::refuseKernelImages();
    ASSERT_FALSE(process(in[1], dst)) << "the machine code and the PTX both refused";
    ASSERT_EQ(quelmarSimLiveModules(), 0);

    const int index = ctx->ringIndex;
    Frame source = in[0];
    const std::size_t bytes = source.px.size() * sizeof(uchar4);
    CudaNRPinHostBuffer(ctx, source.data(), bytes);
    ASSERT_EQ(quelmarSimLiveAllocations(), 10) << "nine device blocks and the registered frame";
    const int uploads = quelmarSimCalls("cuMemcpy2DAsync_v2");
    EXPECT_FALSE(process(source, dst));
    EXPECT_EQ(quelmarSimCalls("cuMemcpy2DAsync_v2") - uploads, 1) << "it failed after the upload";
    EXPECT_EQ(quelmarSimQueuedWork(), 0);
    std::copy(in[1].px.begin(), in[1].px.end(), source.px.begin());  // the caller's next frame, same buffer
    EXPECT_TRUE(gputest::samePixels(gputest::readFrame(ctx, ctx->ring[index]), in[0]));
    CudaNRUnpinHostBuffer(source.data());
}

TEST_F(Pipeline, ThreeFramesBringTheRingBackAndReallocationRestartsIt) {
    std::vector<Frame> in = sequence(3);
    Frame dst = gputest::filled(kW, kH, uchar4{});
    ASSERT_TRUE(process(in[0], dst));
    int start = ctx->ringIndex;
    for (const Frame& f : in) ASSERT_TRUE(process(f, dst));
    EXPECT_EQ(ctx->ringIndex, start);
    const int syncs = quelmarSimCalls("cuEventSynchronize");
    const int allocs = quelmarSimCalls("cuMemAlloc_v2") + quelmarSimCalls("cuMemAllocPitch_v2");
    ASSERT_TRUE(process(in[0], dst));
    EXPECT_EQ(quelmarSimCalls("cuEventSynchronize"), syncs + 1) << "one wait per frame";
    EXPECT_EQ(quelmarSimCalls("cuMemAlloc_v2") + quelmarSimCalls("cuMemAllocPitch_v2"), allocs)
        << "no allocation per frame";
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
