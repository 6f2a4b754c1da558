// The CPU backend: packed host memory, work done as issued, launches on the
// executor. What it must get right is the geometry of its copies, the
// executor's results, sizes it cannot serve, and independence between threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "gpu/cuda_status.h"
#include "gpu/device.h"
#include "gpu/device_events.h"
#include "gpu/diagnosis.h"
#include "kernels/cpu_executor.h"
#include "tests/support/frames.h"
#include "tests/support/params.h"

namespace {

struct StreamHolder {
    dev::Stream s = nullptr;
    StreamHolder() { EXPECT_EQ(dev::streamCreateNonBlocking(&s), dev::kSuccess); }
    ~StreamHolder() { dev::streamDestroy(s); }
    StreamHolder(const StreamHolder&) = delete;
    StreamHolder& operator=(const StreamHolder&) = delete;
};

// Rows of `pitch` bytes, `pad` past the width; no two rows fewer than 256
// apart hold the same bytes, and those that far apart differ by their band.
std::vector<unsigned char> rows(std::size_t width, std::size_t pitch, std::size_t height, unsigned char pad) {
    std::vector<unsigned char> v(pitch * height, pad);
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x)
            v[y * pitch + x] = static_cast<unsigned char>(131 * y + 7 * x + 13 * (y >> 8));
    return v;
}

TEST(CpuBackend, PitchedMemoryIsPackedAndCopiesKeepEachSidesPitch) {
    StreamHolder stream;
    constexpr std::size_t kWidth = 12, kHeight = 5, kHostPitch = 20, kBackPitch = 16;
    void* a = nullptr;
    void* b = nullptr;
    std::size_t pitchA = 0, pitchB = 0;
    ASSERT_EQ(dev::mallocPitch(&a, &pitchA, kWidth, kHeight), dev::kSuccess);
    ASSERT_EQ(dev::mallocPitch(&b, &pitchB, kWidth, kHeight), dev::kSuccess);
    EXPECT_EQ(pitchA, kWidth);
    EXPECT_EQ(pitchB, kWidth);

    // Up with a wider host pitch, across the device, down with another one:
    // a pitch taken for the width (or one side's for the other's) misplaces rows.
    const std::vector<unsigned char> up = rows(kWidth, kHostPitch, kHeight, 0xEE);
    std::vector<unsigned char> down(kBackPitch * kHeight, 0xAA);
    ASSERT_EQ(dev::memcpy2DAsync(a, pitchA, up.data(), kHostPitch, kWidth, kHeight, dev::CopyKind::HostToDevice,
                                 stream.s),
              dev::kSuccess);
    ASSERT_EQ(dev::memcpy2DAsync(b, pitchB, a, pitchA, kWidth, kHeight, dev::CopyKind::DeviceToDevice, stream.s),
              dev::kSuccess);
    ASSERT_EQ(dev::memcpy2DAsync(down.data(), kBackPitch, b, pitchB, kWidth, kHeight, dev::CopyKind::DeviceToHost,
                                 stream.s),
              dev::kSuccess);
    ASSERT_EQ(dev::streamSynchronize(stream.s), dev::kSuccess);
    EXPECT_EQ(down, rows(kWidth, kBackPitch, kHeight, 0xAA)) << "rows moved, or bytes past the width written";

    // The linear forms in every direction, and both clears, on the same memory.
    std::vector<unsigned char> linear(pitchA * kHeight);
    ASSERT_EQ(dev::memsetAsync(a, 3, pitchA * kHeight, stream.s), dev::kSuccess);
    ASSERT_EQ(dev::memset2DAsync(a, pitchA, 9, 4, 2, stream.s), dev::kSuccess);
    ASSERT_EQ(dev::memcpyAsync(b, a, pitchA * kHeight, dev::CopyKind::DeviceToDevice, stream.s), dev::kSuccess);
    ASSERT_EQ(dev::memcpyAsync(linear.data(), b, linear.size(), dev::CopyKind::DeviceToHost, stream.s),
              dev::kSuccess);
    for (std::size_t i = 0; i < linear.size(); ++i) {
        const bool cleared = i % kWidth < 4 && i / kWidth < 2;
        ASSERT_EQ(linear[i], cleared ? 9 : 3) << "byte " << i;
    }
    ASSERT_EQ(dev::memcpyAsync(b, up.data(), kWidth, dev::CopyKind::HostToDevice, stream.s), dev::kSuccess);
    ASSERT_EQ(dev::memcpyAsync(linear.data(), b, kWidth, dev::CopyKind::DeviceToHost, stream.s), dev::kSuccess);
    EXPECT_TRUE(std::equal(up.begin(), up.begin() + kWidth, linear.begin()));
    EXPECT_EQ(dev::free(a), dev::kSuccess);
    EXPECT_EQ(dev::free(b), dev::kSuccess);

    // A 1080p frame, large enough to be copied in bands on several threads.
    constexpr std::size_t kFrameRow = 1920 * 4, kFrameRows = 1080, kPadded = kFrameRow + 256;
    const std::vector<unsigned char> frame = rows(kFrameRow, kPadded, kFrameRows, 0xEE);
    std::vector<unsigned char> back(kPadded * kFrameRows, 0xAA);
    ASSERT_EQ(dev::mallocPitch(&a, &pitchA, kFrameRow, kFrameRows), dev::kSuccess);
    ASSERT_EQ(dev::memcpy2DAsync(a, pitchA, frame.data(), kPadded, kFrameRow, kFrameRows,
                                 dev::CopyKind::HostToDevice, stream.s),
              dev::kSuccess);
    ASSERT_EQ(dev::memcpy2DAsync(back.data(), kPadded, a, pitchA, kFrameRow, kFrameRows,
                                 dev::CopyKind::DeviceToHost, stream.s),
              dev::kSuccess);
    EXPECT_EQ(back, rows(kFrameRow, kPadded, kFrameRows, 0xAA));
    EXPECT_EQ(dev::free(a), dev::kSuccess);
}

