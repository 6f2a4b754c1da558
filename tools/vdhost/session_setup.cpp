#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "modes.h"

volatile std::sig_atomic_t g_interrupted = 0;

int Fail(const std::string& message) {
    std::fprintf(stderr, "vdhost: %s\n", message.c_str());
    return 1;
}

bool OpenSessionForFrames(const VdhostOptions& options, int width, int height, FilterSession& session,
                          std::string& error) {
    std::string reason;
    std::string path = ChooseModule(options.modulePath, reason);
    std::fprintf(stderr, "vdhost: module %s (%s)\n", path.c_str(), reason.c_str());
    bool gpuReady = false;
    if (!OpenFilterSession(session, path, options.settings, error) ||
        !StartFilterSession(session, width, height, gpuReady, error)) {
        return false;
    }
    if (!gpuReady) {
        std::fprintf(stderr, "vdhost: the module has no usable device; frames pass through unfiltered\n");
    }
    return true;
}

double NowSeconds() {
    using Clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

void ShowProgress(ProgressLine& progress, long frames, bool final) {
    double now = NowSeconds();
    // A terminal gets a line redrawn in place; a log gets only the last state.
    static const bool toTerminal = isatty(STDERR_FILENO) == 1;
    if (!final && (!toTerminal || now - progress.lastShownSeconds < 0.5)) return;
    double elapsed = now - progress.startSeconds;
    double fps = elapsed > 0.0 ? frames / elapsed : 0.0;
    std::fprintf(stderr, "%svdhost: %ld frames, %.1f fps%s", toTerminal ? "\r" : "", frames, fps,
                 final ? "\n" : "");
    std::fflush(stderr);
    progress.lastShownSeconds = now;
    progress.shown = true;
}
