// Hosts that copy instance records byte for byte, free them without deinit,
// reuse their addresses or scribble on them, and unload and load the module
// again. Each resource is used and released only by the record that made it,
// and module deinit leaves nothing held. Module code linked in, CUDA backend
// over the simulated driver.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "gpu/context_state.h"
#include "tests/platform/virtual_memory_testing.h"
#include "tests/host/drive.h"
#include "tests/host/simulated_driver.h"
#include "tests/support/params.h"

namespace {

constexpr int w = 16, h = 8;
constexpr std::size_t kFrameBytes = w * 4 * h;

NRFilterData* Record(modhost::Instance& inst) { return static_cast<NRFilterData*>(inst.data); }

std::vector<uint8_t> RunFrame(modhost::Instance& inst, GuardedBuffer& src, int width = w,
                              int height = h) {
    GuardedBuffer dst(static_cast<std::size_t>(width) * 4 * height);
    Describe(inst.src, src, 32, width, height, 0);
    Describe(inst.dst, dst, 32, width, height, 0);
    modhost::CallRun(&inst);
    EXPECT_TRUE(dst.guardsIntact());
    return dst.body();
}

// One more instance of a registered module, deinit'ed at the end.
struct Instance {
    modhost::Instance inst{};
    explicit Instance(modhost::Module* m) {
        EXPECT_TRUE(modhost::CreateInstance(&inst, m));
        modhost::CallInit(&inst);
    }
    ~Instance() {
        modhost::CallDeinit(&inst);
        modhost::DestroyInstance(&inst);
    }
};

class Ownership : public ::testing::Test {
protected:
    DriverLeftClean clean;
    int blocksBefore = 0;
    GuardedBuffer frames[3] = {NoisyFrame(kFrameBytes, 31), NoisyFrame(kFrameBytes, 32),
                               NoisyFrame(kFrameBytes, 33)};

