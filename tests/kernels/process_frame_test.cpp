// kProcess through the CPU executor on whole frames.
#include <gtest/gtest.h>

#include <xmmintrin.h>

#include <cstdlib>
#include <vector>

#include "frames.h"
#include "kernels/process.h"

namespace {

using namespace ktest;

TEST(ProcessFrame, FlatFrameStaysFlatAndOpaque) {
    Frame f = makeFrame(37, 29, bgr(60, 80, 120, 0));
    const ProcessInputs in(f);
    for (float sigma : {0.0f, 3.0f, 20.0f}) {
        const Frame out = runProcess(in, defaultParams(sigma));
        for (int y = 0; y < f.height; ++y)
            for (int x = 0; x < f.width; ++x) {
                ASSERT_TRUE(sameBgr(out.at(x, y), f.at(x, y))) << x << "," << y << " sigma " << sigma;
                ASSERT_EQ(out.at(x, y).w, 255);
            }
    }
}

// A host thread may round toward zero and flush subnormals: launches made from
// it compute what they compute in the GPU's mode, and leave the thread's own.
TEST(ProcessFrame, TheCallersFloatingPointModeChangesNothing) {
    const Frame f = makeNoise(301, 77, 8);
    const ProcessInputs in(f);
    const cpuexec::Dim3 grid = qnr::profileGrid(f.width, f.height);
    const std::size_t blocks = static_cast<std::size_t>(grid.x) * grid.y;
    const auto launch = [&](std::vector<double>& slots) {
        slots.assign(2 * blocks, 0.0);
        cpuexec::runProfileAuto(grid, profileArgs(f, qnr::kProfileStep, slots.data(), slots.data() + blocks));
        return runProcess(in, defaultParams(12.0f));
    };
    std::vector<double> slots, hostileSlots;
    const Frame expected = launch(slots);
    const unsigned callers = _mm_getcsr();
    const unsigned hostile = (callers & ~0x6000u) | 0x6000u | 0x8040u;  // toward zero, FTZ, DAZ
    _mm_setcsr(hostile);
    const Frame got = launch(hostileSlots);
    const unsigned after = _mm_getcsr();
    _mm_setcsr(callers);
    EXPECT_EQ(after, hostile);
    EXPECT_EQ(got.px.size(), expected.px.size());
    for (std::size_t i = 0; i < got.px.size(); ++i) ASSERT_TRUE(sameBgr(got.px[i], expected.px[i])) << i;
    EXPECT_EQ(hostileSlots, slots);
}

TEST(ProcessFrame, WritesNothingOutsideTheFrame) {
    const ProcessInputs in(makeNoise(21, 18, 4));
    const Frame out = runProcess(in, defaultParams(3.0f));
    for (int y = 0; y < out.height; ++y)
        for (int x = out.width; x < out.stride; ++x) ASSERT_TRUE(sameBgr(out.at(x, y), bgr(1, 2, 3)));
}

TEST(ProcessFrame, StrongEdgeStaysSharp) {
    Frame f = makeFrame(48, 32, grey(30));
    for (int y = 0; y < f.height; ++y)
        for (int x = 24; x < f.width; ++x) f.at(x, y) = grey(220);
    ProcessInputs in(f);
    in.prevOut = makeFrame(48, 32, grey(0));  // first call: black feedback
    const Frame out = runProcess(in, CudaNRParams{4.0f, 0.78f, 2.0f, 1.0f, 1.0f, 3.0f});
    for (int y = 0; y < f.height; ++y) {
        for (int x = 20; x < 28; ++x) {
            const int want = x < 24 ? 30 : 220;
            ASSERT_LE(std::abs(out.at(x, y).y - want), 1) << x << "," << y;
        }
    }
}

TEST(ProcessFrame, ZeroStrengthsStillSmoothLowNoise) {
    const Frame f = makeNoise(24, 24, 9, 100, 104);
    ProcessInputs in(f);
    in.prevOut = makeFrame(24, 24, grey(0));
    const Frame out = runProcess(in, CudaNRParams{0, 0, 0, 0, 0, 0});
    int changed = 0;
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) changed += !sameBgr(out.at(x, y), f.at(x, y));
    EXPECT_GT(changed, f.width * f.height / 4);
}

