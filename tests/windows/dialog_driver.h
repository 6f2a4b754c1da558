// Drives the module's real settings dialog from the test thread: the config
// callback runs its modal loop on a user-interface thread of its own, and the
// test sends that dialog what a user's clicks and keys would send. Every wait
// is bounded, so a dialog that hangs fails the case instead of the run.
#pragma once
#include <windows.h>

#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/abi.h"
#include "tests/windows/win_host.h"

namespace dialogdriver {

// A preview interface that records every call made to it.
struct PreviewCall {
    int entry;
    HWND window;        // the window argument, when the entry takes one
    bool dialogExists;  // whether the dialog was still a window at the call
    int dialogOpen;     // the record's dialogOpen at the call
};

struct PreviewLog {
    std::mutex mutex;
    std::vector<PreviewCall> calls;
    HWND dialog;  // learned from the init-button call (the button's parent)
    NRFilterData* watched;
};

struct RecordingPreview {
    FilterPreview iface;  // first: the module sees only this
    PreviewLog* log;
};

void InitRecordingPreview(RecordingPreview* p, PreviewLog* log, NRFilterData* watched);
std::vector<PreviewCall> CallsTo(PreviewLog* log, int entry);
void ClearCalls(PreviewLog* log);

struct DialogRun {
    std::thread ui;
    std::future<int> configResult;
    HWND dialog;
};

// Starts the config callback on a new thread and waits until its dialog is
// visible. False (and no dialog) when it does not appear in time.
bool OpenDialog(DialogRun* run, modhost::Instance* inst);
// Waits for the config callback to return; a dialog that does not end in time
// ends the whole test program, since its thread can no longer be joined.
int WaitForDialogEnd(DialogRun* run);

// What a user does.
void Click(HWND dialog, int id);
void TypeInto(HWND dialog, int id, const char* text);  // replaces the box's text
void PressKey(HWND dialog, int id, WPARAM virtualKey);

// What a user sees.
std::string ControlText(HWND dialog, int id);
int TrackbarPosition(HWND dialog, int id);
bool IsChecked(HWND dialog, int id);
bool IsEnabled(HWND dialog, int id);
// Waits (bounded) until a control's text equals `want`; returns the last text seen.
std::string WaitForText(HWND dialog, int id, const std::string& want);

// Saves what the screen shows of the window as a PNG.
bool SaveWindowPng(HWND window, const std::string& path);

}  // namespace dialogdriver
