// Saying why the CUDA DLL cannot filter, as a user finds out: quelmar-info.exe
// run as a program, and the DLL's line on the Windows debug output, read the
// way debug-output viewers read it (the DBWIN buffer), once per instance. On
// each emulated machine where the DLL cannot filter both give the same reason.
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/simdriver/control.h"
#include "tests/simdriver/emulated_failures.h"
#include "tests/support/sequences.h"
#include "tests/support/text.h"
#include "tests/windows/win_host.h"
#include "tests/windows/wintest.h"

namespace {

using winhost::ModulePath;

constexpr const char* kReportPrefix = "Quelmar_CUDA.dll passes frames through unfiltered: ";
constexpr const char* kDebugPrefix = "Quelmar: frames pass through unfiltered: ";

// A debug-output viewer: takes each message written to the system-wide
// buffer while it listens.
class DebugOutput {
public:
    DebugOutput()
        : ready_(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY")),
          data_(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY")),
          mapping_(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBytes, L"DBWIN_BUFFER")),
          view_(mapping_ ? static_cast<const char*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, kBytes)) : nullptr),
          thread_([this] { Listen(); }) {}
    ~DebugOutput() {
        stop_ = true;
        thread_.join();
        if (view_) UnmapViewOfFile(view_);
        for (HANDLE h : {mapping_, data_, ready_}) {
            if (h) CloseHandle(h);
        }
    }
    bool listening() const { return ready_ && data_ && view_; }
    // The messages so far, each without its line break.
    std::vector<std::string> messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }

private:
    static constexpr DWORD kBytes = 4096;  // a process id, then the text
    void Listen() {
        if (!listening()) return;
        SetEvent(ready_);
        while (!stop_) {
            if (WaitForSingleObject(data_, 20) != WAIT_OBJECT_0) continue;
            std::string text(view_ + sizeof(DWORD), strnlen(view_ + sizeof(DWORD), kBytes - sizeof(DWORD)));
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                messages_.push_back(text);
            }
            SetEvent(ready_);
        }
    }
    HANDLE ready_, data_, mapping_;
    const char* view_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> messages_;
    std::thread thread_;
};

struct ProgramRun {
    DWORD exitCode = 9999;
    std::string output;
};

// Runs quelmar-info.exe with the simulated driver emulating the machine (when
// given), its standard output read through a pipe.
ProgramRun RunQuelmarInfo(const char* machine) {
    ProgramRun run;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return run;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = nullptr;
    std::string command(1, '"');
    command += ModulePath("quelmar-info.exe") + '"';
    SetEnvironmentVariableA("QUELMAR_SIMDRIVER", machine);
    PROCESS_INFORMATION process{};
    const bool started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &process);
    SetEnvironmentVariableA("QUELMAR_SIMDRIVER", nullptr);
    CloseHandle(writeEnd);
    char chunk[4096];
    for (DWORD n = 0; started && ReadFile(readEnd, chunk, sizeof chunk, &n, nullptr) && n > 0;) {
        run.output.append(chunk, n);
    }
    CloseHandle(readEnd);
    if (!started) return run;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}

using qtest::WordsAfter;

// An injected failure hits one call of its entry point: each instance gets
// one, as a failure that persists would give it.
void ArmInjectedFailure(SimControl* sim, const char* machine) {
    const std::string description = machine ? machine : "";
    const std::size_t at = description.find("fail="), colon = description.rfind(':');
    if (sim == nullptr || at == std::string::npos || colon == std::string::npos) return;
    sim->quelmarSimFailCall(description.substr(at + 5, colon - at - 5).c_str(), 1);
}

// Two instances of the DLL, each running frames of the report's trial size:
// every frame passes through, and each instance writes one line.
void CheckModuleSays(const std::string& reported, SimControl* sim, const char* machine) {
    DebugOutput debug;
    WT_REQUIRE(debug.listening());
    static modhost::Module m;
    m = modhost::Module{};
    WT_REQUIRE(modhost::LoadModule(&m, ModulePath("Quelmar_CUDA.dll").c_str()));
    const qtest::Sequence s{32, emulated::kWidth, emulated::kHeight, 2};
    for (int instance = 0; instance < 2; ++instance) {
        if (instance > 0) ArmInjectedFailure(sim, machine);
        std::vector<uint8_t> inputs;
        WT_CHECK(qtest::FilterSequence(&m, s, &inputs) == inputs);
    }
    modhost::UnloadModule(&m);
    Sleep(100);  // the last message may still be on its way to the viewer
    const std::vector<std::string> messages = debug.messages();
    WT_CHECK_EQ(messages.size(), std::size_t{2});
    for (const std::string& message : messages) WT_CHECK_EQ(message, kDebugPrefix + reported);
}

void CheckReportAndModuleAgree(const emulated::Failure& failure, SimControl* sim = nullptr) {
    const ProgramRun info = RunQuelmarInfo(failure.machine);
    WT_CHECK_EQ(info.exitCode, DWORD{1});
    const std::string reported = WordsAfter(info.output, kReportPrefix);
    WT_CHECK_EQ(reported.substr(0, failure.why.size()), failure.why);
    WT_CHECK(info.output.find("Quelmar_CPU.dll filters on the processor instead") != std::string::npos);
    CheckModuleSays(reported, sim, failure.machine);
    if (wintest::CurrentFailed()) std::printf("  (%s)\n%s\n", failure.name, info.output.c_str());
}

std::vector<emulated::Failure> Failures() { return emulated::Failures(QUELMAR_DEVICE_COVERAGE, "nvcuda.dll"); }

// No nvcuda.dll in the system directory.
WT_CASE(quelmar_info_and_module_say_there_is_no_driver) {
    for (const emulated::Failure& failure : Failures()) {
        if (failure.machine == nullptr) CheckReportAndModuleAgree(failure);
    }
}

// The simulated nvcuda.dll in the system directory, emulating each machine
// for quelmar-info.exe (through its environment) and for the DLL (reset here).
WT_CASE(quelmar_info_and_module_agree_on_every_emulated_failure) {
    SimControl sim;
    WT_REQUIRE(sim.resolve());
    for (const emulated::Failure& failure : Failures()) {
        if (failure.machine == nullptr) continue;
        WT_REQUIRE(sim.quelmarSimReset(failure.machine) == 1);
        CheckReportAndModuleAgree(failure, &sim);
        WT_CHECK_EQ(sim.quelmarSimTakeViolations(), 0);
        if (wintest::CurrentFailed()) return;
    }
}

// Where the DLL filters, the program says so and exits 0.
WT_CASE(quelmar_info_says_where_the_module_filters) {
    const ProgramRun info = RunQuelmarInfo("devices=6.1,12.0 driver=570.86");
    WT_CHECK_EQ(info.exitCode, DWORD{0});
    for (const char* line :
         {"Driver:  NVIDIA R570 (CUDA 12.8)", "GPU 0:   Simulated GPU sm_61, compute capability 6.1, 8192 MiB",
          "GPU 1:   Simulated GPU sm_120, compute capability 12.0, 8192 MiB",
          "Quelmar_CUDA.dll filters on GPU 0 (Simulated GPU sm_61, compute capability 6.1)"}) {
        WT_CHECK(info.output.find(line) != std::string::npos);
    }
    if (wintest::CurrentFailed()) std::printf("%s\n", info.output.c_str());
}

}  // namespace