TEST(ProcessFrame, DarkFlatPixelsArePulledTowardBlackFeedback) {
    const Frame f = makeFrame(16, 16, grey(8));
    ProcessInputs in(f);
    in.prevOut = makeFrame(16, 16, grey(0));
    const Frame out = runProcess(in, CudaNRParams{1.8f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f});
    EXPECT_TRUE(sameBgr(out.at(4, 4), grey(4)));  // 8 * (1 - 0.45) = 4.4
}

// Every stage active, vectors non-zero, padded rows: the output must not depend
// on the grid's z layers nor on the number of worker threads.
TEST(ProcessFrame, OutputIndependentOfGridDepthAndWorkers) {
    ProcessInputs in(makeNoise(53, 37, 11, 60, 140));
    in.prev = makeNoise(53, 37, 12, 60, 140);
    in.prev2 = makeNoise(53, 37, 13, 60, 140);
    in.prevOut = makeNoise(53, 37, 14, 60, 140);
    for (std::size_t i = 0; i < in.mv1.size(); ++i) {
        in.mv1[i] = int2{static_cast<int>(i % 9) - 4, static_cast<int>(i % 5) - 2};
        in.mv2[i] = int2{2 - static_cast<int>(i % 5), static_cast<int>(i % 7) - 3};
    }
    for (float sigma : {2.0f, 12.0f, 20.0f}) {
        const CudaNRParams p{2.0f, 0.9f, 1.5f, 0.5f, 0.4f, sigma};
        const Frame want = runProcess(in, p);
        cpuexec::Dim3 deep = qnr::processGrid(53, 37);
        deep.z = 3;
        const Frame got = runProcess(in, p, deep);
        ASSERT_EQ(got.px.size(), want.px.size());
        for (std::size_t k = 0; k < got.px.size(); ++k)
            ASSERT_TRUE(sameBgr(got.px[k], want.px[k]) && got.px[k].w == want.px[k].w) << "sigma " << sigma;
        cpuexec::setWorkerLimit(1);
        const Frame serial = runProcess(in, p);
        cpuexec::setWorkerLimit(0);
        for (std::size_t k = 0; k < serial.px.size(); ++k) ASSERT_TRUE(sameBgr(serial.px[k], want.px[k]));
    }
}

// The executor's optimised loops must compute exactly what the plain
// per-pixel code (compiled here without any of their options) computes.
TEST(ProcessFrame, ExecutorMatchesThePlainPerPixelCode) {
    ProcessInputs in(makeNoise(40, 35, 41, 20, 230));
    in.prev = makeNoise(40, 35, 42, 20, 230);
    in.prev2 = makeNoise(40, 35, 43, 20, 230);
    in.prevOut = makeNoise(40, 35, 44, 20, 230);
    for (float sigma : {1.0f, 11.0f, 30.0f}) {
        const CudaNRParams p{1.4f, 1.0f, 2.0f, 1.0f, 0.6f, sigma};
        const Frame got = runProcess(in, p);
        Frame want = got;
        const qnr::ProcessArgs a = processArgs(in, want.data(), p);
        for (int y = 0; y < 35; ++y)
            for (int x = 0; x < 40; ++x) qnr::processPixel(a, x, y);
        for (std::size_t k = 0; k < got.px.size(); ++k) ASSERT_TRUE(sameBgr(got.px[k], want.px[k])) << k;
    }
}

