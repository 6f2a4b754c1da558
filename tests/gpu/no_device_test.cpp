// A process whose driver offers no GPU to work on: none in the machine, or a
// driver that fails to start or to count its GPUs. The backend reads the
// driver once per process, so each such machine is a run of its own, named by
// QUELMAR_SIMDRIVER (a machine without a GPU when unset).
#include <gtest/gtest.h>

#include <cstdlib>

#include "gpu/cudanr.h"
#include "gpu/device.h"
#include "tests/gpu/gpu_test_support.h"

namespace {

const auto* const kMachine = ::testing::AddGlobalTestEnvironment(
    new gputest::SimulatedMachine(std::getenv("QUELMAR_SIMDRIVER") ? std::getenv("QUELMAR_SIMDRIVER") : "devices=none"));

TEST(NoDevice, CreationFailsCleanlyAndAsksNothingOfTheDriver) {
    auto* stale = reinterpret_cast<CudaNRContext*>(0x1234);
    for (int device : {0, 1, -1}) {
        SCOPED_TRACE(device);
        CudaNRContext* ctx = stale;
        EXPECT_FALSE(CudaNRCreate(&ctx, device));
        EXPECT_EQ(ctx, nullptr);
        EXPECT_EQ(CudaNRLastFailure().step, CudaNRStep::FindDevice);
    }
    int count = -1;
    EXPECT_NE(dev::getDeviceCount(&count), dev::kSuccess);
    EXPECT_EQ(count, 0);
    EXPECT_NE(dev::setDevice(0), dev::kSuccess);
    EXPECT_FALSE(CudaNREnsureBuffers(nullptr, 16, 16));
    CudaNRDestroy(nullptr);

    EXPECT_EQ(quelmarSimCalls("cuDevicePrimaryCtxRetain"), 0);
    EXPECT_EQ(quelmarSimCalls("cuStreamCreate"), 0);
    gputest::expectDriverLeftClean();
}

}  // namespace
