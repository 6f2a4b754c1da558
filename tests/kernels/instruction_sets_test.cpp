// The executor's builds for each instruction set the processor has, and every
// worker count, against the plain per-thread code: the same bytes. A build the
// processor lacks is left out (and named); the baseline always runs.
#include <gtest/gtest.h>

#include "instruction_set_checks.h"

namespace {

class InstructionSets : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string names;
        for (cpuexec::InstructionSet s : cpuexec::supportedInstructionSets()) names += std::string(" ") + cpuexec::instructionSetName(s);
        std::printf("builds run on this processor:%s\n", names.c_str());
    }
};

TEST_F(InstructionSets, OnlySupportedBuildsCanBeChosen) {
    EXPECT_TRUE(cpuexec::instructionSetSupported(cpuexec::InstructionSet::Baseline));
    const cpuexec::InstructionSet chosen = cpuexec::instructionSetInUse();
    EXPECT_TRUE(cpuexec::instructionSetSupported(chosen));
    for (cpuexec::InstructionSet s : {cpuexec::InstructionSet::Avx2, cpuexec::InstructionSet::Avx512}) {
        EXPECT_EQ(cpuexec::useInstructionSet(s), cpuexec::instructionSetSupported(s));
        if (!cpuexec::instructionSetSupported(s)) {
            EXPECT_NE(cpuexec::instructionSetInUse(), s);
        }
    }
    cpuexec::useInstructionSet(chosen);
}

TEST_F(InstructionSets, ProcessGivesThePlainCodesBytes) { EXPECT_EQ(ksets::checkProcess(), ""); }

TEST_F(InstructionSets, MotionSearchGivesTheSameVectors) {
    EXPECT_EQ(ksets::checkMotion(), "");
    EXPECT_EQ(ksets::checkMotionAtRightEdges(), "");
}

TEST_F(InstructionSets, ProfilingGivesTheSameSums) { EXPECT_EQ(ksets::checkProfile(), ""); }

TEST_F(InstructionSets, ExponentialGivesTheSameBits) { EXPECT_EQ(ksets::checkFastExp(), ""); }

}  // namespace