    void SetUp() override { blocksBefore = platform::memtest::liveBlocks(); }
    void expectNothingHeld() {
        EXPECT_EQ(quelmarSimLiveAllocations(), 0);
        EXPECT_EQ(quelmarSimLiveStreams(), 0);
        EXPECT_EQ(quelmarSimRetains(0), 0);
        EXPECT_EQ(platform::memtest::liveBlocks(), blocksBefore);
    }
};

TEST_F(Ownership, ACopiedRecordGetsItsOwnResourcesAndItsDeinitLeavesTheOriginalAlone) {
    DrivenFilter original;
    ASSERT_TRUE(original.attach(VirtualdubFilterModuleInit2, VirtualdubFilterModuleDeinit));
    Instance control(original.module.get());
    EXPECT_EQ(RunFrame(original.inst, frames[0]), RunFrame(control.inst, frames[0]));
    const NRFilterData held = *original.fd();

    modhost::Instance copy{};
    ASSERT_TRUE(modhost::CreateInstance(&copy, original.module.get()));
    std::memcpy(copy.data, original.inst.data, sizeof(NRFilterData));
    modhost::CallStart(&copy);
    EXPECT_NE(Record(copy)->gpu, held.gpu) << "start made the copy a context of its own";
    EXPECT_NE(Record(copy)->gpu, nullptr);
    EXPECT_NE(RunFrame(copy, frames[1]), frames[1].body()) << "the copy filters";
    EXPECT_NE(Record(copy)->gpu, held.gpu);
    EXPECT_NE(Record(copy)->stageIn, held.stageIn);
    EXPECT_NE(Record(copy)->stageOut, held.stageOut);
    modhost::CallDeinit(&copy);
    modhost::DestroyInstance(&copy);

    // The original goes on from its own state, as if no copy had been made.
    for (GuardedBuffer* frame : {&frames[1], &frames[2]})
        EXPECT_EQ(RunFrame(original.inst, *frame), RunFrame(control.inst, *frame));
    EXPECT_EQ(original.fd()->gpu, held.gpu);
    EXPECT_EQ(original.fd()->stageIn, held.stageIn);
}

TEST_F(Ownership, RecordsFreedWithoutDeinitAreReleasedAtModuleDeinitRoundAfterRound) {
    int heldAfterReplacing[3] = {};
    for (int round = 0; round < 3; ++round) {
        modhost::Module m{};
        modhost::AttachModule(&m, VirtualdubFilterModuleInit2, VirtualdubFilterModuleDeinit);
        ASSERT_EQ(modhost::RegisterModule(&m), 0);
        // Faults along the way: a free refused, a context and a staging block
        // that fail once and are made on a later frame.
        const int frees = quelmarSimCalls("cuMemFree_v2"), streams = quelmarSimCalls("cuStreamCreate");
        if (round == 1) quelmarSimFailCall("cuMemFree_v2", 2);
        if (round == 2) {
            quelmarSimFailCall("cuStreamCreate", 2);
            platform::memtest::failNthAllocation(3);
        }
        modhost::Instance inst[4]{};
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(modhost::CreateInstance(&inst[i], &m));
            modhost::CallInit(&inst[i]);
            modhost::CallStart(&inst[i]);
            RunFrame(inst[i], frames[i]);
        }
        auto larger = NoisyFrame(24 * 4 * h, 34);
        RunFrame(inst[0], larger, 24, h);  // replaces its buffers
        // The same device memory as without the fault: a refused free is
        // retried, not left for the context's release to reclaim.
        heldAfterReplacing[round] = quelmarSimLiveAllocations();
        if (round == 1) {
            EXPECT_GE(quelmarSimCalls("cuMemFree_v2") - frees, 2) << "the refused free was one of the replaced buffers";
            EXPECT_EQ(heldAfterReplacing[1], heldAfterReplacing[0]);
        }
        ASSERT_TRUE(modhost::CreateInstance(&inst[3], &m));
        std::memcpy(inst[3].data, inst[1].data, sizeof(NRFilterData));
        for (modhost::Instance& i : inst) RunFrame(i, frames[0]);
        for (modhost::Instance& i : inst) {
            modhost::CallEnd(&i);
            modhost::DestroyInstance(&i);  // never deinit
        }
        modhost::UnloadModule(&m);
        // Each armed fault was reached.
        if (round == 1) {
            EXPECT_GE(quelmarSimCalls("cuMemFree_v2") - frees, 2);
        } else if (round == 2) {
            EXPECT_GE(quelmarSimCalls("cuStreamCreate") - streams, 2);
            EXPECT_GE(platform::memtest::allocationCount(), 3);
        }
        quelmarSimDisarm();
        expectNothingHeld();
    }
}

TEST_F(Ownership, InitReleasesWhatAnEarlierInstanceLeftAtTheSameAddress) {
    DrivenFilter f;
    ASSERT_TRUE(f.attach(VirtualdubFilterModuleInit2, VirtualdubFilterModuleDeinit));
    RunFrame(f.inst, frames[0]);
    ASSERT_NE(f.fd()->gpu, nullptr);
    modhost::CallInit(&f.inst);  // a new instance in the memory of one never deinit'ed
    expectNothingHeld();
    EXPECT_NE(RunFrame(f.inst, frames[1]), frames[1].body());
}

