// The CUDA backend through the simulated driver, as another CUDA user in the
// host process sees it: its own context current before and after every call,
// instances on two devices sharing nothing, the primary context's flags never
// touched, and everything released with the last context. The driver is the process's for its whole life, as a real one is.
#include <gtest/gtest.h>

#include <cuda.h>

#include <chrono>
#include <thread>

#include "gpu/cudanr.h"
#include "gpu/device.h"
#include "gpu/device_events.h"
#include "gpu/diagnosis.h"
#include "kernels/device_images.h"
#include "tests/gpu/gpu_test_support.h"
#include "tests/simdriver/control.h"

namespace {

using gputest::Frame;

// Two GPUs for the whole process: the backend reads them once.
class TwoGpus : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_EQ(quelmarSimReset("devices=12.0,8.6 driver=580.65"), 1);
        ASSERT_EQ(cuInit(0), CUDA_SUCCESS);  // as the host's other CUDA user does
    }
};
const auto* const kTwoGpus = ::testing::AddGlobalTestEnvironment(new TwoGpus);

class CudaBackend : public ::testing::Test {
protected:
    void TearDown() override { gputest::expectDriverLeftClean(); }
    CUcontext current() {
        CUcontext c = nullptr;
        EXPECT_EQ(cuCtxGetCurrent(&c), CUDA_SUCCESS);
        return c;
    }
};

// One frame through everything the filter does with a context.
bool filterOneFrame(CudaNRContext* ctx, const Frame& in, Frame* out) {
    float estimate = 0;
    const CudaNRParams params = gputest::defaultParams(5.0f);
    *out = gputest::filled(in.width, in.height, uchar4{});
    return CudaNREnsureBuffers(ctx, in.width, in.height) &&
           CudaNRProfileNoise(ctx, in.data(), in.pitchBytes(), in.width, in.height, &estimate) &&
           CudaNRProcessFrame(ctx, in.data(), in.pitchBytes(), out->data(), out->pitchBytes(), in.width,
                              in.height, &params);
}

TEST_F(CudaBackend, TheCallersCurrentContextIsCurrentAfterEveryCall) {
    // Another CUDA user in the host has device 1's context current.
    CUcontext theirs = nullptr;
    ASSERT_EQ(cuDevicePrimaryCtxRetain(&theirs, 1), CUDA_SUCCESS);
    ASSERT_EQ(cuCtxPushCurrent(theirs), CUDA_SUCCESS);
    CudaNRContext* ctx = nullptr;
    ASSERT_TRUE(CudaNRCreate(&ctx, 0));
    EXPECT_EQ(current(), theirs);
    const Frame in = gputest::textured(40, 24, 1);
    Frame out;
    ASSERT_TRUE(CudaNREnsureBuffers(ctx, 40, 24));
    EXPECT_EQ(current(), theirs);
    ASSERT_TRUE(filterOneFrame(ctx, in, &out));
    EXPECT_EQ(current(), theirs);
    CudaNRDestroy(ctx);
    EXPECT_EQ(current(), theirs);
    CUcontext popped = nullptr;
    ASSERT_EQ(cuCtxPopCurrent(&popped), CUDA_SUCCESS);
    ASSERT_EQ(cuDevicePrimaryCtxRelease(1), CUDA_SUCCESS);

    // And with nothing current, nothing stays current.
    ASSERT_TRUE(CudaNRCreate(&ctx, 0));
    ASSERT_TRUE(filterOneFrame(ctx, in, &out));
    EXPECT_EQ(current(), nullptr);
    CudaNRDestroy(ctx);
    EXPECT_EQ(current(), nullptr);
}

TEST_F(CudaBackend, InstancesOnTwoDevicesShareNothing) {
    CudaNRContext *a = nullptr, *b = nullptr;
    ASSERT_TRUE(CudaNRCreate(&a, 0));
    ASSERT_TRUE(CudaNRCreate(&b, 1));
    EXPECT_EQ(a->device, 0);
    EXPECT_EQ(b->device, 1);
    const Frame in = gputest::textured(33, 17, 2);
    Frame outA, outB;
    // Interleaved, and on a thread that created neither: each call still runs
    // in its own device's context, or the driver would report memory and
    // streams of another context.
    std::thread([&] {
        ASSERT_TRUE(CudaNREnsureBuffers(a, 33, 17));
        ASSERT_TRUE(CudaNREnsureBuffers(b, 33, 17));
        ASSERT_TRUE(filterOneFrame(a, in, &outA));
        ASSERT_TRUE(filterOneFrame(b, in, &outB));
    }).join();
    EXPECT_TRUE(gputest::samePixels(outA, outB)) << "same frame, same result on either device";
    EXPECT_EQ(quelmarSimRetains(0), 1);
    EXPECT_EQ(quelmarSimRetains(1), 1);
    CudaNRDestroy(a);
    EXPECT_EQ(quelmarSimRetains(0), 0);
    EXPECT_EQ(quelmarSimRetains(1), 1) << "device 1 is still in use";
    ASSERT_TRUE(filterOneFrame(b, in, &outB));
    CudaNRDestroy(b);
}

