// Shared helpers for the GPU tests that run the CUDA backend on the simulated
// driver linked in: device read-back, failures armed on driver entry points,
// and fixtures that start each test on a healthy device and check that it
// leaves nothing behind. Host frames are packed.
#pragma once
#include <gtest/gtest.h>

#include <cuda.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gpu/context_state.h"
#include "gpu/cudanr.h"
#include "gpu/device.h"
#include "tests/simdriver/control.h"
#include "tests/support/frames.h"
#include "tests/support/params.h"

namespace gputest {

using qtest::defaultParams;
using qtest::filled;
using qtest::Frame;
using qtest::samePixels;
using qtest::textured;

// The nth call of one driver entry point from now ("cuMemAlloc_v2",
// "cuLaunchKernel:kProcess"), made to fail. With async, the call itself
// succeeds and the stream's next wait reports the failure, as a fault in
// queued work reaches the host.
struct FailurePoint {
    const char* entry;
    int nth;
    bool async = false;
};

inline void arm(const FailurePoint& point) {
    quelmarSimFailCallWith(point.entry, point.nth, CUDA_ERROR_UNKNOWN, point.async ? 1 : 0);
}

// "cuMemAlloc_v2 #3", for a failing case's trace.
inline std::string describe(const FailurePoint& point) {
    return std::string(point.entry) + " #" + std::to_string(point.nth) + (point.async ? " async" : "");
}

// The driver refuses both the machine code and the PTX, so the next context
// on a device to launch a kernel has none: its launches then fail in the
// backend without a driver call failing. That is the one kind of failure after
// which queued work is still queued, since the driver completes it whenever
// one of its calls fails.
inline void refuseKernelImages() {
    quelmarSimFailCall("cuModuleLoadData", 1);
    quelmarSimFailCall("cuModuleLoadDataEx", 1);
}

// The emulated machine for the whole process. The backend reads the driver
// once, on its first call, so this is set before any test runs.
class SimulatedMachine : public ::testing::Environment {
public:
    explicit SimulatedMachine(std::string description) : description_(std::move(description)) {}
    void SetUp() override { ASSERT_EQ(quelmarSimReset(description_.c_str()), 1) << description_; }

private:
    std::string description_;
};

// Nothing of ours left in the driver: no context retained on either GPU, no
// memory, stream or module, no work queued, and no rule broken.
inline void expectDriverLeftClean() {
    EXPECT_EQ(quelmarSimTakeViolations(), 0);
    for (int device : {0, 1}) EXPECT_EQ(quelmarSimRetains(device), 0) << "device " << device;
    EXPECT_EQ(quelmarSimLiveAllocations(), 0) << "memory leaked";
    EXPECT_EQ(quelmarSimLiveStreams(), 0) << "stream leaked";
    EXPECT_EQ(quelmarSimLiveModules(), 0);
    EXPECT_EQ(quelmarSimQueuedWork(), 0);
}

inline bool allBytes(const std::vector<unsigned char>& bytes, unsigned char value) {
    for (unsigned char b : bytes) {
        if (b != value) return false;
    }
    return true;
}

// Reads a device frame (the context's pitch) into packed rows.
inline Frame readFrame(const CudaNRContext* ctx, const uchar4* devFrame) {
    Frame f = filled(ctx->width, ctx->height, uchar4{});
    EXPECT_EQ(dev::memcpy2DAsync(f.data(), f.pitchBytes(), devFrame, ctx->pitchBytes,
                                 static_cast<std::size_t>(ctx->width) * 4,
                                 static_cast<std::size_t>(ctx->height),
                                 dev::CopyKind::DeviceToHost, ctx->stream),
              dev::kSuccess);
    EXPECT_EQ(dev::streamSynchronize(ctx->stream), dev::kSuccess);
    return f;
}

inline std::vector<unsigned char> readBytes(const CudaNRContext* ctx, const void* devPtr,
                                            std::size_t bytes) {
    std::vector<unsigned char> v(bytes);
    EXPECT_EQ(dev::memcpyAsync(v.data(), devPtr, bytes, dev::CopyKind::DeviceToHost, ctx->stream),
              dev::kSuccess);
    EXPECT_EQ(dev::streamSynchronize(ctx->stream), dev::kSuccess);
    return v;
}

inline std::vector<unsigned char> readFrameBytes(const CudaNRContext* ctx, const uchar4* devFrame) {
    Frame f = readFrame(ctx, devFrame);
    const auto* p = reinterpret_cast<const unsigned char*>(f.px.data());
    return std::vector<unsigned char>(p, p + f.px.size() * 4);
}

// Each test starts with no failure armed and must leave nothing behind. A
// failure the test armed but never reached is disarmed, so it cannot strike
// the next test.
class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        quelmarSimDisarm();
        expectDriverLeftClean();
    }
    void TearDown() override {
        quelmarSimDisarm();
        expectDriverLeftClean();
    }
};

// A context that is destroyed however the test ends.
struct ContextHolder {
    CudaNRContext* ctx = nullptr;
    ContextHolder() { EXPECT_TRUE(CudaNRCreate(&ctx, 0)); }
    ~ContextHolder() { CudaNRDestroy(ctx); }
    ContextHolder(const ContextHolder&) = delete;
    ContextHolder& operator=(const ContextHolder&) = delete;
};

// A healthy device plus one context with buffers for width x height frames.
// Subclasses that extend SetUp return early on HasFatalFailure().
class ContextTest : public DeviceTest {
protected:
    ContextTest(int width, int height) : width_(width), height_(height) {}
    void SetUp() override {
        DeviceTest::SetUp();
        holder_ = std::make_unique<ContextHolder>();
        ctx = holder_->ctx;
        ASSERT_TRUE(CudaNREnsureBuffers(ctx, width_, height_));
    }
    void TearDown() override {
        holder_.reset();
        DeviceTest::TearDown();
    }

    CudaNRContext* ctx = nullptr;

private:
    int width_;
    int height_;
    std::unique_ptr<ContextHolder> holder_;
};

}  // namespace gputest
