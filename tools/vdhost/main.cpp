// vdhost: a command-line host for the filter module.
#include <signal.h>

#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "modes.h"
#include "module_choice.h"
#include "options.h"

namespace {

void OnInterrupt(int) { g_interrupted = 1; }

// Writing to a closed pipe must be an error we report, not a silent death;
// an interrupt must let us remove unfinished output first.
void InstallSignalHandlers(bool catchInterrupt) {
    signal(SIGPIPE, SIG_IGN);
    if (!catchInterrupt) return;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    VdhostOptions options;
    if (std::optional<int> exitNow = ParseOptions(args, options, std::cout, std::cerr)) return *exitNow;
    InstallSignalHandlers(options.mode == VdhostMode::File || options.mode == VdhostMode::Demo);
    switch (options.mode) {
        case VdhostMode::GpuInfo:
            return RunGpuInfo();
        case VdhostMode::Raw:
            return RunRawMode(options);
        case VdhostMode::File:
            return RunFileMode(options);
        case VdhostMode::Demo:
            return RunDemoMode(options);
    }
    return 1;
}
