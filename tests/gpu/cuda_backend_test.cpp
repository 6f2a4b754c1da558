// The CUDA backend on a machine without an NVIDIA driver: everything fails
// cleanly and the filter's context is never created.
#include <gtest/gtest.h>

#include "gpu/cuda_status.h"
#include "gpu/cudanr.h"
#include "gpu/device.h"
#include "gpu/device_events.h"

namespace {

bool driverPresent() {
    int count = 0;
    return dev::getDeviceCount(&count) == dev::kSuccess && count > 0;
}

TEST(CudaBackendWithoutDevice, ReportsNoDeviceAndRefusesEverything) {
    if (driverPresent()) GTEST_SKIP() << "an NVIDIA device is present";
    int count = -1;
    EXPECT_NE(dev::getDeviceCount(&count), dev::kSuccess);
    EXPECT_EQ(count, 0);
    EXPECT_NE(dev::setDevice(0), dev::kSuccess);

    dev::Stream stream = nullptr;
    EXPECT_NE(dev::streamCreateNonBlocking(&stream), dev::kSuccess);
    EXPECT_EQ(stream, nullptr);
    void* p = nullptr;
    std::size_t pitch = 0;
    EXPECT_NE(dev::mallocPitch(&p, &pitch, 64, 4), dev::kSuccess);
    EXPECT_NE(dev::malloc(&p, 64), dev::kSuccess);
    EXPECT_EQ(p, nullptr);
    unsigned char host[64] = {};
    EXPECT_NE(dev::memcpyAsync(host, host, 8, dev::CopyKind::HostToDevice, stream), dev::kSuccess);
    EXPECT_NE(dev::streamSynchronize(stream), dev::kSuccess);
    dev::Event event = nullptr;
    EXPECT_NE(dev::eventCreate(&event), dev::kSuccess);

    // A launch cannot reach a device; the failure shows once, then clears.
    dev::launchProfileAuto({1, 1, 1}, {16, 16, 1}, 0, stream, {nullptr, nullptr, nullptr, 4, 4, 4, 4});
    EXPECT_NE(dev::getLastError(), dev::kSuccess);
    EXPECT_EQ(dev::getLastError(), dev::kSuccess);
}

TEST(CudaBackendWithoutDevice, ContextCreationFailsWithNullPointer) {
    if (driverPresent()) GTEST_SKIP() << "an NVIDIA device is present";
    auto* stale = reinterpret_cast<CudaNRContext*>(0x10);
    CudaNRContext* ctx = stale;
    EXPECT_FALSE(CudaNRCreate(&ctx, 0));
    EXPECT_EQ(ctx, nullptr);
    EXPECT_FALSE(CudaNREnsureBuffers(ctx, 64, 64));
    CudaNRDestroy(ctx);
}

// The names tools print for driver statuses, also for one the table lacks.
TEST(CudaStatusNames, KnownAndUnknownStatuses) {
    EXPECT_STREQ(CudaStatusName(0), "CUDA_SUCCESS");
    EXPECT_STREQ(CudaStatusName(100), "CUDA_ERROR_NO_DEVICE");
    EXPECT_STREQ(CudaStatusName(222), "CUDA_ERROR_UNSUPPORTED_PTX_VERSION");
    EXPECT_STREQ(CudaStatusName(12345), "CUDA status 12345");
}

}  // namespace
