// Shared helpers for the GPU tests: textured frames, device read-back and a
// fixture that starts each test on a healthy simulated device.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "gpu/context_testing.h"
#include "gpu/cudanr.h"
#include "gpu/device.h"
#include "gpu/device_cpu_testing.h"

namespace gputest {

struct Frame {
    int width = 0;
    int height = 0;
    std::vector<uchar4> pixels;  // packed rows
    int pitchBytes() const { return width * 4; }
    uchar4* data() { return pixels.data(); }
    const uchar4* data() const { return pixels.data(); }
};

inline bool samePixels(const Frame& a, const Frame& b) {
    if (a.width != b.width || a.height != b.height) return false;
    for (std::size_t i = 0; i < a.pixels.size(); ++i) {
        const uchar4 &p = a.pixels[i], &q = b.pixels[i];
        if (p.x != q.x || p.y != q.y || p.z != q.z || p.w != q.w) return false;
    }
    return true;
}

inline Frame filled(int width, int height, uchar4 value) {
    return Frame{width, height, std::vector<uchar4>(static_cast<std::size_t>(width) * height, value)};
}

// Smooth gradients plus noise, shifted by (dx, dy): gives motion search and
// the flatness weights something real to work on.
inline Frame textured(int width, int height, unsigned seed, int dx = 0, int dy = 0) {
    Frame f = filled(width, height, uchar4{0, 0, 0, 255});
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> noise(-6, 6);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int u = x + dx, v = y + dy;
            int base = (u * 3 + v * 2 + ((u / 8 + v / 8) % 2) * 40) % 200 + 20;
            auto channel = [&](int offset) {
                return static_cast<unsigned char>(std::clamp(base + offset + noise(rng), 0, 255));
            };
            f.pixels[static_cast<std::size_t>(y) * width + x] =
                uchar4{channel(0), channel(10), channel(-10), 255};
        }
    }
    return f;
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
    const auto* p = reinterpret_cast<const unsigned char*>(f.pixels.data());
    return std::vector<unsigned char>(p, p + f.pixels.size() * 4);
}

inline CudaNRParams defaultParams(float sigma = 5.0f) {
    return CudaNRParams{1.8f, 0.78f, 1.25f, 0.08f, 0.2f, sigma};
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
