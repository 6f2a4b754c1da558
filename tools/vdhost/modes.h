// The three things vdhost does; each returns the process exit code and has
// already told the user what went wrong when it is not 0.
#pragma once
#include <csignal>
#include <string>

#include "filter_session.h"
#include "options.h"

// Set by SIGINT/SIGTERM; the modes stop and clean up when they see it.
extern volatile std::sig_atomic_t g_interrupted;

int RunRawMode(const VdhostOptions& options);
int RunFileMode(const VdhostOptions& options);
int RunDemoMode(const VdhostOptions& options);

// Prints "vdhost: message" on stderr and returns the failure exit code.
int Fail(const std::string& message);

// Chooses and loads the module, says which on stderr, and starts one instance
// for frames of the given size; warns when frames will pass through.
bool OpenSessionForFrames(const VdhostOptions& options, int width, int height, FilterSession& session,
                          std::string& error);

// Progress on stderr, at most a few times a second.
struct ProgressLine {
    double startSeconds = 0.0;
    double lastShownSeconds = 0.0;  // set to startSeconds: the first line waits a little
    bool shown = false;
};
double NowSeconds();
void ShowProgress(ProgressLine& progress, long frames, bool final);
