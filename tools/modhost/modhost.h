// A small test host: loads a filter module and drives it through the plug-in
// ABI the way the real host does (LoadLibraryW on Windows).
// Used by vdhost, the module's end-to-end tests and the Windows test host.
#pragma once
#include <cstddef>
#include <cstdint>

#include "host/abi.h"

namespace modhost {

// Everything the module asked of the host, for tests to check.
struct HostCalls {
    int addFilter;
    int removeFilter;
    int initVTables;
    int lastDefinitionSize;              // size passed to add filter
    FilterModule* lastAddModule;         // module record passed to add filter
    FilterDefinition* lastRemoved;       // handle passed to remove filter
};

// Room the host gives each record beyond the part the module knows about.
constexpr std::size_t kRecordBytes = 512;

struct Module {
    // Options, set before RegisterModule.
    bool failAddFilter;         // add filter returns null
    bool passNullModuleRecord;  // init entry point receives a null module record
    bool withoutModuleHandle;   // the module record carries no module handle

    void* library;  // from platform::OpenLibraryAt; null when the entry points were given directly
    FilterModuleInitProc initEntry;
    FilterModuleDeinitProc deinitEntry;

    // Host-owned records handed to the module (with room for the host's tail).
    alignas(16) unsigned char moduleRecord[kRecordBytes];
    alignas(16) unsigned char functionTable[kRecordBytes];
    FilterDefinition registered;  // the host's copy; its address is the handle
    bool isRegistered;
    int initResult;  // what the init entry point returned
    int version;
    int compatibility;
    HostCalls calls;
    char error[256];
};

struct Instance {
    Module* module;
    FilterActivation* fa;  // kRecordBytes, zero-filled
    FilterBitmap* src;     // kRecordBytes each, zero-filled
    FilterBitmap* dst;
    void* data;            // the instance record, of the declared size
    int dataSize;
};

// Loading. Paths are UTF-8. Open/attach only resolve the entry points; Register calls the init
// entry point and returns its result (or -1 when nothing is loaded).
bool OpenModule(Module* m, const char* path);
void AttachModule(Module* m, FilterModuleInitProc init, FilterModuleDeinitProc deinit);
int RegisterModule(Module* m);
void UnregisterModule(Module* m);  // calls the deinit entry point
void CloseModule(Module* m);       // unloads the library, when opened by path

// Open + Register (false with m->error set on any failure); Unregister + Close.
bool LoadModule(Module* m, const char* path);
void UnloadModule(Module* m);

FilterModule* ModuleRecord(Module* m);
const FilterFunctions* Functions(const Module* m);
const FilterDefinition* Definition(const Module* m);  // null until registered

// Instances: memory as the host allocates it; no callback is called.
bool CreateInstance(Instance* inst, Module* m);
void DestroyInstance(Instance* inst);

// A bitmap as the host describes a frame.
void SetBitmap(FilterBitmap* bm, void* data, int depth, int w, int h, ptrdiff_t pitch,
               ptrdiff_t offset = 0);

// Callbacks, through the registered definition. Missing callbacks return -1.
int CallInit(Instance* inst);
void CallDeinit(Instance* inst);
long CallParam(Instance* inst);
int CallStart(Instance* inst);
int CallEnd(Instance* inst);
int CallRun(Instance* inst);
int CallConfig(Instance* inst, FilterWindow parent);

}  // namespace modhost
