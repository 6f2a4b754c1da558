// Which GPUs and drivers the shipped CUDA module serves: on every emulated
// combination it either filters exactly as the CPU module does, with the
// image the table names, or passes every frame through unchanged, for the
// reason the table names. The table is the README's support table.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>
#include <vector>

#include "tests/simdriver/control.h"
#include "tests/support/sequences.h"

namespace {

// What a combination gets: machine code for an architecture ("sm_60"), the PTX
// compiled by the driver ("PTX"), or nothing, because the driver does not know
// the GPU ("unknown GPU") or no image fits ("no image").
struct Row {
    int cc;
    const char* r570;
    const char* r575;
    const char* r580;
};

// A build with ptxas 12.8: machine code made by CUDA 12.8 for each
// generation, ISA 8.7 PTX for compute_60.
constexpr Row kFullBuild[] = {
    {60, "sm_60", "sm_60", "sm_60"},        {61, "sm_60", "sm_60", "sm_60"},
    {70, "sm_70", "sm_70", "sm_70"},        {75, "sm_75", "sm_75", "sm_75"},
    {80, "sm_80", "sm_80", "sm_80"},        {86, "sm_86", "sm_86", "sm_86"},
    {89, "sm_89", "sm_89", "sm_89"},        {90, "sm_90", "sm_90", "sm_90"},
    {100, "sm_100", "sm_100", "sm_100"},    {103, "unknown GPU", "sm_100", "sm_100"},
    {110, "unknown GPU", "unknown GPU", "PTX"}, {120, "sm_120", "sm_120", "sm_120"},
    {121, "unknown GPU", "sm_120", "sm_120"},
};

// A build with nvcc alone: everything is CUDA 13 output, for Turing on.
constexpr Row kNvccOnlyBuild[] = {
    {60, "no image", "no image", "no image"},     {61, "no image", "no image", "no image"},
    {70, "no image", "no image", "no image"},     {75, "no image", "no image", "sm_75"},
    {80, "no image", "no image", "sm_80"},        {86, "no image", "no image", "sm_86"},
    {89, "no image", "no image", "sm_89"},        {90, "no image", "no image", "sm_90"},
    {100, "no image", "no image", "sm_100"},      {103, "unknown GPU", "no image", "sm_100"},
    {110, "unknown GPU", "unknown GPU", "PTX"},   {120, "no image", "no image", "sm_120"},
    {121, "unknown GPU", "no image", "sm_120"},
};

struct Combination {
    int cc;
    int driver;
    std::string expected;
};

std::vector<Combination> combinations() {
    const bool full = std::string(QUELMAR_DEVICE_COVERAGE) == "r570";
    std::vector<Combination> all;
    for (const Row& r : full ? std::vector<Row>(std::begin(kFullBuild), std::end(kFullBuild))
                             : std::vector<Row>(std::begin(kNvccOnlyBuild), std::end(kNvccOnlyBuild))) {
        all.push_back({r.cc, 570, r.r570});
        all.push_back({r.cc, 575, r.r575});
        all.push_back({r.cc, 580, r.r580});
    }
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
    const std::string machine = "devices=" + std::to_string(c.cc / 10) + "." + std::to_string(c.cc % 10) +
                                " driver=" + std::to_string(c.driver) + ".10";
    ASSERT_EQ(sim.quelmarSimReset(machine.c_str()), 1);

    std::vector<uint8_t> inputs;
    const std::vector<uint8_t> outputs = filterAll(QUELMAR_CUDA_MODULE, &inputs);
    ASSERT_EQ(dlopen(QUELMAR_CUDA_MODULE, RTLD_NOW | RTLD_NOLOAD), nullptr) << "the module stayed loaded";
    const std::string account = sim.quelmarSimLoadAccount();
    const std::string& want = c.expected;
    if (want == "unknown GPU" || want == "no image") {
        EXPECT_EQ(outputs, inputs) << "every frame passes through unchanged";
        const char* reason = want == "no image" ? "no image loads on sm_" : " does not support sm_";
        EXPECT_NE(account.find(reason), std::string::npos) << account;
    } else {
        EXPECT_EQ(outputs, cpuOutputs()) << "filtered exactly as the CPU module filters";
        const std::string image = want == "PTX" ? "compute_" : want + " machine code";
        EXPECT_EQ(account.rfind(image, 0), 0u) << account;
    }
    EXPECT_EQ(sim.quelmarSimTakeViolations(), 0);
    EXPECT_EQ(sim.quelmarSimRetains(0), 0);
    EXPECT_EQ(sim.quelmarSimLiveAllocations() + sim.quelmarSimLiveStreams() + sim.quelmarSimLiveModules(), 0);
}

std::string combinationName(const ::testing::TestParamInfo<Combination>& info) {
    return "sm_" + std::to_string(info.param.cc) + "_R" + std::to_string(info.param.driver);
}

INSTANTIATE_TEST_SUITE_P(EmulatedGpusAndDrivers, SupportMatrix, ::testing::ValuesIn(combinations()),
                         combinationName);

}  // namespace
