// Shared helpers for the GPU tests: device read-back and a fixture that
// starts each test on a healthy simulated device. Host frames are packed.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "gpu/context_testing.h"
#include "gpu/cudanr.h"
#include "gpu/device.h"
#include "gpu/device_cpu_testing.h"
#include "tests/support/frames.h"
#include "tests/support/params.h"

namespace gputest {

using qtest::defaultParams;
using qtest::filled;
using qtest::Frame;
using qtest::samePixels;
using qtest::textured;

// The nth call of one device operation, made to fail.
struct FailurePoint {
    dev::cputest::Op op;
    int nth;
};

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

// Each test starts on one healthy simulated device and must leave nothing behind.
class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        dev::cputest::reset();
        allocationsBefore_ = dev::cputest::liveAllocations();
        streamsBefore_ = dev::cputest::liveStreams();
    }
    void TearDown() override {
        dev::cputest::reset();
        EXPECT_EQ(dev::cputest::liveAllocations(), allocationsBefore_) << "device memory leaked";
        EXPECT_EQ(dev::cputest::liveStreams(), streamsBefore_) << "stream leaked";
    }

private:
    std::size_t allocationsBefore_ = 0;
    std::size_t streamsBefore_ = 0;
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
