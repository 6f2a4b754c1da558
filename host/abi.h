// The host's 64-bit video-filter plug-in ABI: our own declarations of the
// records it publishes, written from their documented layouts. Only the fields
// and entries the module uses are named; every offset is checked at compile
// time so that a layout slip fails the build on every compiler.
#pragma once
#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define QUELMAR_EXPORT extern "C" __declspec(dllexport)
#else
#define QUELMAR_EXPORT extern "C" __attribute__((visibility("default")))
#endif

static_assert(sizeof(void*) == 8, "the plug-in ABI is the 64-bit one");

// A window handle. Kept as void* on every platform; Windows code casts to HWND.
using FilterWindow = void*;

struct FilterModule;
struct FilterFunctions;
struct FilterDefinition;
struct FilterActivation;
struct FilterBitmap;
struct FilterPreview;

// Host function table entries the module calls.
using FilterAddFn = FilterDefinition* (*)(FilterModule* module, FilterDefinition* definition,
                                          int definitionSize);
using FilterRemoveFn = void (*)(FilterDefinition* registered);
using FilterQueryFn = bool (*)();
struct FilterVTables;
using FilterInitVTablesFn = void (*)(FilterVTables* vtables);

// Filter callbacks. The param result is the SDK's `long`: 4 bytes on Windows,
// 8 on Linux; only its low 32 bits mean anything.
using FilterInitProc = int (*)(FilterActivation* fa, const FilterFunctions* ff);
using FilterDeinitProc = void (*)(FilterActivation* fa, const FilterFunctions* ff);
using FilterRunProc = int (*)(const FilterActivation* fa, const FilterFunctions* ff);
using FilterParamProc = long (*)(FilterActivation* fa, const FilterFunctions* ff);
using FilterConfigProc = int (*)(FilterActivation* fa, const FilterFunctions* ff,
                                 FilterWindow parent);
using FilterStartProc = int (*)(FilterActivation* fa, const FilterFunctions* ff);
using FilterEndProc = int (*)(FilterActivation* fa, const FilterFunctions* ff);

// Module entry points, exported unmangled.
using FilterModuleInitProc = int (*)(FilterModule* module, const FilterFunctions* ff,
                                     int* version, int* compatibility);
using FilterModuleDeinitProc = void (*)(FilterModule* module, const FilterFunctions* ff);
inline constexpr const char kFilterModuleInitSymbol[] = "VirtualdubFilterModuleInit2";
inline constexpr const char kFilterModuleDeinitSymbol[] = "VirtualdubFilterModuleDeinit";

inline constexpr int kFilterDefinitionSize = 176;  // what add filter is told
inline constexpr int kFilterParamSeparateBuffers = 1;

// Host-owned module record; the host's own procedure pointers follow.
struct FilterModule {
    FilterModule* next;
    FilterModule* prev;
    void* moduleHandle;  // this module's instance handle (HINSTANCE on Windows)
};
static_assert(offsetof(FilterModule, next) == 0);
static_assert(offsetof(FilterModule, prev) == 8);
static_assert(offsetof(FilterModule, moduleHandle) == 16);

// Host-owned, read-only function table: entry n at offset 8n. Entries past 4
// (exception and query helpers) exist in the host's table but are never used.
struct FilterFunctions {
    FilterAddFn addFilter;            // 0
    FilterRemoveFn removeFilter;      // 1
    FilterQueryFn isFPUEnabled;       // 2
    FilterQueryFn isMMXEnabled;       // 3
    FilterInitVTablesFn initVTables;  // 4
};
static_assert(offsetof(FilterFunctions, addFilter) == 0);
static_assert(offsetof(FilterFunctions, removeFilter) == 8);
static_assert(offsetof(FilterFunctions, isFPUEnabled) == 16);
static_assert(offsetof(FilterFunctions, isMMXEnabled) == 24);
static_assert(offsetof(FilterFunctions, initVTables) == 32);
static_assert(sizeof(FilterFunctions) == 40);

// Filled by the host's init-vtables entry; the module never reads it.
struct FilterVTables {
    void* bitmapVTable;
};
static_assert(sizeof(FilterVTables) == 8);

// Module-owned filter definition, as handed to add filter (176 bytes).
struct FilterDefinition {
    FilterDefinition* next;
    FilterDefinition* prev;
    FilterModule* module;
    const char* name;
    const char* description;
    const char* maker;
    void* privateData;
    int32_t instanceDataSize;
    FilterInitProc init;
    FilterDeinitProc deinit;
    FilterRunProc run;
    FilterParamProc param;
    FilterConfigProc config;
    void* stringProc;
    FilterStartProc start;
    FilterEndProc end;
    void* scriptObject;
    void* scriptString;
    void* stringProc2;
    void* serialize;
    void* deserialize;
    void* copy;
};
static_assert(offsetof(FilterDefinition, next) == 0);
static_assert(offsetof(FilterDefinition, prev) == 8);
static_assert(offsetof(FilterDefinition, module) == 16);
static_assert(offsetof(FilterDefinition, name) == 24);
static_assert(offsetof(FilterDefinition, description) == 32);
static_assert(offsetof(FilterDefinition, maker) == 40);
static_assert(offsetof(FilterDefinition, privateData) == 48);
static_assert(offsetof(FilterDefinition, instanceDataSize) == 56);
static_assert(offsetof(FilterDefinition, init) == 64);
static_assert(offsetof(FilterDefinition, deinit) == 72);
static_assert(offsetof(FilterDefinition, run) == 80);
static_assert(offsetof(FilterDefinition, param) == 88);
static_assert(offsetof(FilterDefinition, config) == 96);
static_assert(offsetof(FilterDefinition, stringProc) == 104);
static_assert(offsetof(FilterDefinition, start) == 112);
static_assert(offsetof(FilterDefinition, end) == 120);
static_assert(offsetof(FilterDefinition, scriptObject) == 128);
static_assert(offsetof(FilterDefinition, scriptString) == 136);
static_assert(offsetof(FilterDefinition, stringProc2) == 144);
static_assert(offsetof(FilterDefinition, serialize) == 152);
static_assert(offsetof(FilterDefinition, deserialize) == 160);
static_assert(offsetof(FilterDefinition, copy) == 168);
static_assert(sizeof(FilterDefinition) == kFilterDefinitionSize);

