// The build's emulated machine from the program's start, before the backend
// first reads the driver: it reads it once per process.
#include <gtest/gtest.h>

#include "tests/host/emulated_machine.h"
#include "tests/simdriver/control.h"

namespace {

class EmulatedMachineEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(quelmarSimReset(EmulatedMachine().c_str()), 1); }
};

const auto* const kMachine = ::testing::AddGlobalTestEnvironment(new EmulatedMachineEnvironment);

}  // namespace
