// The Windows test host: loads a module DLL with LoadLibrary and drives it
// through the plug-in ABI as the real host does, recording what the module
// asks of the host. One module is active at a time (the host's function
// table carries no context).
#pragma once
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/abi.h"
#include "host/filter_data.h"

namespace winhost {

constexpr std::size_t kRecordBytes = 512;  // room for the host's tails of each record

struct Module {
    HMODULE library;
    FilterModuleInitProc initEntry;
    FilterModuleDeinitProc deinitEntry;
    alignas(16) unsigned char moduleRecord[kRecordBytes];
    alignas(16) unsigned char functionTable[kRecordBytes];
    FilterDefinition registered;  // the host's copy; its address is the handle
    bool isRegistered;
    int initResult;
    int version;
    int compatibility;
    int addFilterCalls;
    int removeFilterCalls;
    int initVTablesCalls;
    int lastDefinitionSize;
    FilterDefinition* lastRemoved;
};

// Path of a module DLL beside the test program.
std::string ModulePath(const char* fileName);

// LoadLibrary + the init entry point; false when the DLL or an entry is missing.
// A host may hand over a module record without the module's handle.
bool LoadModule(Module* m, const char* path, bool passModuleHandle = true);
void UnloadModule(Module* m);  // deinit entry point, then FreeLibrary

struct Instance {
    Module* module;
    FilterActivation* fa;
    FilterBitmap* src;
    FilterBitmap* dst;
    NRFilterData* data;
};

bool CreateInstance(Instance* inst, Module* m, FilterPreview* preview);
void DestroyInstance(Instance* inst);

void SetBitmap(FilterBitmap* bm, void* data, int depth, int w, int h, ptrdiff_t pitch);
int CallInit(Instance* inst);
int CallStart(Instance* inst);
int CallRun(Instance* inst);
int CallEnd(Instance* inst);
void CallDeinit(Instance* inst);
int CallConfig(Instance* inst, HWND parent);

// Runs frames on its own thread, as the host does for the preview while the
// dialog is open. Each frame is a fresh BGRA frame; the runner notes whether
// the output came back identical to the input.
struct FrameRunner {
    Instance* inst;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable changed;
    bool stop;
    bool paused;
    bool inFrame;
    long framesRun;
    bool lastPassedThrough;
};

void StartFrames(FrameRunner* r, Instance* inst);
bool PauseFrames(FrameRunner* r);   // false when a frame does not finish in time
void ResumeFrames(FrameRunner* r);
bool WaitForFrames(FrameRunner* r, long moreFrames);  // false on timeout
void StopFrames(FrameRunner* r);

}  // namespace winhost