// Host-owned bitmap record; flags, frame rate and more follow at 72.
struct FilterBitmap {
    void* reserved;
    void* data;
    void* palette;
    int32_t depth;  // bits per pixel
    int32_t w;
    int32_t h;
    ptrdiff_t pitch;   // the module uses its low 32 bits, signed
    ptrdiff_t modulo;
    ptrdiff_t size;
    ptrdiff_t offset;  // bytes from data to the first row
};
static_assert(offsetof(FilterBitmap, reserved) == 0);
static_assert(offsetof(FilterBitmap, data) == 8);
static_assert(offsetof(FilterBitmap, palette) == 16);
static_assert(offsetof(FilterBitmap, depth) == 24);
static_assert(offsetof(FilterBitmap, w) == 28);
static_assert(offsetof(FilterBitmap, h) == 32);
static_assert(offsetof(FilterBitmap, pitch) == 40);
static_assert(offsetof(FilterBitmap, modulo) == 48);
static_assert(offsetof(FilterBitmap, size) == 56);
static_assert(offsetof(FilterBitmap, offset) == 64);
static_assert(sizeof(FilterBitmap) == 72);

// Host-owned activation record; later additions follow at 80.
struct FilterActivation {
    FilterDefinition* filter;
    void* filterData;  // the instance record, of the size the definition declares
    FilterBitmap* dst;
    FilterBitmap* src;
    void* reserved;
    FilterBitmap* last;
    uint32_t x1, y1, x2, y2;
    void* frameStateInfo;
    FilterPreview* preview;  // null when the host offers none
};
static_assert(offsetof(FilterActivation, filter) == 0);
static_assert(offsetof(FilterActivation, filterData) == 8);
static_assert(offsetof(FilterActivation, dst) == 16);
static_assert(offsetof(FilterActivation, src) == 24);
static_assert(offsetof(FilterActivation, reserved) == 32);
static_assert(offsetof(FilterActivation, last) == 40);
static_assert(offsetof(FilterActivation, x1) == 48);
static_assert(offsetof(FilterActivation, y1) == 52);
static_assert(offsetof(FilterActivation, x2) == 56);
static_assert(offsetof(FilterActivation, y2) == 60);
static_assert(offsetof(FilterActivation, frameStateInfo) == 64);
static_assert(offsetof(FilterActivation, preview) == 72);
static_assert(sizeof(FilterActivation) == 80);

// The host's preview object, called through its table of entries with the
// object itself as the first argument; no dependency on the host's class.
using FilterPreviewSlot = void (*)();
struct FilterPreview {
    const FilterPreviewSlot* vtbl;
};
static_assert(offsetof(FilterPreview, vtbl) == 0);

enum FilterPreviewEntry : int {
    kPreviewSetButtonCallback = 0,
    kPreviewSetSampleCallback = 1,
    kPreviewIsEnabled = 2,
    kPreviewToggle = 3,
    kPreviewDisplay = 4,
    kPreviewRedoFrame = 5,
    kPreviewRedoSystem = 6,
    kPreviewUndoSystem = 7,
    kPreviewInitButton = 8,
    kPreviewClose = 9,
    kPreviewSampleCurrentFrame = 10,
    kPreviewSampleFrames = 11,
};

using FilterPreviewWindowFn = void (*)(FilterPreview* self, FilterWindow window);
using FilterPreviewPlainFn = void (*)(FilterPreview* self);

inline void PreviewToggle(FilterPreview* preview, FilterWindow dialog) {
    reinterpret_cast<FilterPreviewWindowFn>(preview->vtbl[kPreviewToggle])(preview, dialog);
}
inline void PreviewRedoFrame(FilterPreview* preview) {
    reinterpret_cast<FilterPreviewPlainFn>(preview->vtbl[kPreviewRedoFrame])(preview);
}
inline void PreviewInitButton(FilterPreview* preview, FilterWindow button) {
    reinterpret_cast<FilterPreviewWindowFn>(preview->vtbl[kPreviewInitButton])(preview, button);
}
inline void PreviewClose(FilterPreview* preview) {
    reinterpret_cast<FilterPreviewPlainFn>(preview->vtbl[kPreviewClose])(preview);
}

// The two entry points every module exports.
QUELMAR_EXPORT int VirtualdubFilterModuleInit2(FilterModule* module, const FilterFunctions* ff,
                                               int* version, int* compatibility);
QUELMAR_EXPORT void VirtualdubFilterModuleDeinit(FilterModule* module, const FilterFunctions* ff);
