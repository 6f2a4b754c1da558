// The CPU executor as the Windows modules carry it (mingw-w64, with its own
// host library): every instruction-set build and worker count gives the bytes
// of the plain per-thread code, as on Linux.
#include <cstdio>
#include <string>

#include "tests/kernels/instruction_set_checks.h"
#include "tests/windows/wintest.h"

namespace {

WT_CASE(executor_builds_give_the_plain_codes_bytes) {
    std::string names;
    for (cpuexec::InstructionSet s : cpuexec::supportedInstructionSets()) names += std::string(" ") + cpuexec::instructionSetName(s);
    std::printf("  builds run on this processor:%s\n", names.c_str());
    WT_CHECK_EQ(ksets::checkFastExp(), std::string());
    WT_CHECK_EQ(ksets::checkProcess(), std::string());
    WT_CHECK_EQ(ksets::checkMotion(), std::string());
    WT_CHECK_EQ(ksets::checkMotionAtRightEdges(), std::string());
    WT_CHECK_EQ(ksets::checkProfile(), std::string());
}

}  // namespace
