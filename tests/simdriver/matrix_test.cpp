// Which GPUs and drivers the shipped CUDA module serves: on every emulated
// board and driver branch it either filters exactly as the CPU module does,
// with the image the table names, or passes every frame through unchanged,
// for the reason the table names. The tables are the README's support table.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <iterator>
#include <string>
#include <vector>

#include "tests/simdriver/control.h"
#include "tests/support/sequences.h"

namespace {

// What a combination gets: machine code for an architecture ("sm_60"), the
// PTX compiled by the driver ("PTX"), or nothing, because the driver build
// does not list the board ("unlisted"), refuses every image this build has
// for its release ("old driver"), or no image fits the GPU ("no image").
constexpr const char* kDrivers[] = {"R525", "R535", "R550", "R560", "R570", "R575", "R580", "R590"};
constexpr int kDriverCount = static_cast<int>(std::size(kDrivers));

struct Row {
    const char* gpu;  // devices=: a compute capability (the generation's first board) or a board
    const char* outcome[kDriverCount];
};

#define UNLISTED "unlisted"
#define OLD "old driver"
#define NONE "no image"

// A build with ptxas 12.8: cubins made by CUDA 12.8 for each generation from
// Pascal, ISA 8.7 PTX for compute_60. 12.x cubins load from R525 on; the PTX
// needs R570; R590 lists no Maxwell, Pascal or Volta board.
constexpr Row kFullBuild[] = {
    {"5.0", {NONE, NONE, NONE, NONE, NONE, NONE, NONE, UNLISTED}},
    {"6.0", {"sm_60", "sm_60", "sm_60", "sm_60", "sm_60", "sm_60", "sm_60", UNLISTED}},
    {"6.1", {"sm_60", "sm_60", "sm_60", "sm_60", "sm_60", "sm_60", "sm_60", UNLISTED}},
    {"7.0", {"sm_70", "sm_70", "sm_70", "sm_70", "sm_70", "sm_70", "sm_70", UNLISTED}},
    {"7.5", {"sm_75", "sm_75", "sm_75", "sm_75", "sm_75", "sm_75", "sm_75", "sm_75"}},
    {"8.0", {"sm_80", "sm_80", "sm_80", "sm_80", "sm_80", "sm_80", "sm_80", "sm_80"}},
    {"8.6", {"sm_86", "sm_86", "sm_86", "sm_86", "sm_86", "sm_86", "sm_86", "sm_86"}},
    {"8.9", {"sm_89", "sm_89", "sm_89", "sm_89", "sm_89", "sm_89", "sm_89", "sm_89"}},
    {"9.0", {"sm_90", "sm_90", "sm_90", "sm_90", "sm_90", "sm_90", "sm_90", "sm_90"}},
    {"10.0", {UNLISTED, UNLISTED, UNLISTED, UNLISTED, "sm_100", "sm_100", "sm_100", "sm_100"}},
    {"10.3", {UNLISTED, UNLISTED, UNLISTED, UNLISTED, UNLISTED, "sm_100", "sm_100", "sm_100"}},
    {"11.0", {UNLISTED, UNLISTED, UNLISTED, UNLISTED, UNLISTED, UNLISTED, "PTX", "PTX"}},
    {"12.0", {UNLISTED, UNLISTED, UNLISTED, UNLISTED, "sm_120", "sm_120", "sm_120", "sm_120"}},
    {"12.1", {UNLISTED, UNLISTED, UNLISTED, UNLISTED, UNLISTED, "sm_120", "sm_120", "sm_120"}},
    {"rtx5050", {UNLISTED, UNLISTED, UNLISTED, UNLISTED, UNLISTED, UNLISTED, "sm_120", "sm_120"}},
};

// A build with nvcc alone: CUDA 13.0 cubins from Turing on and ISA 9.0 PTX
// for compute_75, all of which need R580.
constexpr Row kNvccOnlyBuild[] = {
    {"5.0", {NONE, NONE, NONE, NONE, NONE, NONE, NONE, UNLISTED}},
    {"6.0", {NONE, NONE, NONE, NONE, NONE, NONE, NONE, UNLISTED}},
    {"6.1", {NONE, NONE, NONE, NONE, NONE, NONE, NONE, UNLISTED}},
    {"7.0", {NONE, NONE, NONE, NONE, NONE, NONE, NONE, UNLISTED}},
    {"7.5", {OLD, OLD, OLD, OLD, OLD, OLD, "sm_75", "sm_75"}},
    {"8.0", {OLD, OLD, OLD, OLD, OLD, OLD, "sm_80", "sm_80"}},
    {"8.6", {OLD, OLD, OLD, OLD, OLD, OLD, "sm_86", "sm_86"}},
    {"8.9", {OLD, OLD, OLD, OLD, OLD, OLD, "sm_89", "sm_89"}},
    {"9.0", {OLD, OLD, OLD, OLD, OLD, OLD, "sm_90", "sm_90"}},
    {"10.0", {UNLISTED, UNLISTED, UNLISTED, UNLISTED, OLD, OLD, "sm_100", "sm_100"}},
    {"10.3", {UNLISTED, UNLISTED, UNLISTED, UNLISTED, UNLISTED, OLD, "sm_100", "sm_100"}},
    {"11.0", {UNLISTED, UNLISTED, UNLISTED, UNLISTED, UNLISTED, UNLISTED, "PTX", "PTX"}},
    {"12.0", {UNLISTED, UNLISTED, UNLISTED, UNLISTED, OLD, OLD, "sm_120", "sm_120"}},
    {"12.1", {UNLISTED, UNLISTED, UNLISTED, UNLISTED, UNLISTED, OLD, "sm_120", "sm_120"}},
    {"rtx5050", {UNLISTED, UNLISTED, UNLISTED, UNLISTED, UNLISTED, UNLISTED, "sm_120", "sm_120"}},
};

#undef UNLISTED
#undef OLD
#undef NONE

struct Combination {
    std::string gpu;
    std::string driver;
    std::string expected;
};

std::vector<Combination> combinations() {
    const bool full = std::string(QUELMAR_DEVICE_COVERAGE) == "r570";
    std::vector<Combination> all;
    for (const Row& r : full ? std::vector<Row>(std::begin(kFullBuild), std::end(kFullBuild))
                             : std::vector<Row>(std::begin(kNvccOnlyBuild), std::end(kNvccOnlyBuild))) {
        for (int i = 0; i < kDriverCount; ++i) all.push_back({r.gpu, kDrivers[i], r.outcome[i]});
    }
    // The RTX 5050 is listed from a late R575 build on, unlike other sm_120 boards.
    all.push_back({"rtx5050", "575.64", full ? "sm_120" : "old driver"});
    return all;
}

// Two sizes, each profiled on its first frame. (BGRA: a frame that passes
// through after a GPU failure is byte for byte the input only in BGRA; the
// module tests cover YUY2.)
const qtest::Sequence kSequences[] = {{32, 40, 24, 3}, {32, 35, 17, 2}};

std::vector<uint8_t> filterAll(const char* path, std::vector<uint8_t>* inputs) {
    modhost::Module m{};
    if (!modhost::LoadModule(&m, path)) {
        ADD_FAILURE() << m.error;
        return {};
    }
    const std::vector<uint8_t> outputs = qtest::FilterSequences(&m, kSequences, inputs);
    modhost::UnloadModule(&m);
    return outputs;
}

const std::vector<uint8_t>& cpuOutputs() {
    static const std::vector<uint8_t> outputs = filterAll(QUELMAR_CPU_MODULE, nullptr);
    return outputs;
}

class SupportMatrix : public ::testing::TestWithParam<Combination> {};

TEST_P(SupportMatrix, FiltersExactlyWhereClaimedAndSaysWhyElsewhere) {
    const Combination& c = GetParam();
    SimControl sim;
    ASSERT_TRUE(sim.resolve()) << "the simulated driver is not loaded";
    const std::string machine = "devices=" + c.gpu + " driver=" + c.driver;
    ASSERT_EQ(sim.quelmarSimReset(machine.c_str()), 1);

    std::vector<uint8_t> inputs;
    const std::vector<uint8_t> outputs = filterAll(QUELMAR_CUDA_MODULE, &inputs);
    ASSERT_EQ(dlopen(QUELMAR_CUDA_MODULE, RTLD_NOW | RTLD_NOLOAD), nullptr) << "the module stayed loaded";
    const std::string account = sim.quelmarSimLoadAccount();
    const std::string& want = c.expected;
    const bool coverageR570 = std::string(QUELMAR_DEVICE_COVERAGE) == "r570";
    if (want == "unlisted" || want == "old driver" || want == "no image") {
        EXPECT_EQ(outputs, inputs) << "every frame passes through unchanged";
        if (want == "unlisted") {
            EXPECT_NE(account.find(" does not list "), std::string::npos) << account;
        } else if (want == "old driver") {
            // The cubin refused for its maker's release, then the PTX for its ISA.
            EXPECT_NE(account.find("reads PTX up to ISA"), std::string::npos) << account;
            EXPECT_GT(sim.quelmarSimCalls("cuModuleLoadData"), 0) << "the cubin first";
            EXPECT_GT(sim.quelmarSimCalls("cuModuleLoadDataEx"), 0) << "the PTX, with a log for the JIT's words";
        } else {
            // No image fits, so none is handed over, or the driver refuses what is.
            EXPECT_TRUE(account.empty() || account.find("does not run on") != std::string::npos ||
                        account.find("its target is higher") != std::string::npos)
                << account;
        }
    } else {
        EXPECT_EQ(outputs, cpuOutputs()) << "filtered exactly as the CPU module filters";
        const std::string ptx = coverageR570 ? "compute_60 PTX (ISA 8.7)" : "compute_75 PTX (ISA 9.0)";
        const std::string maker = coverageR570 ? "12.8" : QUELMAR_NVCC_RELEASE;
        const std::string image = want == "PTX" ? ptx : want + " machine code made by CUDA " + maker;
        EXPECT_EQ(account.rfind(image, 0), 0u) << account;
        // Machine code as it is; PTX with a log for the JIT's words.
        EXPECT_GT(sim.quelmarSimCalls(want == "PTX" ? "cuModuleLoadDataEx" : "cuModuleLoadData"), 0);
    }
    EXPECT_EQ(sim.quelmarSimTakeViolations(), 0);
    EXPECT_EQ(sim.quelmarSimRetains(0), 0);
    EXPECT_EQ(sim.quelmarSimLiveAllocations() + sim.quelmarSimLiveStreams() + sim.quelmarSimLiveModules(), 0);
}

std::string combinationName(const ::testing::TestParamInfo<Combination>& info) {
    std::string name = info.param.gpu + "_" + info.param.driver;
    for (char& ch : name) {
        if (ch == '.') ch = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(EmulatedGpusAndDrivers, SupportMatrix, ::testing::ValuesIn(combinations()),
                         combinationName);

}  // namespace
