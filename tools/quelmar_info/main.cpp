// quelmar-info.exe: whether Quelmar_CUDA.dll can filter on this computer, and
// if not why, for users (README.txt, section 4): the NVIDIA driver, each GPU,
// and what the module does here. Exit status 0 when it filters, 1 when it
// would pass frames through.
#include <windows.h>

#include <cstdio>

#include "gpu/diagnosis.h"

namespace {

// Started from Explorer, the program has a console window of its own, which
// would close before the report could be read.
void WaitWhenTheConsoleIsOurs() {
    DWORD processes[2];
    const bool ours = GetConsoleProcessList(processes, 2) == 1;
    const bool keyboard = GetFileType(GetStdHandle(STD_INPUT_HANDLE)) == FILE_TYPE_CHAR;
    if (!ours || !keyboard) return;
    std::printf("\nPress Enter to close this window.");
    std::fflush(stdout);
    std::getchar();
}

}  // namespace

int main() {
    const diag::Report report = diag::Diagnose();
    std::printf("Quelmar %s: GPU and driver check\n\n%s\nQuelmar_CUDA.dll %s\n", QUELMAR_VERSION,
                diag::FormatReport(report).c_str(), diag::Verdict(report).c_str());
    if (!report.filters) {
        std::printf("Quelmar_CPU.dll filters on the processor instead, more slowly (README.txt, section 3).\n");
    }
    std::fflush(stdout);
    WaitWhenTheConsoleIsOurs();
    return report.filters ? 0 : 1;
}
