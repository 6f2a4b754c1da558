// What the Windows tests add to the test host library: modules found beside
// the test program, instances with a preview interface, and a thread that
// runs frames while the dialog is open.
#pragma once
#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "host/abi.h"
#include "host/filter_data.h"
#include "tools/modhost/modhost.h"

namespace winhost {

// Path of a module DLL: in the folder given as --modules=FOLDER (an installed
// package), otherwise beside the test program.
std::string ModulePath(const char* fileName);

// An instance whose activation record hands the module this preview (or none).
bool CreateInstanceWithPreview(modhost::Instance* inst, modhost::Module* m, FilterPreview* preview);

// The instance record the module declared (NRFilterData for these modules).
NRFilterData* FilterData(const modhost::Instance* inst);

// Runs frames on its own thread, as the host does for the preview while the
// dialog is open. Each frame is a fresh BGRA frame; the runner notes whether
// the output came back identical to the input.
struct FrameRunner {
    modhost::Instance* inst;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable changed;
    bool stop;
    bool paused;
    bool inFrame;
    long framesRun;
    bool lastPassedThrough;
};

void StartFrames(FrameRunner* r, modhost::Instance* inst);
bool PauseFrames(FrameRunner* r);   // false when a frame does not finish in time
void ResumeFrames(FrameRunner* r);
bool WaitForFrames(FrameRunner* r, long moreFrames);  // false on timeout
void StopFrames(FrameRunner* r);

}  // namespace winhost
