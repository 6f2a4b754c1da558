// The CUDA module under rules a real driver applies and a kinder one would
// not: a fault that the driver makes sticky (an illegal address, a launch
// timeout, a hardware exception) ends the GPU's use for the whole process;
// staging memory is page-locked, read and written when copies run; the
// shared primary context keeps its flags; entry points may have to be found
// by their exported names.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "gpu/cuda_driver_api.h"
#include "gpu/cuda_status.h"
#include "tests/host/drive.h"
#include "tests/host/emulated_machine.h"
#include "tests/simdriver/control.h"
#include "tests/support/sequences.h"

namespace {

constexpr const char* kFaultLine =
    "Quelmar: frames pass through unfiltered: the GPU faulted (CUDA_ERROR_ILLEGAL_ADDRESS); "
    "restart the host to filter again";

const qtest::Sequence kClip{32, 40, 24, 8};

// Every call the driver has answered so far, whatever the entry point.
int driverCalls(const SimControl& sim) {
    int total = sim.quelmarSimCalls(cudrv::kGetProcAddressSymbol);
#define QUELMAR_COUNT(member, symbol, base, version, params) total += sim.quelmarSimCalls(#symbol);
    QUELMAR_CUDA_ENTRY_POINTS(QUELMAR_COUNT)
    QUELMAR_CUDA_OPTIONAL_ENTRY_POINTS(QUELMAR_COUNT)
#undef QUELMAR_COUNT
    return total;
}

struct Frame {
    std::vector<uint8_t> input, output;
};

Frame runFrame(DrivenFilter& f, int index) {
    Frame r;
    r.input = qtest::MakeFrame(kClip, index);
    GuardedBuffer src(r.input), dst(r.input.size());
    f.run(src, dst, kClip.depth, kClip.width, kClip.height, qtest::RowBytes(kClip), qtest::RowBytes(kClip));
    r.output = dst.body();
    return r;
}

class DriverRules : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.resolve()) << "the simulated driver is not on the loader's path";
        ASSERT_EQ(sim.quelmarSimReset(EmulatedMachine().c_str()), 1);
    }
    SimControl sim;
};

// Every later frame of every instance passes through for one reason, and the
// driver is asked nothing more but to release what was retained.
TEST_F(DriverRules, AStickyFaultEndsTheGpuForTheProcess) {
    constexpr int kFaultFrame = 3;
    // The launches the first frames make, in a run without faults.
    int launchesBefore = 0;
    {
        DrivenFilter f;
        ASSERT_TRUE(f.loadPath(QUELMAR_CUDA_MODULE)) << f.module->error;
        for (int i = 0; i < kFaultFrame; ++i) runFrame(f, i);
        launchesBefore = sim.quelmarSimCalls("cuLaunchKernel");
    }
    ASSERT_GT(launchesBefore, 0);
    ASSERT_EQ(sim.quelmarSimReset(EmulatedMachine().c_str()), 1);
    // The fault frame's first launch faults on the GPU; its wait reports it.
    sim.quelmarSimFailCallWith("cuLaunchKernel", launchesBefore + 1, cudrv::CUDA_ERROR_ILLEGAL_ADDRESS, 1);

    testing::internal::CaptureStderr();
    {
        DrivenFilter first, second;
        ASSERT_TRUE(first.loadPath(QUELMAR_CUDA_MODULE)) << first.module->error;
        for (int i = 0; i < kFaultFrame; ++i) {
            const Frame filtered = runFrame(first, i);
            EXPECT_NE(filtered.output, filtered.input) << "frame " << i;
        }
        const Frame faulted = runFrame(first, kFaultFrame);
        EXPECT_EQ(faulted.output, faulted.input) << "the frame in flight passes through";
        EXPECT_EQ(sim.quelmarSimStickyFault(), cudrv::CUDA_ERROR_ILLEGAL_ADDRESS);

        const int callsAtFault = driverCalls(sim);
        for (int i = kFaultFrame + 1; i < kClip.count; ++i) {
            const Frame later = runFrame(first, i);
            EXPECT_EQ(later.output, later.input) << "frame " << i;
        }
        // A second instance of the same module, made after the fault.
        ASSERT_TRUE(modhost::CreateInstance(&second.inst, first.module.get()));
        ASSERT_EQ(modhost::CallInit(&second.inst), 0);
        const Frame another = runFrame(second, 0);
        EXPECT_EQ(another.output, another.input) << "a new instance";
        EXPECT_EQ(driverCalls(sim), callsAtFault) << "no driver call after the fault";
    }
    const std::string log = testing::internal::GetCapturedStderr();
    std::size_t lines = 0;
    for (std::size_t at = log.find(kFaultLine); at != std::string::npos; at = log.find(kFaultLine, at + 1)) ++lines;
    EXPECT_EQ(lines, 2u) << "once for each instance:\n" << log;

    // What was retained is released; what the fault stranded goes with it.
    EXPECT_EQ(sim.quelmarSimTakeViolations(), 0);
    EXPECT_EQ(sim.quelmarSimContextDepth(), 0);
    EXPECT_EQ(sim.quelmarSimRetains(0), 0);
    EXPECT_EQ(sim.quelmarSimLiveAllocations() + sim.quelmarSimLiveStreams() + sim.quelmarSimLiveModules() +
                  sim.quelmarSimLiveEvents(),
              0);
}

