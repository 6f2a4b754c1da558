// Noise profiling and its schedule, through the CUDA backend on the simulated
// driver.
#include <cfenv>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "gpu/profile_schedule.h"
#include "gpu_test_support.h"
#include "kernels/cpu_executor.h"

namespace {

using gputest::ContextHolder;
using gputest::FailurePoint;
using gputest::Frame;

constexpr int kW = 37;  // not a multiple of the sampling step
constexpr int kH = 22;

// The kernel's block totals, computed by the executor on a packed host frame,
// added in block order.
struct Totals {
    double sum = 0.0, weight = 0.0;
};

Totals blockTotals(const Frame& f) {
    const cpuexec::Dim3 grid = qnr::profileGrid(f.width, f.height);
    const std::size_t blocks = static_cast<std::size_t>(grid.x) * grid.y;
    std::vector<double> sums(blocks), weights(blocks);
    cpuexec::runProfileAuto(grid, {f.data(), sums.data(), weights.data(), f.width, f.height, f.width,
                                   qnr::kProfileStep});
    Totals t;
    for (std::size_t i = 0; i < blocks; ++i) {
        t.sum += sums[i];
        t.weight += weights[i];
    }
    return t;
}

// The mapping from the totals to the estimate, in the thread's rounding mode.
float estimateFrom(Totals t) {
    double ratio = t.weight > 1e-12 ? t.sum / t.weight : 0.0;
    return static_cast<float>(std::min(std::max(ratio * 1.2533141373155001, 0.8), 40.0));
}

float expectedEstimate(const Frame& f) { return estimateFrom(blockTotals(f)); }

// A bright dot on every sample point of a black frame: a huge residual on
// perfectly flat neighbourhoods.
Frame dots(int width, int height) {
    Frame f = gputest::filled(width, height, uchar4{0, 0, 0, 255});
    for (int y = 0; y < height; y += 4) {
        for (int x = 0; x < width; x += 4) {
            f.at(x, y) = uchar4{255, 255, 255, 255};
        }
    }
    return f;
}

class Profiling : public gputest::ContextTest {
protected:
    Profiling() : ContextTest(kW, kH) {}
    void SetUp() override {
        ContextTest::SetUp();
        if (HasFatalFailure()) return;
        gpu = ctx;
        useStage(gputest::textured(kW, kH, 7));
        profilesBefore_ = quelmarSimCalls("cuLaunchKernel:kProfileAuto");
    }
    void useStage(Frame f) { stage = std::move(f); }
    void applySchedule() {
        const CudaNRProfileState state{std::atomic_ref<float>(fd.sigmaY), std::atomic_ref<int32_t>(fd.autoProfile),
                                       fd.frameCounter, fd.lastProfiledFrame};
        CudaNRApplyProfileSchedule(gpu, state, stage.data(), stage.pitchBytes(), kW, kH);
    }
    // Profiles launched in this test.
    int profiles() const { return quelmarSimCalls("cuLaunchKernel:kProfileAuto") - profilesBefore_; }