// The primary context is shared with the host: its flags are never ours to
// set, whether we activate it or someone else did. A wait for a frame sleeps
// on an event made for blocking synchronisation instead.
TEST_F(CudaBackend, ThePrimaryContextKeepsItsFlagsAndWaitsBlockOnAnEvent) {
    const int setFlags = quelmarSimCalls("cuDevicePrimaryCtxSetFlags_v2");
    const int streamWaits = quelmarSimCalls("cuStreamSynchronize");
    const int eventWaits = quelmarSimCalls("cuEventSynchronize");
    CudaNRContext* ctx = nullptr;
    ASSERT_TRUE(CudaNRCreate(&ctx, 0));
    Frame out;
    EXPECT_TRUE(filterOneFrame(ctx, gputest::textured(16, 16, 3), &out));
    EXPECT_EQ(quelmarSimPrimaryFlags(0), 0u);
    EXPECT_EQ(quelmarSimLiveEvents(), 1) << "the stream's blocking-sync event";
    CudaNRDestroy(ctx);
    EXPECT_EQ(quelmarSimLiveEvents(), 0);

    // Someone else activated it, spinning: it stays so, and we still run.
    ASSERT_EQ(cuDevicePrimaryCtxSetFlags(0, CU_CTX_SCHED_SPIN), CUDA_SUCCESS);
    CUcontext theirs = nullptr;
    ASSERT_EQ(cuDevicePrimaryCtxRetain(&theirs, 0), CUDA_SUCCESS);
    ASSERT_TRUE(CudaNRCreate(&ctx, 0));
    EXPECT_TRUE(filterOneFrame(ctx, gputest::textured(16, 16, 3), &out));
    EXPECT_EQ(quelmarSimPrimaryFlags(0), static_cast<unsigned>(CU_CTX_SCHED_SPIN));
    EXPECT_EQ(quelmarSimRetains(0), 2);
    CudaNRDestroy(ctx);
    EXPECT_EQ(quelmarSimRetains(0), 1) << "only our own retain is released";
    ASSERT_EQ(cuDevicePrimaryCtxRelease(0), CUDA_SUCCESS);
    ASSERT_EQ(cuDevicePrimaryCtxSetFlags(0, 0), CUDA_SUCCESS);  // as the next test expects to find it

    EXPECT_EQ(quelmarSimCalls("cuDevicePrimaryCtxSetFlags_v2") - setFlags, 2) << "the test's own two";
    EXPECT_EQ(quelmarSimCalls("cuStreamSynchronize"), streamWaits);
    EXPECT_GT(quelmarSimCalls("cuEventSynchronize"), eventWaits);
}

// Timing events measure from start to end: a pause between the two records
// (each run before the next is queued) is the least the pair may report.
TEST_F(CudaBackend, EventsMeasureFromStartToEnd) {
    ASSERT_EQ(dev::setDevice(0), dev::kSuccess);
    dev::Stream stream = nullptr;
    ASSERT_EQ(dev::streamCreateNonBlocking(&stream), dev::kSuccess);
    dev::Event start = nullptr, end = nullptr;
    ASSERT_EQ(dev::eventCreate(&start), dev::kSuccess);
    ASSERT_EQ(dev::eventCreate(&end), dev::kSuccess);
    ASSERT_EQ(dev::eventRecord(start, stream), dev::kSuccess);
    ASSERT_EQ(dev::eventSynchronize(start), dev::kSuccess);
    const auto before = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_EQ(dev::eventRecord(end, stream), dev::kSuccess);
    ASSERT_EQ(dev::eventSynchronize(end), dev::kSuccess);
    const float paused = std::chrono::duration<float, std::milli>(std::chrono::steady_clock::now() - before).count();
    float ms = -1;
    EXPECT_EQ(dev::eventElapsedMs(&ms, start, end), dev::kSuccess);
    EXPECT_GE(ms, 30.0f);
    EXPECT_LT(ms, paused + 1000.0f);
    EXPECT_EQ(dev::eventDestroy(start), dev::kSuccess);
    EXPECT_EQ(dev::eventDestroy(end), dev::kSuccess);
    EXPECT_EQ(dev::streamDestroy(stream), dev::kSuccess);
}

