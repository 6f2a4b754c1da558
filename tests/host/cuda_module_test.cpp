// The shipped CUDA module through the simulated driver (found on the loader's
// path, as a real libcuda.so.1 would be): frame for frame what the CPU module
// gives over the whole life of an instance, every failure the driver can
// report passing its frame through cleanly, and nothing left in the driver
// after deinit and unload.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "gpu/cuda_driver_api.h"
#include "tests/host/drive.h"
#include "tests/host/emulated_machine.h"
#include "tests/simdriver/control.h"
#include "tests/support/sequences.h"

namespace {

struct Step {
    enum Kind { Frame, Start, End, Deinit } kind;
    qtest::Sequence sequence{};  // the frame's format and size
    int index = 0;               // which frame of it
};

Step frame(int depth, int width, int height, int index) {
    return Step{Step::Frame, qtest::Sequence{depth, width, height, index + 1}, index};
}

// One instance's life: two sizes and both formats, start and end, and frames
// after a deinit (the record restores its defaults and builds everything anew).
const std::vector<Step> kLifecycle = {
    {Step::Start},         frame(32, 40, 24, 0), frame(32, 40, 24, 1), frame(32, 40, 24, 2),
    frame(32, 56, 20, 0),  frame(32, 56, 20, 1), frame(16, 40, 24, 0),  frame(16, 40, 24, 1),
    {Step::End},           frame(32, 40, 24, 3), {Step::Deinit},        frame(32, 40, 24, 4),
    frame(16, 22, 18, 0),
};

struct FrameResult {
    std::vector<uint8_t> input;
    std::vector<uint8_t> output;
    int depth = 0;
    bool guardsIntact = false;
    // The noise profile this frame needed failed, and the frame was filtered
    // with the fallback noise level instead, as designed.
    bool profileFellBack = false;
};

// Runs the steps with one instance of the module, then deinit and unload;
// afterStep() is called after each step.
std::vector<FrameResult> runLifecycle(const char* path, const std::vector<Step>& steps,
                                      const std::function<void()>& afterStep = [] {}) {
    std::vector<FrameResult> results;
    DrivenFilter f;
    if (!f.loadPath(path)) {
        ADD_FAILURE() << f.module->error;
        return results;
    }
    for (const Step& step : steps) {
        if (step.kind == Step::Start) modhost::CallStart(&f.inst);
        if (step.kind == Step::End) modhost::CallEnd(&f.inst);
        if (step.kind == Step::Deinit) modhost::CallDeinit(&f.inst);
        if (step.kind == Step::Frame) {
            const qtest::Sequence& s = step.sequence;
            FrameResult r;
            r.depth = s.depth;
            r.input = qtest::MakeFrame(s, step.index);
            GuardedBuffer src(r.input), dst(r.input.size());
            // A record without its marker gets its defaults, noise unknown, first.
            const bool unknownNoise = f.fd()->marker != kNRMarker || f.fd()->params.sigmaY < 0.5f;
            f.run(src, dst, s.depth, s.width, s.height, qtest::RowBytes(s), qtest::RowBytes(s));
            r.output = dst.body();
            r.guardsIntact = dst.guardsIntact();
            r.profileFellBack = unknownNoise && f.fd()->params.sigmaY == 6.0f && r.output != r.input;
            results.push_back(std::move(r));
        }
        afterStep();
    }
    return results;
}

// What a frame that passed through may hold: its input, or for YUY2 the
// input staged as BGRA and converted back, when the GPU failed after staging.
bool passedThrough(const FrameResult& r, const qtest::Sequence& s) {
    return r.output == r.input || (r.depth == 16 && r.output == RoundTripYUY2(r.input, s.width, s.height));
}

const std::vector<FrameResult>& cpuReference() {
    static const std::vector<FrameResult> reference = runLifecycle(QUELMAR_CPU_MODULE, kLifecycle);
    return reference;
}

class CudaModule : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.resolve()) << "the simulated driver is not on the loader's path";
        ASSERT_EQ(sim.quelmarSimReset(EmulatedMachine().c_str()), 1);
    }
    // Nothing of the module is left in the driver.
    void expectBalanced(const std::string& when) {
        EXPECT_EQ(sim.quelmarSimTakeViolations(), 0) << when;
        EXPECT_EQ(sim.quelmarSimContextDepth(), 0) << when << ": a context stayed current";
        EXPECT_EQ(sim.quelmarSimRetains(0), 0) << when;
        EXPECT_EQ(sim.quelmarSimLiveAllocations(), 0) << when;
        EXPECT_EQ(sim.quelmarSimLiveStreams(), 0) << when;
        EXPECT_EQ(sim.quelmarSimLiveModules(), 0) << when;
    }
    SimControl sim;
};