// Both staging blocks are registered once and unregistered before they are
// freed; the primary context, which the host may share, keeps its flags; the
// filter does not wait by spinning a core on it.
TEST_F(DriverRules, StagingIsPageLockedAndTheSharedContextKeepsItsFlags) {
    {
        DrivenFilter f;
        ASSERT_TRUE(f.loadPath(QUELMAR_CUDA_MODULE)) << f.module->error;
        std::vector<Frame> frames;
        for (int i = 0; i < 3; ++i) frames.push_back(runFrame(f, i));
        EXPECT_NE(frames.back().output, frames.back().input);
        EXPECT_EQ(sim.quelmarSimCalls("cuMemHostRegister_v2"), 2) << "stageIn and stageOut, once";
    }
    EXPECT_EQ(sim.quelmarSimCalls("cuMemHostUnregister"), 2);
    EXPECT_EQ(sim.quelmarSimCalls("cuDevicePrimaryCtxSetFlags_v2"), 0);
    EXPECT_EQ(sim.quelmarSimPrimaryFlags(0), 0u);
    EXPECT_GT(sim.quelmarSimCalls("cuEventSynchronize"), 0) << "frames are waited for on a blocking-sync event";
    EXPECT_EQ(sim.quelmarSimCalls("cuStreamSynchronize"), 0);
    EXPECT_EQ(sim.quelmarSimTakeViolations(), 0);
    EXPECT_EQ(sim.quelmarSimLiveAllocations(), 0) << "registrations included";
}

// A driver that lacks what only the tools and page-locking use still filters,
// with pageable staging; one that lacks what the filter needs passes frames
// through and says which.
TEST_F(DriverRules, OnlyTheEntryPointsTheFilterNeedsAreRequired) {
    for (const char* base : {"cuEventElapsedTime", "cuMemAllocHost", "cuMemFreeHost", "cuMemHostRegister",
                             "cuMemHostUnregister"}) {
        sim.quelmarSimWithhold(base);
    }
    {
        DrivenFilter f;
        ASSERT_TRUE(f.loadPath(QUELMAR_CUDA_MODULE)) << f.module->error;
        const Frame filtered = runFrame(f, 0);
        EXPECT_NE(filtered.output, filtered.input);
    }
    EXPECT_EQ(sim.quelmarSimCalls("cuMemHostRegister_v2"), 0);

    ASSERT_EQ(sim.quelmarSimReset(EmulatedMachine().c_str()), 1);
    sim.quelmarSimWithhold("cuModuleLoadDataEx");
    testing::internal::CaptureStderr();
    {
        DrivenFilter f;
        ASSERT_TRUE(f.loadPath(QUELMAR_CUDA_MODULE)) << f.module->error;
        const Frame refused = runFrame(f, 0);
        EXPECT_EQ(refused.output, refused.input);
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("the NVIDIA driver is too old: it lacks cuModuleLoadDataEx"), std::string::npos) << log;
    EXPECT_EQ(sim.quelmarSimTakeViolations(), 0);
}

// A driver without the entry-point lookup (older than CUDA 12.5) is searched
// by exported name.
TEST_F(DriverRules, EntryPointsByExportedNameWhereTheDriverHasNoLookup) {
    sim.quelmarSimAnswerProcAddress(0);
    DrivenFilter f;
    ASSERT_TRUE(f.loadPath(QUELMAR_CUDA_MODULE)) << f.module->error;
    const Frame filtered = runFrame(f, 0);
    EXPECT_NE(filtered.output, filtered.input);
    EXPECT_GT(sim.quelmarSimCalls(cudrv::kGetProcAddressSymbol), 0);
}

// A GPU in exclusive-process or prohibited compute mode, or one out of memory,
// refuses the context: the frame passes through and says so, and the next
// frame tries again (that refusal need not last).
TEST_F(DriverRules, ARefusedContextPassesFramesThroughAndIsTriedAgain) {
    for (const int status : {cudrv::CUDA_ERROR_DEVICE_UNAVAILABLE, cudrv::CUDA_ERROR_OUT_OF_MEMORY}) {
        ASSERT_EQ(sim.quelmarSimReset(EmulatedMachine().c_str()), 1);
        sim.quelmarSimFailCallWith("cuDevicePrimaryCtxRetain", 1, status, 0);
        testing::internal::CaptureStderr();
        {
            DrivenFilter f;
            ASSERT_TRUE(f.loadPath(QUELMAR_CUDA_MODULE)) << f.module->error;
            const Frame refused = runFrame(f, 0);
            EXPECT_EQ(refused.output, refused.input) << status;
            const Frame next = runFrame(f, 1);
            EXPECT_NE(next.output, next.input) << status;
        }
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find(std::string("creating the filter's context failed: ") + CudaStatusName(status)),
                  std::string::npos)
            << log;
        EXPECT_EQ(sim.quelmarSimTakeViolations(), 0);
        EXPECT_EQ(sim.quelmarSimRetains(0), 0);
    }
}

// A portrait frame has more motion blocks down than across: a buffer or a
// grid sized by the width alone shows here, and the driver's own extents
// (not the product's arithmetic) judge every access.
TEST_F(DriverRules, APortraitFrameFiltersAsTheCpuModuleDoes) {
    const qtest::Sequence portrait{32, 72, 261, 3};
    modhost::Module cpu{}, cuda{};
    ASSERT_TRUE(modhost::LoadModule(&cpu, QUELMAR_CPU_MODULE)) << cpu.error;
    ASSERT_TRUE(modhost::LoadModule(&cuda, QUELMAR_CUDA_MODULE)) << cuda.error;
    std::vector<uint8_t> inputs;
    const std::vector<uint8_t> filtered = qtest::FilterSequence(&cuda, portrait, &inputs);
    EXPECT_EQ(filtered, qtest::FilterSequence(&cpu, portrait));
    EXPECT_NE(filtered, inputs);
    modhost::UnloadModule(&cuda);
    modhost::UnloadModule(&cpu);
    EXPECT_EQ(sim.quelmarSimTakeViolations(), 0);
}

}  // namespace