// Rows closer together than their width share pixels. On a GPU which thread
// writes a shared pixel last is open; the executor writes them in row order
// on one thread, whatever its worker count, so the result is the plain loop's.
TEST(ProcessFrame, OverlappingRowsAreWrittenInRowOrder) {
    constexpr int kWidth = 40, kHeight = 20, kPitch = 24;
    auto overlapping = [](std::uint32_t seed) {
        Frame f = makeNoise(kWidth, kHeight, seed, 30, 220);
        Frame g;
        g.width = kWidth;
        g.height = kHeight;
        g.stride = kPitch;
        g.px.assign(static_cast<std::size_t>(kPitch) * (kHeight - 1) + kWidth, bgr(0, 0, 0));
        for (std::size_t i = 0; i < g.px.size(); ++i) g.px[i] = f.px[i];
        return g;
    };
    ProcessInputs in(overlapping(1));
    in.prev = overlapping(2);
    in.prev2 = overlapping(3);
    in.prevOut = overlapping(4);
    const CudaNRParams p = defaultParams(12.0f);
    Frame want = in.cur;
    const qnr::ProcessArgs a = processArgs(in, want.data(), p);
    for (uchar4& px : want.px) px = bgr(1, 2, 3, 4);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) qnr::processPixel(a, x, y);
    cpuexec::setWorkerLimit(3);
    const Frame got = runProcess(in, p);
    cpuexec::setWorkerLimit(0);
    for (std::size_t k = 0; k < got.px.size(); ++k) ASSERT_TRUE(sameBgr(got.px[k], want.px[k])) << k;
}

TEST(ExecutorLaunchConfig, AcceptsWhatAGpuAccepts) {
    using cpuexec::Dim3;
    EXPECT_TRUE(cpuexec::launchConfigValid({120, 68, 1}, {16, 16, 1}, 0));
    EXPECT_TRUE(cpuexec::launchConfigValid({1, 1, 1}, {1024, 1, 1}, 48 * 1024));
    EXPECT_TRUE(cpuexec::launchConfigValid({0x7fffffffu, 65535, 65535}, {8, 8, 1}, 256));
    EXPECT_FALSE(cpuexec::launchConfigValid({0, 1, 1}, {16, 16, 1}, 0));
    EXPECT_FALSE(cpuexec::launchConfigValid({1, 1, 1}, {16, 0, 1}, 0));
    EXPECT_FALSE(cpuexec::launchConfigValid({1, 1, 1}, {32, 33, 1}, 0));
    EXPECT_FALSE(cpuexec::launchConfigValid({1, 1, 1}, {1, 1, 65}, 0));
    EXPECT_FALSE(cpuexec::launchConfigValid({1, 65536, 1}, {16, 16, 1}, 0));
    EXPECT_FALSE(cpuexec::launchConfigValid({1, 1, 1}, {8, 8, 1}, 48 * 1024 + 1));
    EXPECT_TRUE(cpuexec::launchConfigValid({1, 1, 1}, {16, 16, 1}, 0, qnr::kProfileStaticSharedBytes));
    EXPECT_FALSE(cpuexec::launchConfigValid({1, 1, 1}, {16, 16, 1}, 48 * 1024 - 100,
                                            qnr::kProfileStaticSharedBytes));
}

TEST(ExecutorLaunchConfig, RefusedGridsRunNothing) {
    const ProcessInputs in(makeNoise(8, 8, 1));
    Frame out = in.cur;
    for (uchar4& p : out.px) p = bgr(1, 2, 3, 4);
    cpuexec::runProcess({1, 65536, 1}, processArgs(in, out.data(), defaultParams(3.0f)));
    for (const uchar4& p : out.px) ASSERT_TRUE(sameBgr(p, bgr(1, 2, 3)));
    int2 mv{99, 99};
    cpuexec::runEstimateMV16({0, 1, 1}, motionArgs(in.cur, in.prev, &mv, 1, 1, 4, 2));
    EXPECT_EQ(mv.x, 99);
    double sum = -1.0, weight = -1.0;
    cpuexec::runProfileAuto({1, 1, 0}, profileArgs(in.cur, 4, &sum, &weight));
    EXPECT_EQ(sum, -1.0);
    EXPECT_EQ(weight, -1.0);
}