TEST_F(CudaModule, FiltersExactlyAsTheCpuModuleDoesOverAWholeLife) {
    const std::vector<FrameResult> cuda = runLifecycle(QUELMAR_CUDA_MODULE, kLifecycle);
    const std::vector<FrameResult>& cpu = cpuReference();
    ASSERT_EQ(cuda.size(), cpu.size());
    for (std::size_t i = 0; i < cuda.size(); ++i) {
        EXPECT_TRUE(cuda[i].guardsIntact) << "frame " << i;
        EXPECT_EQ(cuda[i].output, cpu[i].output) << "frame " << i;
        EXPECT_NE(cuda[i].output, cuda[i].input) << "frame " << i << " was filtered";
    }
    expectBalanced("after deinit and unload");
}

// The module hands the driver one image, the one the driver's own rule picks:
// for sm_87 the machine code for sm_86 (same major, highest minor not above);
// and when the driver refuses that machine code, the PTX, which it compiles.
// Either way the frames come out as the CPU module's.
TEST_F(CudaModule, HandsTheDriverTheImageItWouldChooseAndThePtxWhenItRefuses) {
    const std::vector<Step> steps = {frame(32, 40, 24, 0), frame(32, 40, 24, 1)};
    const std::vector<FrameResult> cpu = runLifecycle(QUELMAR_CPU_MODULE, steps);
    const struct {
        std::string machine;
        const char* account;  // how the driver's account of the load begins
        int cubinLoads, ptxLoads;
    } cases[] = {
        {EmulatedMachine("", "8.7"), "sm_86 machine code", 1, 0},
        {EmulatedMachine("fail=cuModuleLoadData:1"), "compute_", 1, 1},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(sim.quelmarSimReset(c.machine.c_str()), 1) << c.machine;
        const std::vector<FrameResult> cuda = runLifecycle(QUELMAR_CUDA_MODULE, steps);
        ASSERT_EQ(cuda.size(), cpu.size()) << c.machine;
        for (std::size_t i = 0; i < cuda.size(); ++i) {
            EXPECT_EQ(cuda[i].output, cpu[i].output) << c.machine << ", frame " << i;
            EXPECT_NE(cuda[i].output, cuda[i].input) << c.machine << ", frame " << i << " was filtered";
        }
        const std::string account = sim.quelmarSimLoadAccount();
        EXPECT_EQ(account.rfind(c.account, 0), 0u) << c.machine << ": " << account;
        EXPECT_EQ(sim.quelmarSimCalls("cuModuleLoadData"), c.cubinLoads) << c.machine;
        EXPECT_EQ(sim.quelmarSimCalls("cuModuleLoadDataEx"), c.ptxLoads) << c.machine;
        expectBalanced(c.machine);
    }
}

// Profiling runs on the first frame and again 48 frames later; both modules
// agree on the noise estimate that every later frame uses.
TEST_F(CudaModule, NoiseProfilesAgreeAcrossTheRefreshInterval) {
    std::vector<Step> steps;
    for (int i = 0; i < 51; ++i) steps.push_back(frame(32, 16, 8, i % 7));
    const std::vector<FrameResult> cuda = runLifecycle(QUELMAR_CUDA_MODULE, steps);
    const std::vector<FrameResult> cpu = runLifecycle(QUELMAR_CPU_MODULE, steps);
    ASSERT_EQ(cuda.size(), cpu.size());
    for (std::size_t i = 0; i < cuda.size(); ++i) EXPECT_EQ(cuda[i].output, cpu[i].output) << "frame " << i;
    expectBalanced("after 51 frames");
}