TEST_F(Ownership, PointersTheRecordDoesNotOwnAreNeitherUsedNorFreed) {
    DrivenFilter f;
    ASSERT_TRUE(f.attach(VirtualdubFilterModuleInit2, VirtualdubFilterModuleDeinit));
    // A record the init callback never saw: a marker and plausible staging
    // fields, all pointing into the host's memory.
    GuardedBuffer fakeContext(sizeof(CudaNRContext)), fakeIn(kFrameBytes), fakeOut(kFrameBytes);
    const std::vector<uint8_t> untouched(kFrameBytes, kGuardByte);
    NRFilterData* fd = f.fd();
    std::memset(fd, 0, sizeof *fd);
    fd->marker = kNRMarker;
    fd->params = qtest::defaultParams(0.0f);
    fd->autoProfile = fd->showFiltered = 1;
    fd->gpu = reinterpret_cast<CudaNRContext*>(fakeContext.data());
    fd->stageIn = fakeIn.data();
    fd->stageOut = fakeOut.data();
    fd->stageInWidth = fd->stageOutWidth = w;
    fd->stageInHeight = fd->stageOutHeight = h;
    fd->stageInPitch = fd->stageOutPitch = w * 4;

    EXPECT_NE(RunFrame(f.inst, frames[0]), frames[0].body()) << "filtered with its own resources";
    EXPECT_NE(fd->gpu, reinterpret_cast<CudaNRContext*>(fakeContext.data()));
    EXPECT_NE(fd->stageIn, fakeIn.data());
    modhost::CallDeinit(&f.inst);
    EXPECT_EQ(fakeContext.body(), std::vector<uint8_t>(sizeof(CudaNRContext), kGuardByte));
    EXPECT_EQ(fakeIn.body(), untouched);
    EXPECT_EQ(fakeOut.body(), untouched);
    expectNothingHeld();

    // Its own block with sizes scribbled to match a larger frame: not reused.
    RunFrame(f.inst, frames[0]);
    fd->stageInWidth = fd->stageOutWidth = 64;
    fd->stageInHeight = fd->stageOutHeight = 64;
    fd->stageInPitch = fd->stageOutPitch = 256;
    auto large = NoisyFrame(64 * 4 * 64, 35);
    EXPECT_NE(RunFrame(f.inst, large, 64, 64), large.body());
    EXPECT_EQ(platform::memtest::liveBlocks(), blocksBefore + 2) << "the small blocks released";

    // Only the heights scribbled, to a shorter frame's that would fit the same pages.
    fd->stageInHeight = fd->stageOutHeight = 16;
    platform::memtest::reset();
    auto shorter = NoisyFrame(64 * 4 * 16, 36);
    EXPECT_NE(RunFrame(f.inst, shorter, 64, 16), shorter.body());
    EXPECT_EQ(platform::memtest::allocationCount(), 2) << "a block is reused only at the size it was made for";
    EXPECT_EQ(platform::memtest::liveBlocks(), blocksBefore + 2);
}

TEST_F(Ownership, CopiesFilterOnTheirOwnThreadsWhileOthersComeAndGo) {
    DrivenFilter original;
    ASSERT_TRUE(original.attach(VirtualdubFilterModuleInit2, VirtualdubFilterModuleDeinit));
    RunFrame(original.inst, frames[0]);
    modhost::Instance copies[3]{};
    for (modhost::Instance& copy : copies) {
        ASSERT_TRUE(modhost::CreateInstance(&copy, original.module.get()));
        std::memcpy(copy.data, original.inst.data, sizeof(NRFilterData));
    }
    std::vector<std::thread> threads;
    for (modhost::Instance* inst : {&original.inst, &copies[0], &copies[1], &copies[2]}) {
        threads.emplace_back([this, inst] {
            auto frame = NoisyFrame(kFrameBytes, 36);
            for (int i = 0; i < 12; ++i) EXPECT_NE(RunFrame(*inst, frame), frame.body());
        });
    }
    threads.emplace_back([&] {  // instances made and dropped alongside
        for (int i = 0; i < 12; ++i) {
            Instance passing(original.module.get());
            auto frame = NoisyFrame(kFrameBytes, 37);
            RunFrame(passing.inst, frame);
        }
    });
    for (std::thread& t : threads) t.join();
    for (modhost::Instance& copy : copies) modhost::DestroyInstance(&copy);  // never deinit
    modhost::CallDeinit(&original.inst);
    modhost::UnregisterModule(original.module.get());
    expectNothingHeld();
}

}  // namespace