// A GPU refuses what no GPU takes and more threads than a kernel's launch
// bound; it runs other blocks and too little shared memory, outside what the
// kernel is written for.
TEST(ExecutorLaunchConfig, EachKernelFitsOnlyItsOwnBlock) {
    using cpuexec::LaunchFit;
    const cpuexec::Dim3 grid{4, 3, 1};
    const auto fit = [&](const qnr::KernelShape& k, cpuexec::Dim3 block, std::size_t dynamic) {
        return cpuexec::launchFit(k, grid, block, dynamic, k.staticSharedBytes);
    };
    EXPECT_EQ(fit(qnr::kMotionShape, {8, 8, 1}, 256), LaunchFit::Runs);
    EXPECT_EQ(fit(qnr::kMotionShape, {8, 8, 1}, 4096), LaunchFit::Runs);
    EXPECT_EQ(fit(qnr::kMotionShape, {8, 8, 1}, 255), LaunchFit::Misfit);
    EXPECT_EQ(fit(qnr::kMotionShape, {16, 4, 1}, 256), LaunchFit::Misfit);
    EXPECT_EQ(fit(qnr::kMotionShape, {8, 4, 2}, 256), LaunchFit::Misfit);
    EXPECT_EQ(fit(qnr::kMotionShape, {8, 9, 1}, 512), LaunchFit::Refused);
    EXPECT_EQ(fit(qnr::kProcessShape, {16, 16, 1}, 0), LaunchFit::Runs);
    EXPECT_EQ(fit(qnr::kProcessShape, {8, 8, 1}, 0), LaunchFit::Misfit);
    EXPECT_EQ(fit(qnr::kProcessShape, {32, 16, 1}, 0), LaunchFit::Refused);
    EXPECT_EQ(fit(qnr::kProfileShape, {16, 16, 1}, 0), LaunchFit::Runs);
    EXPECT_EQ(fit(qnr::kProfileShape, {16, 16, 1}, 48 * 1024 - 4095), LaunchFit::Refused)
        << "beside its 4 KiB of static shared memory";
    EXPECT_EQ(cpuexec::launchFit(qnr::kProfileShape, {1, 65536, 1}, {16, 16, 1}, 0, 0), LaunchFit::Refused);
}

// The grids cover every pixel, motion block and sample point of a frame, and
// no further block.
TEST(LaunchGeometry, GridsCoverTheFrameAndNoMore) {
    const auto covers = [](unsigned blocks, unsigned perBlock, long long items) {
        return static_cast<long long>(blocks) * perBlock >= items &&
               static_cast<long long>(blocks - 1) * perBlock < items;
    };
    for (int size : {1, 15, 16, 17, 63, 64, 65, 1080, 1918, 1 << 30, 0x7fffffff}) {
        const long long samples = (static_cast<long long>(size) + qnr::kProfileStep - 1) / qnr::kProfileStep;
        EXPECT_TRUE(covers(qnr::motionGrid(size, size).x, qnr::kMotionBlock, size)) << size;
        EXPECT_EQ(qnr::motionGrid(size, 1).x, static_cast<unsigned>(qnr::motionBlocksCovering(size))) << size;
        EXPECT_TRUE(covers(qnr::processGrid(size, size).y, qnr::kProcessThreadsY, size)) << size;
        EXPECT_TRUE(covers(qnr::profileGrid(size, size).x, qnr::kProfileThreadsX, samples)) << size;
        EXPECT_TRUE(covers(qnr::profileGrid(1, size).y, qnr::kProfileThreadsY, samples)) << size;
    }
    EXPECT_EQ(qnr::profileGrid(65, 64).x, 2u) << "17 sample columns";
    EXPECT_EQ(qnr::motionGrid(0, -5).x, 0u);
    EXPECT_EQ(qnr::motionGrid(0, -5).y, 0u);
}

}  // namespace