TEST_F(CudaModule, InstancesOnSeveralThreads) {
    const qtest::Sequence a{32, 48, 32, 4}, b{16, 30, 20, 4};
    modhost::Module cpu{}, cuda{};
    ASSERT_TRUE(modhost::LoadModule(&cpu, QUELMAR_CPU_MODULE));
    ASSERT_TRUE(modhost::LoadModule(&cuda, QUELMAR_CUDA_MODULE));
    std::vector<uint8_t> outA, outB;
    std::thread first([&] { outA = qtest::FilterSequence(&cuda, a); });
    std::thread second([&] { outB = qtest::FilterSequence(&cuda, b); });
    first.join();
    second.join();
    EXPECT_EQ(outA, qtest::FilterSequence(&cpu, a));
    EXPECT_EQ(outB, qtest::FilterSequence(&cpu, b));
    modhost::UnloadModule(&cuda);
    modhost::UnloadModule(&cpu);
    expectBalanced("after both instances");
}

// Every call of every entry point the backend uses, failing in turn: the
// frames before it are filtered as always; the frame it hits passes through
// unchanged, or comes out as if nothing had failed (a failure the filter need
// not care about), or, when only its noise profile failed, is filtered with
// the fallback noise level; no frame is written outside its bitmap, the
// driver sees no misuse, no context stays current, and after deinit and
// unload nothing is left (but the one retain a refused release leaves).
TEST_F(CudaModule, EveryInjectedDriverFailurePassesItsFrameThroughCleanly) {
#define QUELMAR_ENTRY_NAME(member, symbol, ...) #symbol,
    const std::vector<std::string> entries = {cudrv::kGetProcAddressSymbol,
                                              QUELMAR_CUDA_ENTRY_POINTS(QUELMAR_ENTRY_NAME)
                                                  QUELMAR_CUDA_OPTIONAL_ENTRY_POINTS(QUELMAR_ENTRY_NAME)};
#undef QUELMAR_ENTRY_NAME
    // Calls of each entry point up to the end of each step, in a run without failures.
    std::vector<std::map<std::string, int>> callsAfter;
    runLifecycle(QUELMAR_CUDA_MODULE, kLifecycle, [&] {
        std::map<std::string, int> calls;
        for (const std::string& e : entries) calls[e] = sim.quelmarSimCalls(e.c_str());
        callsAfter.push_back(calls);
    });
    std::map<std::string, int> totals;  // deinit and unload included
    for (const std::string& e : entries) totals[e] = sim.quelmarSimCalls(e.c_str());
    const std::vector<FrameResult>& reference = cpuReference();
    int points = 0;
    for (const std::string& entry : entries) {
        for (int n = 1; n <= totals[entry]; ++n, ++points) {
            // One CPU thread per launch: these frames are tiny, and there are many.
            ASSERT_EQ(sim.quelmarSimReset(EmulatedMachine("workers=1").c_str()), 1);
            sim.quelmarSimFailCall(entry.c_str(), n);
            const std::vector<FrameResult> results = runLifecycle(QUELMAR_CUDA_MODULE, kLifecycle);
            const std::string where = entry + " failing at call " + std::to_string(n);
            ASSERT_EQ(results.size(), reference.size()) << where;
            std::size_t frameIndex = 0;
            for (std::size_t s = 0; s < kLifecycle.size(); ++s) {
                if (kLifecycle[s].kind != Step::Frame) continue;
                const FrameResult& r = results[frameIndex];
                const bool before = callsAfter[s][entry] < n;
                const bool hit = !before && (s == 0 || callsAfter[s - 1][entry] < n);
                EXPECT_TRUE(r.guardsIntact) << where << ", frame " << frameIndex;
                if (before) {
                    EXPECT_EQ(r.output, reference[frameIndex].output) << where << ", frame " << frameIndex;
                }
                if (hit) {
                    EXPECT_TRUE(passedThrough(r, kLifecycle[s].sequence) || r.profileFellBack ||
                                r.output == reference[frameIndex].output)
                        << where << ", frame " << frameIndex;
                }
                ++frameIndex;
            }
            const bool releaseRefused = entry == "cuDevicePrimaryCtxRelease_v2";
            EXPECT_EQ(sim.quelmarSimTakeViolations(), 0) << where;
            EXPECT_EQ(sim.quelmarSimContextDepth(), 0) << where;
            EXPECT_EQ(sim.quelmarSimRetains(0), releaseRefused ? 1 : 0) << where;
            EXPECT_EQ(sim.quelmarSimLiveAllocations() + sim.quelmarSimLiveStreams() +
                          sim.quelmarSimLiveModules(), 0) << where;
            if (HasFailure()) return;
        }
    }
    EXPECT_GT(points, 200) << "every entry point the backend resolves, each call of a whole life";
}

}  // namespace
