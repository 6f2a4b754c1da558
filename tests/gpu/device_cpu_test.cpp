// The CPU backend must be as strict as a GPU, or the pipeline tests prove little.
#include <chrono>
#include <cstring>
#include <thread>

#include "gpu/device_events.h"
#include "gpu_test_support.h"

namespace {

using dev::cputest::Op;
using gputest::DeviceTest;

struct StreamHolder {
    dev::Stream s = nullptr;
    StreamHolder() { EXPECT_EQ(dev::streamCreateNonBlocking(&s), dev::kSuccess); }
    ~StreamHolder() { dev::streamDestroy(s); }
};

class CpuBackend : public DeviceTest {};

TEST_F(CpuBackend, PitchIsPaddedBeyondTheRowToMultiplesOf512) {
    for (std::size_t widthBytes : {4u, 512u, 7680u, 15360u}) {
        void* p = nullptr;
        std::size_t pitch = 0;
        ASSERT_EQ(dev::mallocPitch(&p, &pitch, widthBytes, 3), dev::kSuccess);
        EXPECT_GT(pitch, widthBytes);
        EXPECT_EQ(pitch % 512, 0u);
        EXPECT_EQ(dev::free(p), dev::kSuccess);
    }
}

TEST_F(CpuBackend, QueuedWorkRunsOnlyAtSynchronisation) {
    StreamHolder stream;
    void* d = nullptr;
    ASSERT_EQ(dev::malloc(&d, 16), dev::kSuccess);
    unsigned char src[16], dst[16];
    std::memset(src, 7, sizeof src);
    std::memset(dst, 1, sizeof dst);
    ASSERT_EQ(dev::memcpyAsync(d, src, 16, dev::CopyKind::HostToDevice, stream.s), dev::kSuccess);
    ASSERT_EQ(dev::memcpyAsync(dst, d, 16, dev::CopyKind::DeviceToHost, stream.s), dev::kSuccess);
    EXPECT_EQ(dev::cputest::queuedHostWrites(), 1u);
    EXPECT_EQ(dst[0], 1) << "a host read before synchronising must see stale data";
    ASSERT_EQ(dev::streamSynchronize(stream.s), dev::kSuccess);
    EXPECT_EQ(dst[15], 7);
    EXPECT_EQ(dev::cputest::queuedWork(), 0u);
    dev::free(d);
}

TEST_F(CpuBackend, RefusesBadPointersDirectionsAndDoubleFrees) {
    StreamHolder stream;
    void* d = nullptr;
    ASSERT_EQ(dev::malloc(&d, 64), dev::kSuccess);
    unsigned char host[128] = {};
    // Past the end of the allocation, and a direction that swaps host and device.
    EXPECT_NE(dev::memcpyAsync(d, host, 65, dev::CopyKind::HostToDevice, stream.s), dev::kSuccess);
    EXPECT_NE(dev::memcpyAsync(host, d, 8, dev::CopyKind::HostToDevice, stream.s), dev::kSuccess);
    EXPECT_NE(dev::memcpy2DAsync(d, 8, host, 16, 16, 2, dev::CopyKind::HostToDevice, stream.s),
              dev::kSuccess)
        << "destination pitch shorter than a row";
    EXPECT_NE(dev::memcpy2DAsync(d, 16, host, 16, 16, 5, dev::CopyKind::HostToDevice, stream.s), dev::kSuccess)
        << "the last of five 16-byte rows ends past 64 bytes";
    EXPECT_NE(dev::memsetAsync(host, 0, 8, stream.s), dev::kSuccess);
    EXPECT_NE(dev::memsetAsync(d, 0, 8, nullptr), dev::kSuccess);
    EXPECT_EQ(dev::cputest::queuedWork(), 0u);
    EXPECT_EQ(dev::free(d), dev::kSuccess);
    EXPECT_NE(dev::free(d), dev::kSuccess);
    EXPECT_NE(dev::free(host), dev::kSuccess);
    EXPECT_EQ(dev::free(nullptr), dev::kSuccess);
}

TEST_F(CpuBackend, RefusedLaunchIsReportedOnceThroughLastError) {
    StreamHolder stream;
    void* frame = nullptr;
    void* mv = nullptr;
    std::size_t pitch = 0;
    ASSERT_EQ(dev::mallocPitch(&frame, &pitch, 64, 16), dev::kSuccess);
    ASSERT_EQ(dev::malloc(&mv, 8), dev::kSuccess);
    auto* f = static_cast<uchar4*>(frame);
    int p = static_cast<int>(pitch / 4);
    const auto motion = [&](dev::Dim3 block, std::size_t shared) {
        dev::launchEstimateMV16({1, 1, 1}, block, shared, stream.s,
                                {f, f, static_cast<int2*>(mv), 16, 16, p, 1, 1, 4, 2});
        return dev::getLastError();
    };
    // Motion search needs one float of dynamic shared memory per thread.
    EXPECT_NE(motion({8, 8, 1}, 255), dev::kSuccess);
    EXPECT_EQ(dev::getLastError(), dev::kSuccess) << "the error is cleared once read";
    EXPECT_NE(motion({33, 33, 1}, 4 * 33 * 33), dev::kSuccess) << "more than 1024 threads per block";
    EXPECT_NE(motion({8, 16, 1}, 512), dev::kSuccess) << "more threads than the kernel's launch bound";
    EXPECT_NE(motion({4, 16, 1}, 256), dev::kSuccess) << "another block than the kernel's";
    dev::launchProfileAuto({1, 1, 1}, {8, 8, 1}, 0, stream.s, {f, nullptr, nullptr, 16, 16, p, 4});
    EXPECT_NE(dev::getLastError(), dev::kSuccess) << "profiling with less than its 16x16 block";
    dev::launchProcess({1, 1, 1}, {16, 8, 2}, 0, stream.s,
                       {f, f, f, f, nullptr, nullptr, f, 1, 16, 16, p, CudaNRParams{}});
    EXPECT_NE(dev::getLastError(), dev::kSuccess) << "processing with another block than 16x16";
    EXPECT_EQ(dev::cputest::queuedWork(), 0u);

    // A valid configuration with a pointer outside device memory faults at
    // sync, and what was queued behind it on the stream never runs.
    uchar4 host[16 * 16];
    dev::launchEstimateMV16({1, 1, 1}, {8, 8, 1}, 256, stream.s,
                            {host, f, static_cast<int2*>(mv), 16, 16, 16, 1, 1, 4, 2});
    EXPECT_EQ(dev::getLastError(), dev::kSuccess);
    unsigned char after[8] = {};
    ASSERT_EQ(dev::memsetAsync(mv, 5, sizeof after, stream.s), dev::kSuccess);
    ASSERT_EQ(dev::memcpyAsync(after, mv, sizeof after, dev::CopyKind::DeviceToHost, stream.s), dev::kSuccess);
    EXPECT_NE(dev::streamSynchronize(stream.s), dev::kSuccess);
    EXPECT_EQ(after[0], 0) << "a copy queued after the faulting kernel ran";
    EXPECT_EQ(dev::cputest::queuedWork(), 0u);

    // A fault in work that a free had to wait for is still the stream's to report.
    dev::launchEstimateMV16({1, 1, 1}, {8, 8, 1}, 256, stream.s,
                            {host, f, static_cast<int2*>(mv), 16, 16, 16, 1, 1, 4, 2});
    void* spare = nullptr;
    ASSERT_EQ(dev::malloc(&spare, 8), dev::kSuccess);
    dev::free(spare);
    EXPECT_NE(dev::streamSynchronize(stream.s), dev::kSuccess);
    dev::free(frame);
    dev::free(mv);
}

TEST_F(CpuBackend, FaultInjectionHitsExactlyTheNthCall) {
    dev::cputest::failNthCall(Op::Malloc, 2);
    void* a = nullptr;
    void* b = nullptr;
    void* c = nullptr;
    EXPECT_EQ(dev::malloc(&a, 8), dev::kSuccess);
    EXPECT_NE(dev::malloc(&b, 8), dev::kSuccess);
    EXPECT_EQ(dev::malloc(&c, 8), dev::kSuccess);
    EXPECT_EQ(dev::cputest::callCount(Op::Malloc), 3);
    dev::free(a);
    dev::free(c);

    dev::cputest::setDeviceCount(0);
    int count = -1;
    EXPECT_NE(dev::getDeviceCount(&count), dev::kSuccess);
    EXPECT_EQ(count, 0);
    EXPECT_NE(dev::malloc(&a, 8), dev::kSuccess);
    dev::cputest::setDeviceCount(2);
    EXPECT_EQ(dev::setDevice(1), dev::kSuccess);
    EXPECT_EQ(dev::cputest::currentDevice(), 1);
    EXPECT_NE(dev::setDevice(2), dev::kSuccess);
}

TEST_F(CpuBackend, FreeWaitsForQueuedWorkAndEventsMeasureIt) {
    StreamHolder stream;
    dev::Event start = nullptr, end = nullptr;
    ASSERT_EQ(dev::eventCreate(&start), dev::kSuccess);
    ASSERT_EQ(dev::eventCreate(&end), dev::kSuccess);
    void* d = nullptr;
    ASSERT_EQ(dev::malloc(&d, 32), dev::kSuccess);
    unsigned char out[32] = {};
    ASSERT_EQ(dev::eventRecord(start, stream.s), dev::kSuccess);
    ASSERT_EQ(dev::memsetAsync(d, 9, 32, stream.s), dev::kSuccess);
    ASSERT_EQ(dev::memcpyAsync(out, d, 32, dev::CopyKind::DeviceToHost, stream.s), dev::kSuccess);
    ASSERT_EQ(dev::eventRecord(end, stream.s), dev::kSuccess);
    float ms = -1;
    EXPECT_NE(dev::eventElapsedMs(&ms, start, end), dev::kSuccess) << "not reached yet";
    EXPECT_EQ(dev::free(d), dev::kSuccess);
    EXPECT_EQ(out[31], 9) << "free lets queued work using the memory finish first";
    // Recorded again after a pause: the pair measures the pause, in milliseconds.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_EQ(dev::eventRecord(end, stream.s), dev::kSuccess);
    ASSERT_EQ(dev::eventSynchronize(end), dev::kSuccess);
    ASSERT_EQ(dev::eventElapsedMs(&ms, start, end), dev::kSuccess);
    EXPECT_GE(ms, 30.0f);
    EXPECT_LT(ms, 30000.0f);
    dev::eventDestroy(start);
    dev::eventDestroy(end);
}

TEST_F(CpuBackend, AnEventRecordedAgainOnAnotherStreamIsThatStreamsAlone) {
    StreamHolder first, second;
    dev::Event e = nullptr;
    ASSERT_EQ(dev::eventCreate(&e), dev::kSuccess);
    ASSERT_EQ(dev::eventRecord(e, first.s), dev::kSuccess);
    ASSERT_EQ(dev::eventRecord(e, second.s), dev::kSuccess);
    ASSERT_EQ(dev::streamSynchronize(first.s), dev::kSuccess);
    float ms = 0;
    EXPECT_NE(dev::eventElapsedMs(&ms, e, e), dev::kSuccess) << "done by the first stream's old record";
    EXPECT_EQ(dev::eventDestroy(e), dev::kSuccess);
    EXPECT_EQ(dev::streamSynchronize(first.s), dev::kSuccess);  // nothing of the event left to run
}

TEST_F(CpuBackend, StreamsOfSeveralThreadsStayIndependent) {
    auto worker = [](unsigned char value, bool* ok) {
        dev::Stream s = nullptr;
        void* d = nullptr;
        unsigned char out[256] = {};
        *ok = dev::streamCreateNonBlocking(&s) == dev::kSuccess &&
              dev::malloc(&d, sizeof out) == dev::kSuccess;
        for (int i = 0; *ok && i < 50; ++i) {
            *ok = dev::memsetAsync(d, value, sizeof out, s) == dev::kSuccess &&
                  dev::memcpyAsync(out, d, sizeof out, dev::CopyKind::DeviceToHost, s) ==
                      dev::kSuccess &&
                  dev::streamSynchronize(s) == dev::kSuccess && out[0] == value &&
                  out[255] == value;
        }
        dev::free(d);
        dev::streamDestroy(s);
    };
    bool ok1 = false, ok2 = false;
    std::thread t1(worker, 1, &ok1), t2(worker, 2, &ok2);
    t1.join();
    t2.join();
    EXPECT_TRUE(ok1);
    EXPECT_TRUE(ok2);
}

}  // namespace
