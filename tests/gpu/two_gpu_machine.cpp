// The machine the context, pipeline and profiling tests run on: two GPUs, so
// that a context's device is seen, on the oldest driver that loads this
// build's device images.
#include "tests/gpu/gpu_test_support.h"
#include "tests/host/emulated_machine.h"

namespace {

const auto* const kMachine =
    ::testing::AddGlobalTestEnvironment(new gputest::SimulatedMachine(EmulatedMachine("", "12.0,8.6")));

}  // namespace