    static constexpr int32_t kNeverProfiled = -99999;
    struct {
        float sigmaY = 0.0f;
        int32_t autoProfile = 1, frameCounter = 0, lastProfiledFrame = kNeverProfiled;
    } fd;
    CudaNRContext* gpu = nullptr;
    Frame stage;

private:
    int profilesBefore_ = 0;
};

TEST_F(Profiling, FirstFrameThenEvery48th) {
    std::vector<int> profiledAt;
    for (int frame = 0; frame < 100; ++frame) {
        int before = profiles();
        applySchedule();
        if (profiles() != before) profiledAt.push_back(fd.frameCounter);
    }
    EXPECT_EQ(profiledAt, (std::vector<int>{1, 49, 97}));
    EXPECT_EQ(fd.frameCounter, 100);
    EXPECT_EQ(fd.lastProfiledFrame, 97);
}

TEST_F(Profiling, EstimateMatchesTheKernelSumsAndMapsOntoSigma) {
    float estimate = -1.0f;
    ASSERT_TRUE(CudaNRProfileNoise(ctx, stage.data(), stage.pitchBytes(), kW, kH, &estimate));
    EXPECT_EQ(estimate, expectedEstimate(stage));
    EXPECT_GT(estimate, 0.8f) << "a textured frame has measurable noise";

    applySchedule();
    float x = estimate * 1.35f;
    x = x + 0.15f;
    EXPECT_EQ(fd.sigmaY, std::min(std::max(x, 0.8f), 40.0f));
    EXPECT_EQ(fd.lastProfiledFrame, 1);
}

// The estimate is the block totals added in block order in round-to-nearest,
// even from a host thread that rounds toward zero: some of these frames'
// estimates would change in that mode.
TEST_F(Profiling, EstimateIsTheBlockOrderSumInRoundToNearestWhateverTheThread) {
    constexpr int kWide = 301, kHigh = 157;  // 5 x 3 blocks
    int sensitive = 0;
    for (std::uint32_t seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE(seed);
        const Frame f = gputest::textured(kWide, kHigh, seed);
        const Totals t = blockTotals(f);
        const float want = estimateFrom(t);
        const int callers = std::fegetround();
        std::fesetround(FE_TOWARDZERO);
        // Read and written through volatiles, so that it is computed in this mode.
        const volatile double sum = t.sum, weight = t.weight;
        const volatile float truncated = estimateFrom(Totals{sum, weight});
        float estimate = -1.0f;
        const bool ok = CudaNRProfileNoise(ctx, f.data(), f.pitchBytes(), kWide, kHigh, &estimate);
        const int after = std::fegetround();
        std::fesetround(callers);
        ASSERT_TRUE(ok);
        EXPECT_EQ(after, FE_TOWARDZERO) << "the thread's own mode comes back";
        EXPECT_EQ(estimate, want);
        sensitive += truncated != want;
    }
    EXPECT_GT(sensitive, 0) << "no frame whose estimate the rounding mode changes";
}

TEST_F(Profiling, FlatFrameGivesTheFloorAndDotsHitTheCeiling) {
    useStage(gputest::filled(kW, kH, uchar4{90, 120, 150, 255}));
    applySchedule();
    float expectedFloor = 0.8f * 1.35f;
    expectedFloor = expectedFloor + 0.15f;
    EXPECT_EQ(fd.sigmaY, expectedFloor);
    EXPECT_NEAR(fd.sigmaY, 1.23f, 1e-6f);

    useStage(dots(kW, kH));
    float estimate = 0.0f;
    ASSERT_TRUE(CudaNRProfileNoise(ctx, stage.data(), stage.pitchBytes(), kW, kH, &estimate));
    EXPECT_EQ(estimate, 40.0f);
    fd.sigmaY = 0.0f;
    applySchedule();
    EXPECT_EQ(fd.sigmaY, 40.0f);

    // A bright column just right of each sample point (the last column stands
    // in for the one beyond it): no neighbourhood is flat, nothing is
    // measured, and the estimate is the floor, not a guess.
    Frame stripes = gputest::filled(kW, kH, uchar4{0, 0, 0, 255});
    for (int y = 0; y < kH; ++y)
        for (int x = 1; x < kW; ++x)
            if (x % 4 == 1 || x == kW - 1) stripes.at(x, y) = uchar4{255, 255, 255, 255};
    ASSERT_TRUE(CudaNRProfileNoise(ctx, stripes.data(), stripes.pitchBytes(), kW, kH, &estimate));
    EXPECT_EQ(estimate, 0.8f);
}

TEST_F(Profiling, FailureKeepsAUsableSigmaAndRetriesNextFrame) {
    quelmarSimFailCall("cuLaunchKernel:kProfileAuto", 1);
    applySchedule();
    EXPECT_EQ(fd.sigmaY, 6.0f);
    EXPECT_EQ(fd.frameCounter, 1);
    EXPECT_EQ(fd.lastProfiledFrame, kNeverProfiled);

    applySchedule();
    EXPECT_EQ(fd.frameCounter, 2);
    EXPECT_EQ(fd.lastProfiledFrame, 2);
    EXPECT_NE(fd.sigmaY, 6.0f);

    // A known sigma survives a failed re-profile untouched.
    fd.sigmaY = 3.5f;
    fd.lastProfiledFrame = fd.frameCounter - 47;
    quelmarSimFailCall("cuMemcpy2DAsync_v2", 1);
    applySchedule();
    EXPECT_EQ(fd.sigmaY, 3.5f);

    gpu = nullptr;  // no context at all fails the same way
    fd.sigmaY = 0.0f;
    applySchedule();
    EXPECT_EQ(fd.sigmaY, 6.0f);
}

TEST_F(Profiling, OffReplacesOnlyAMissingSigmaAndLeavesTheCounter) {
    fd.autoProfile = 0;
    fd.frameCounter = 5;
    applySchedule();
    EXPECT_EQ(fd.sigmaY, 4.0f);
    EXPECT_EQ(fd.frameCounter, 5);
    EXPECT_EQ(profiles(), 0);
    fd.sigmaY = 2.5f;
    applySchedule();
    EXPECT_EQ(fd.sigmaY, 2.5f);
}

TEST_F(Profiling, CountersWrapAroundInsteadOfOverflowing) {
    fd.sigmaY = 5.0f;
    fd.frameCounter = INT32_MAX;
    fd.lastProfiledFrame = INT32_MAX - 10;
    applySchedule();
    EXPECT_EQ(fd.frameCounter, INT32_MIN);
    EXPECT_EQ(profiles(), 0) << "11 frames since the last profile";

    fd.lastProfiledFrame = INT32_MAX - 46;  // 48 frames before the next counter value
    applySchedule();
    EXPECT_EQ(profiles(), 1);
    EXPECT_EQ(fd.lastProfiledFrame, INT32_MIN + 1);
}

// Each point names whether the profile was launched and how many totals were
// read back by the time it fails, which pins it to its step. A context pop
// refused after the launch is a launch error the backend reports afterwards.
TEST_F(Profiling, EveryFailurePointReturnsFalseWithNoHostWriteQueued) {
    const struct {
        FailurePoint at;
        int launched, readBacks;
    } steps[] = {
        {{"cuMemcpy2DAsync_v2", 1}, 0, 0},              // upload
        {{"cuLaunchKernel:kProfileAuto", 1}, 1, 0},
        {{"cuCtxPopCurrent_v2", 2}, 1, 0},              // after the launch
        {{"cuMemcpyDtoHAsync_v2", 1}, 1, 1},            // the sums
        {{"cuMemcpyDtoHAsync_v2", 2}, 1, 2},            // the weights
        {{"cuEventRecord", 1}, 1, 2},                   // the wait
        {{"cuEventSynchronize", 1}, 1, 2},
        {{"cuLaunchKernel:kProfileAuto", 1, true}, 1, 2},  // a fault in the kernel, seen at the wait
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(gputest::describe(step.at));
        const int launched = profiles();
        const int readBacks = quelmarSimCalls("cuMemcpyDtoHAsync_v2");
        float estimate = -1.0f;
        gputest::arm(step.at);
        EXPECT_FALSE(CudaNRProfileNoise(ctx, stage.data(), stage.pitchBytes(), kW, kH, &estimate));
        EXPECT_EQ(estimate, -1.0f);
        EXPECT_EQ(profiles() - launched, step.launched);
        EXPECT_EQ(quelmarSimCalls("cuMemcpyDtoHAsync_v2") - readBacks, step.readBacks);
        EXPECT_EQ(quelmarSimQueuedWork(), 0);
        EXPECT_EQ(dev::getLastError(), dev::kSuccess) << "no stale launch error left behind";
    }
    float recovered = -1.0f;
    ASSERT_TRUE(CudaNRProfileNoise(ctx, stage.data(), stage.pitchBytes(), kW, kH, &recovered)) << "no failure sticks";
    EXPECT_EQ(recovered, expectedEstimate(stage));
    float estimate = -1.0f;
    EXPECT_FALSE(CudaNRProfileNoise(ctx, nullptr, stage.pitchBytes(), kW, kH, &estimate));
    EXPECT_FALSE(CudaNRProfileNoise(ctx, stage.data(), stage.pitchBytes(), kW, kH, nullptr));
    EXPECT_FALSE(CudaNRProfileNoise(nullptr, stage.data(), stage.pitchBytes(), kW, kH, &estimate));
    EXPECT_FALSE(CudaNRProfileNoise(ctx, stage.data(), 4, kW, kH, &estimate));
    EXPECT_FALSE(CudaNRProfileNoise(ctx, stage.data(), stage.pitchBytes(), 0, kH, &estimate));
    EXPECT_EQ(estimate, -1.0f);
}

// A profile whose kernel the backend cannot launch has its upload queued
// already: it fails only once that has run, and with no estimate.
TEST_F(Profiling, AKernelThatCannotLoadFailsWithNothingQueued) {
    gputest::refuseKernelImages();
    for (int attempt = 0; attempt < 2; ++attempt) {  // the load's own failure, then the backend's refusal
        SCOPED_TRACE(attempt);
        const int uploads = quelmarSimCalls("cuMemcpy2DAsync_v2");
        float estimate = -1.0f;
        EXPECT_FALSE(CudaNRProfileNoise(ctx, stage.data(), stage.pitchBytes(), kW, kH, &estimate));
        EXPECT_EQ(estimate, -1.0f);
        EXPECT_EQ(quelmarSimCalls("cuMemcpy2DAsync_v2") - uploads, 1);
        EXPECT_EQ(quelmarSimQueuedWork(), 0);
        EXPECT_EQ(profiles(), 0);
    }
    EXPECT_EQ(quelmarSimLiveModules(), 0);
}

// Profiling a frame mid-ring must not replace either previous input frame:
// the pipeline's output is the same as if no profile had run.
TEST_F(Profiling, DoesNotDisturbTheFrameHistory) {
    ContextHolder other;
    ASSERT_TRUE(CudaNREnsureBuffers(other.ctx, kW, kH));
    CudaNRParams params = gputest::defaultParams(5.0f);
    for (int n = 0; n < 6; ++n) {
        SCOPED_TRACE(n);
        Frame in = gputest::textured(kW, kH, 300 + n, n, 2 * n);
        Frame plain = gputest::filled(kW, kH, uchar4{});
        Frame profiled = gputest::filled(kW, kH, uchar4{});
        float estimate = 0.0f;
        ASSERT_TRUE(CudaNRProfileNoise(ctx, in.data(), in.pitchBytes(), kW, kH, &estimate));
        ASSERT_TRUE(CudaNRProcessFrame(ctx, in.data(), in.pitchBytes(), profiled.data(),
                                       profiled.pitchBytes(), kW, kH, &params));
        ASSERT_TRUE(CudaNRProcessFrame(other.ctx, in.data(), in.pitchBytes(), plain.data(),
                                       plain.pitchBytes(), kW, kH, &params));
        EXPECT_TRUE(gputest::samePixels(profiled, plain));
    }
}

}  // namespace