TEST_F(CudaBackend, TheLastContextOnADeviceReleasesItAndUnloadsTheKernels) {
    CudaNRContext *first = nullptr, *second = nullptr;
    ASSERT_TRUE(CudaNRCreate(&first, 0));
    ASSERT_TRUE(CudaNRCreate(&second, 0));
    EXPECT_EQ(quelmarSimRetains(0), 1) << "one retain per device, however many contexts";
    Frame out;
    const bool filtered = filterOneFrame(first, gputest::textured(20, 20, 4), &out);
    EXPECT_EQ(filtered, quelmarDeviceImageCount != 0);
    EXPECT_EQ(quelmarSimLiveModules(), filtered ? 1 : 0);
    CudaNRDestroy(first);
    EXPECT_EQ(quelmarSimRetains(0), 1);
    EXPECT_EQ(quelmarSimLiveModules(), filtered ? 1 : 0) << "still in use by the second";
    CudaNRDestroy(second);
    EXPECT_EQ(quelmarSimRetains(0), 0);
    EXPECT_EQ(quelmarSimLiveModules(), 0);
    // A new context after the release retains and loads again.
    ASSERT_TRUE(CudaNRCreate(&first, 0));
    EXPECT_EQ(filterOneFrame(first, gputest::textured(20, 20, 4), &out), filtered);
    CudaNRDestroy(first);
}

// A stream the driver refused to destroy is gone for the backend once: the
// retry must not release the context another instance on the device still uses.
TEST_F(CudaBackend, ARefusedStreamDestroyLeavesTheOtherInstanceItsContext) {
    CudaNRContext *first = nullptr, *second = nullptr;
    ASSERT_TRUE(CudaNRCreate(&first, 0));
    ASSERT_TRUE(CudaNRCreate(&second, 0));
    quelmarSimFailCall("cuStreamDestroy_v2", 1);
    CudaNRDestroy(first);
    EXPECT_EQ(quelmarSimRetains(0), 1);
    Frame out;
    EXPECT_EQ(filterOneFrame(second, gputest::textured(20, 20, 4), &out), quelmarDeviceImageCount != 0);
    CudaNRDestroy(second);
}

// The diagnosis asks the driver about both GPUs, loads the kernels into each
// and tries a filter context there, beside another CUDA user in the process:
// that user's context stays current, and nothing of ours stays behind.
TEST_F(CudaBackend, DiagnosisTriesEachGpuAndLeavesNothingBehind) {
    CUcontext theirs = nullptr;
    ASSERT_EQ(cuDevicePrimaryCtxRetain(&theirs, 1), CUDA_SUCCESS);
    ASSERT_EQ(cuCtxPushCurrent(theirs), CUDA_SUCCESS);
    const diag::Report report = diag::Diagnose();
    EXPECT_EQ(current(), theirs);
    EXPECT_EQ(quelmarSimRetains(0), 0);
    EXPECT_EQ(quelmarSimRetains(1), 1) << "theirs";
    CUcontext popped = nullptr;
    ASSERT_EQ(cuCtxPopCurrent(&popped), CUDA_SUCCESS);
    ASSERT_EQ(cuDevicePrimaryCtxRelease(1), CUDA_SUCCESS);

    const bool code = quelmarDeviceImageCount != 0;
    EXPECT_EQ(report.driverLine, "NVIDIA R580 (CUDA 13.0)");
    EXPECT_EQ(report.filters, code) << report.why;
    ASSERT_EQ(report.devices.size(), 2u);
    const diag::Device& second = report.devices[1];
    EXPECT_STREQ(second.info.name, "Simulated GPU sm_86");
    EXPECT_EQ(second.info.computeCapability, 86);
    EXPECT_EQ(second.info.totalMemoryBytes, std::size_t{8192} << 20);
    EXPECT_EQ(second.kernelsLoad, code);
    EXPECT_EQ(second.kernels, code ? "machine code for sm_86" : "this build carries no device code (it was built without nvcc)");
    EXPECT_EQ(second.framesFit, code);
}

}  // namespace