TEST(CpuBackend, RefusesWhatCannotBeServedWithoutTouchingMemory) {
    StreamHolder stream;
    void* p = nullptr;
    std::size_t pitch = 0;
    // Sizes no allocation can have: beyond what one object may span, and a
    // pitch times height that wraps around to a small number.
    EXPECT_EQ(dev::malloc(&p, SIZE_MAX), cudrv::CUDA_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(dev::malloc(&p, SIZE_MAX / 2 + 1), cudrv::CUDA_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(dev::mallocPitch(&p, &pitch, std::size_t{1} << 33, std::size_t{1} << 31),
              cudrv::CUDA_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(dev::mallocPitch(&p, &pitch, std::size_t{1} << 32, std::size_t{1} << 31),
              cudrv::CUDA_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(pitch, 0u);
    EXPECT_NE(dev::malloc(&p, 0), dev::kSuccess);
    EXPECT_NE(dev::mallocPitch(&p, &pitch, 0, 4), dev::kSuccess);
    EXPECT_NE(dev::malloc(nullptr, 8), dev::kSuccess);
    EXPECT_NE(dev::mallocPitch(&p, nullptr, 8, 4), dev::kSuccess);

    // A pitch shorter than the row, a null end, rows spanning more than an
    // object can: refused before a byte moves. Empty work is done at once.
    unsigned char src[64] = {};
    unsigned char dst[64];
    std::memset(dst, 0x5A, sizeof dst);
    const auto d2h = dev::CopyKind::DeviceToHost;
    EXPECT_NE(dev::memcpy2DAsync(dst, 8, src, 16, 16, 2, d2h, stream.s), dev::kSuccess) << "destination pitch";
    EXPECT_NE(dev::memcpy2DAsync(dst, 16, src, 8, 16, 2, d2h, stream.s), dev::kSuccess) << "source pitch";
    EXPECT_NE(dev::memcpy2DAsync(dst, 16, nullptr, 16, 16, 2, d2h, stream.s), dev::kSuccess);
    EXPECT_NE(dev::memcpy2DAsync(nullptr, 16, src, 16, 16, 2, d2h, stream.s), dev::kSuccess);
    EXPECT_NE(dev::memcpy2DAsync(dst, SIZE_MAX / 2, src, 16, 16, 3, d2h, stream.s), dev::kSuccess)
        << "the third row would lie past the address space";
    EXPECT_NE(dev::memcpyAsync(dst, nullptr, 8, d2h, stream.s), dev::kSuccess);
    EXPECT_NE(dev::memcpyAsync(dst, src, SIZE_MAX, d2h, stream.s), dev::kSuccess);
    EXPECT_NE(dev::memset2DAsync(dst, 4, 0, 8, 2, stream.s), dev::kSuccess);
    EXPECT_NE(dev::memset2DAsync(nullptr, 8, 0, 8, 2, stream.s), dev::kSuccess);
    EXPECT_NE(dev::memsetAsync(nullptr, 0, 8, stream.s), dev::kSuccess);
    EXPECT_EQ(dev::memcpyAsync(dst, nullptr, 0, d2h, stream.s), dev::kSuccess);
    EXPECT_EQ(dev::memset2DAsync(nullptr, 0, 0, 0, 0, stream.s), dev::kSuccess);
    for (unsigned char byte : dst) ASSERT_EQ(byte, 0x5A);

    int count = 0;
    EXPECT_EQ(dev::getDeviceCount(&count), dev::kSuccess);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(dev::setDevice(0), dev::kSuccess);
    EXPECT_NE(dev::setDevice(1), dev::kSuccess);
    EXPECT_NE(dev::setDevice(-1), dev::kSuccess);
    EXPECT_EQ(dev::free(nullptr), dev::kSuccess);
}

// The backend's launches against the executor run directly on copies of the
// same frames: arguments or grids passed on wrongly, or a launch dropped,
// change the bytes.
class CpuBackendLaunch : public ::testing::Test {
protected:
    static constexpr int kWidth = 72, kHeight = 40;  // partial motion blocks on both axes
    static constexpr std::size_t kRowBytes = std::size_t{kWidth} * 4;

    void TearDown() override {
        for (void* p : allocations_) EXPECT_EQ(dev::free(p), dev::kSuccess);
    }

    // Filled with a pattern that no kernel writes, so that a launch that ran
    // nothing shows.
    void* deviceBytes(std::size_t bytes) {
        void* p = nullptr;
        EXPECT_EQ(dev::malloc(&p, bytes), dev::kSuccess);
        allocations_.push_back(p);
        EXPECT_EQ(dev::memsetAsync(p, 0xFF, bytes, stream_.s), dev::kSuccess);
        return p;
    }

    uchar4* deviceFrame(const qtest::Frame& f) {
        void* p = nullptr;
        std::size_t pitch = 0;
        EXPECT_EQ(dev::mallocPitch(&p, &pitch, kRowBytes, kHeight), dev::kSuccess);
        allocations_.push_back(p);
        EXPECT_EQ(dev::memcpy2DAsync(p, pitch, f.data(), f.pitchBytes(), kRowBytes, kHeight,
                                     dev::CopyKind::HostToDevice, stream_.s),
                  dev::kSuccess);
        return static_cast<uchar4*>(p);
    }

    template <class T>
    std::vector<T> read(const void* p, std::size_t count) {
        std::vector<T> v(count);
        EXPECT_EQ(dev::memcpyAsync(v.data(), p, count * sizeof(T), dev::CopyKind::DeviceToHost, stream_.s),
                  dev::kSuccess);
        EXPECT_EQ(dev::streamSynchronize(stream_.s), dev::kSuccess);
        return v;
    }

    StreamHolder stream_;

private:
    std::vector<void*> allocations_;
};

bool sameBytes(const void* a, const void* b, std::size_t bytes) { return std::memcmp(a, b, bytes) == 0; }

TEST_F(CpuBackendLaunch, EachKernelGivesTheExecutorsResult) {
    const qtest::Frame cur = qtest::textured(kWidth, kHeight, 1, 2, 1);
    const qtest::Frame prev = qtest::textured(kWidth, kHeight, 2);
    const qtest::Frame prev2 = qtest::textured(kWidth, kHeight, 3, -2, 0);
    const int blocksX = qnr::motionBlocksCovering(kWidth), blocksY = qnr::motionBlocksCovering(kHeight);
    const std::size_t vectors = static_cast<std::size_t>(blocksX) * blocksY;
    const qnr::Dim3 motionGrid = qnr::motionGrid(kWidth, kHeight);

    uchar4 *dCur = deviceFrame(cur), *dPrev = deviceFrame(prev), *dPrev2 = deviceFrame(prev2);
    auto* dMv = static_cast<int2*>(deviceBytes(vectors * sizeof(int2)));
    dev::launchEstimateMV16(motionGrid, qnr::kMotionThreadBlock, qnr::kMotionSharedBytes, stream_.s,
                            {dCur, dPrev, dMv, kWidth, kHeight, kWidth, blocksX, blocksY, qnr::kMotionRadius,
                             qnr::kMotionStep});
    std::vector<int2> mv(vectors);
    cpuexec::runEstimateMV16(motionGrid, {cur.data(), prev.data(), mv.data(), kWidth, kHeight, kWidth, blocksX,
                                          blocksY, qnr::kMotionRadius, qnr::kMotionStep});
    EXPECT_TRUE(sameBytes(read<int2>(dMv, vectors).data(), mv.data(), vectors * sizeof(int2)));

    const CudaNRParams params = qtest::defaultParams(12.0f);
    uchar4* dOut = deviceFrame(qtest::filled(kWidth, kHeight, qtest::grey(0)));
    dev::launchProcess(qnr::processGrid(kWidth, kHeight), qnr::kProcessThreadBlock, 0, stream_.s,
                       {dCur, dPrev, dPrev2, dPrev, dMv, dMv, dOut, blocksX, kWidth, kHeight, kWidth, params});
    qtest::Frame out = qtest::filled(kWidth, kHeight, qtest::grey(0));
    cpuexec::runProcess(qnr::processGrid(kWidth, kHeight), {cur.data(), prev.data(), prev2.data(), prev.data(),
                                                            mv.data(), mv.data(), out.data(), blocksX, kWidth,
                                                            kHeight, kWidth, params});
    const std::vector<uchar4> filtered = read<uchar4>(dOut, out.px.size());
    EXPECT_TRUE(sameBytes(filtered.data(), out.data(), kRowBytes * kHeight));
    EXPECT_FALSE(sameBytes(filtered.data(), cur.data(), kRowBytes * kHeight)) << "the frame was not filtered";

    const qnr::Dim3 profileGrid = qnr::profileGrid(kWidth, kHeight);
    const std::size_t slots = std::size_t{profileGrid.x} * profileGrid.y;
    auto* dSums = static_cast<double*>(deviceBytes(slots * sizeof(double)));
    auto* dWeights = static_cast<double*>(deviceBytes(slots * sizeof(double)));
    dev::launchProfileAuto(profileGrid, qnr::kProfileThreadBlock, 0, stream_.s,
                           {dCur, dSums, dWeights, kWidth, kHeight, kWidth, qnr::kProfileStep});
    std::vector<double> sums(slots), weights(slots);
    cpuexec::runProfileAuto(profileGrid,
                            {cur.data(), sums.data(), weights.data(), kWidth, kHeight, kWidth, qnr::kProfileStep});
    EXPECT_TRUE(sameBytes(read<double>(dSums, slots).data(), sums.data(), slots * sizeof(double)));
    EXPECT_TRUE(sameBytes(read<double>(dWeights, slots).data(), weights.data(), slots * sizeof(double)));
    EXPECT_EQ(dev::getLastError(), dev::kSuccess);
}

TEST(CpuBackend, EventsMeasureTheTimeBetweenTheirRecords) {
    StreamHolder stream;
    dev::Event start = nullptr, end = nullptr;
    ASSERT_EQ(dev::eventCreate(&start), dev::kSuccess);
    ASSERT_EQ(dev::eventCreate(&end), dev::kSuccess);
    float ms = -1;
    EXPECT_NE(dev::eventElapsedMs(&ms, start, end), dev::kSuccess) << "neither was recorded";
    ASSERT_EQ(dev::eventRecord(start, stream.s), dev::kSuccess);
    EXPECT_NE(dev::eventElapsedMs(&ms, start, end), dev::kSuccess) << "the end was not recorded";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(dev::eventRecord(end, stream.s), dev::kSuccess);
    ASSERT_EQ(dev::eventSynchronize(end), dev::kSuccess);
    ASSERT_EQ(dev::eventElapsedMs(&ms, start, end), dev::kSuccess);
    EXPECT_GE(ms, 20.0f) << "milliseconds, from the start's record to the end's";
    EXPECT_LT(ms, 20000.0f);
    float back = 0;
    ASSERT_EQ(dev::eventElapsedMs(&back, end, start), dev::kSuccess);
    EXPECT_EQ(back, -ms) << "the order of the pair is the sign";
    EXPECT_EQ(dev::eventDestroy(start), dev::kSuccess);
    EXPECT_EQ(dev::eventDestroy(end), dev::kSuccess);
}

// Several filter instances on their own threads: each one's uploads, clears,
// launches and downloads give what they give on one thread alone.
TEST(CpuBackend, StreamsOfSeveralThreadsStayIndependent) {
    constexpr int kThreads = 4, kRounds = 20, kWidth = 256, kHeight = 192;
    constexpr std::size_t kRowBytes = std::size_t{kWidth} * 4;
    const qnr::Dim3 grid = qnr::profileGrid(kWidth, kHeight);
    const std::size_t slots = std::size_t{grid.x} * grid.y;
    std::vector<qtest::Frame> frames;
    std::vector<std::vector<double>> expected;
    for (int i = 0; i < kThreads; ++i) {
        frames.push_back(qtest::textured(kWidth, kHeight, static_cast<std::uint32_t>(i) + 7));
        expected.emplace_back(2 * slots);
        cpuexec::runProfileAuto(grid, {frames.back().data(), expected.back().data(), expected.back().data() + slots,
                                       kWidth, kHeight, kWidth, qnr::kProfileStep});
    }
    std::vector<dev::Stream> streams(kThreads);
    bool ok[kThreads] = {};
    const auto worker = [&](int index) {
        dev::Stream& s = streams[static_cast<std::size_t>(index)];
        void* frame = nullptr;
        void* totals = nullptr;
        std::size_t pitch = 0;
        std::vector<double> got(2 * slots);
        const std::size_t totalBytes = got.size() * sizeof(double);
        bool good = dev::streamCreateNonBlocking(&s) == dev::kSuccess &&
                    dev::mallocPitch(&frame, &pitch, kRowBytes, kHeight) == dev::kSuccess &&
                    dev::malloc(&totals, totalBytes) == dev::kSuccess;
        for (int round = 0; good && round < kRounds; ++round) {
            auto* sums = static_cast<double*>(totals);
            good = dev::memcpy2DAsync(frame, pitch, frames[index].data(), kRowBytes, kRowBytes, kHeight,
                                      dev::CopyKind::HostToDevice, s) == dev::kSuccess &&
                   dev::memsetAsync(totals, 0xFF, totalBytes, s) == dev::kSuccess;
            dev::launchProfileAuto(grid, qnr::kProfileThreadBlock, 0, s,
                                   {static_cast<uchar4*>(frame), sums, sums + slots, kWidth, kHeight,
                                    static_cast<int>(pitch / 4), qnr::kProfileStep});
            good = good && dev::getLastError() == dev::kSuccess &&
                   dev::memcpyAsync(got.data(), totals, totalBytes, dev::CopyKind::DeviceToHost, s) == dev::kSuccess &&
                   dev::streamSynchronize(s) == dev::kSuccess &&
                   std::memcmp(got.data(), expected[index].data(), totalBytes) == 0;
        }
        ok[index] = good && dev::free(frame) == dev::kSuccess && dev::free(totals) == dev::kSuccess;
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back(worker, i);
    for (std::thread& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_TRUE(ok[i]) << "thread " << i;
        for (int j = 0; j < i; ++j) EXPECT_NE(streams[i], streams[j]) << "two live streams share a handle";
    }
    for (dev::Stream s : streams) EXPECT_EQ(dev::streamDestroy(s), dev::kSuccess);
}

// With the CPU backend there is always the one device, and it filters.
TEST(CpuBackend, TheDiagnosisSaysTheProcessorRunsTheKernels) {
    const diag::Report report = diag::Diagnose();
    EXPECT_TRUE(report.filters);
    EXPECT_EQ(diag::FormatReport(report),
              "Driver:  none: the CPU executor runs the kernels\n"
              "GPU 0:   CPU executor\n"
              "         kernels: load (the CPU executor runs them on the processor)\n"
              "         frames:  room for 1920x1080 frames\n");
    EXPECT_EQ(diag::Verdict(report), "filters on the CPU device");
}

}  // namespace
