#include "tests/windows/win_host.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "tests/windows/test_frames.h"

namespace winhost {
namespace {

Module* g_active = nullptr;

FilterDefinition* HostAddFilter(FilterModule*, FilterDefinition* definition, int size) {
    Module* m = g_active;
    if (!m) return nullptr;
    m->addFilterCalls++;
    m->lastDefinitionSize = size;
    if (!definition || size <= 0) return nullptr;
    const std::size_t bytes = static_cast<std::size_t>(size) < sizeof(FilterDefinition)
                                  ? static_cast<std::size_t>(size)
                                  : sizeof(FilterDefinition);
    std::memcpy(&m->registered, definition, bytes);
    m->isRegistered = true;
    return &m->registered;
}

void HostRemoveFilter(FilterDefinition* handle) {
    if (!g_active) return;
    g_active->removeFilterCalls++;
    g_active->lastRemoved = handle;
}

bool HostFalse() { return false; }

void HostInitVTables(FilterVTables* vtables) {
    if (g_active) g_active->initVTablesCalls++;
    if (vtables) vtables->bitmapVTable = nullptr;
}

constexpr auto kWaitLimit = std::chrono::seconds(20);

const testframes::Sequence kRunnerFrames{32, 64, 48, 8};

}  // namespace

std::string ModulePath(const char* fileName) {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path(self);
    const std::size_t slash = path.find_last_of("\\/");
    return path.substr(0, slash == std::string::npos ? 0 : slash + 1) + fileName;
}

bool LoadModule(Module* m, const char* path, bool passModuleHandle) {
    *m = Module{};
    m->library = LoadLibraryA(path);
    if (!m->library) return false;
    m->initEntry = reinterpret_cast<FilterModuleInitProc>(
        reinterpret_cast<void*>(GetProcAddress(m->library, kFilterModuleInitSymbol)));
    m->deinitEntry = reinterpret_cast<FilterModuleDeinitProc>(
        reinterpret_cast<void*>(GetProcAddress(m->library, kFilterModuleDeinitSymbol)));
    if (!m->initEntry || !m->deinitEntry) return false;

    auto* record = reinterpret_cast<FilterModule*>(m->moduleRecord);
    record->moduleHandle = passModuleHandle ? m->library : nullptr;
    auto* ff = reinterpret_cast<FilterFunctions*>(m->functionTable);
    ff->addFilter = &HostAddFilter;
    ff->removeFilter = &HostRemoveFilter;
    ff->isFPUEnabled = &HostFalse;
    ff->isMMXEnabled = &HostFalse;
    ff->initVTables = &HostInitVTables;

    g_active = m;
    m->version = -1;
    m->compatibility = -1;
    m->initResult = m->initEntry(record, ff, &m->version, &m->compatibility);
    return m->initResult == 0 && m->isRegistered;
}

void UnloadModule(Module* m) {
    if (m->deinitEntry)
        m->deinitEntry(reinterpret_cast<FilterModule*>(m->moduleRecord),
                       reinterpret_cast<FilterFunctions*>(m->functionTable));
    if (m->library) FreeLibrary(m->library);
    m->library = nullptr;
    if (g_active == m) g_active = nullptr;
}

bool CreateInstance(Instance* inst, Module* m, FilterPreview* preview) {
    *inst = Instance{};
    inst->module = m;
    inst->fa = static_cast<FilterActivation*>(std::calloc(1, kRecordBytes));
    inst->src = static_cast<FilterBitmap*>(std::calloc(1, kRecordBytes));
    inst->dst = static_cast<FilterBitmap*>(std::calloc(1, kRecordBytes));
    const int size = m->registered.instanceDataSize;
    inst->data = size > 0 ? static_cast<NRFilterData*>(std::calloc(1, static_cast<std::size_t>(size))) : nullptr;
    if (!inst->fa || !inst->src || !inst->dst || !inst->data) return false;
    inst->fa->filter = &m->registered;
    inst->fa->filterData = inst->data;
    inst->fa->src = inst->src;
    inst->fa->dst = inst->dst;
    inst->fa->preview = preview;
    return true;
}

void DestroyInstance(Instance* inst) {
    std::free(inst->fa);
    std::free(inst->src);
    std::free(inst->dst);
    std::free(inst->data);
    *inst = Instance{};
}

void SetBitmap(FilterBitmap* bm, void* data, int depth, int w, int h, ptrdiff_t pitch) {
    bm->data = data;
    bm->depth = depth;
    bm->w = w;
    bm->h = h;
    bm->pitch = pitch;
    bm->offset = 0;
}

namespace {
const FilterFunctions* Functions(Instance* inst) {
    return reinterpret_cast<const FilterFunctions*>(inst->module->functionTable);
}
}  // namespace

int CallInit(Instance* inst) { return inst->module->registered.init(inst->fa, Functions(inst)); }
int CallStart(Instance* inst) { return inst->module->registered.start(inst->fa, Functions(inst)); }
int CallRun(Instance* inst) { return inst->module->registered.run(inst->fa, Functions(inst)); }
int CallEnd(Instance* inst) { return inst->module->registered.end(inst->fa, Functions(inst)); }
void CallDeinit(Instance* inst) { inst->module->registered.deinit(inst->fa, Functions(inst)); }
int CallConfig(Instance* inst, HWND parent) {
    return inst->module->registered.config(inst->fa, Functions(inst), parent);
}

namespace {

void RunFramesLoop(FrameRunner* r) {
    const testframes::Sequence& s = kRunnerFrames;
    std::vector<uint8_t> out(testframes::FrameBytes(s));
    for (int frame = 0;; ++frame) {
        {
            std::unique_lock lock(r->mutex);
            r->changed.wait(lock, [r] { return r->stop || !r->paused; });
            if (r->stop) return;
            r->inFrame = true;
        }
        std::vector<uint8_t> in = testframes::MakeFrame(s, frame % s.count);
        SetBitmap(r->inst->src, in.data(), 32, s.width, s.height, testframes::RowBytes(s));
        SetBitmap(r->inst->dst, out.data(), 32, s.width, s.height, testframes::RowBytes(s));
        CallRun(r->inst);
        const bool passedThrough = in == out;
        std::lock_guard lock(r->mutex);
        r->inFrame = false;
        r->framesRun++;
        r->lastPassedThrough = passedThrough;
        r->changed.notify_all();
    }
}

}  // namespace

void StartFrames(FrameRunner* r, Instance* inst) {
    r->inst = inst;
    r->stop = false;
    r->paused = false;
    r->inFrame = false;
    r->framesRun = 0;
    r->lastPassedThrough = false;
    r->thread = std::thread(RunFramesLoop, r);
}

bool PauseFrames(FrameRunner* r) {
    std::unique_lock lock(r->mutex);
    r->paused = true;
    return r->changed.wait_for(lock, kWaitLimit, [r] { return !r->inFrame; });
}

void ResumeFrames(FrameRunner* r) {
    std::lock_guard lock(r->mutex);
    r->paused = false;
    r->changed.notify_all();
}

bool WaitForFrames(FrameRunner* r, long moreFrames) {
    std::unique_lock lock(r->mutex);
    const long target = r->framesRun + moreFrames;
    return r->changed.wait_for(lock, kWaitLimit, [r, target] { return r->framesRun >= target; });
}

void StopFrames(FrameRunner* r) {
    {
        std::lock_guard lock(r->mutex);
        r->stop = true;
        r->changed.notify_all();
    }
    if (r->thread.joinable()) r->thread.join();
}

}  // namespace winhost
