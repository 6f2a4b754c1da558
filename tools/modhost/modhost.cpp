#include "tools/modhost/modhost.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/dynamic_library.h"

namespace modhost {
namespace {

// The host's functions get no context pointer; calls into the module set the
// module they act for on the calling thread.
thread_local Module* t_active = nullptr;

struct ActiveGuard {
    Module* saved;
    explicit ActiveGuard(Module* m) : saved(t_active) { t_active = m; }
    ~ActiveGuard() { t_active = saved; }
    ActiveGuard(const ActiveGuard&) = delete;
    ActiveGuard& operator=(const ActiveGuard&) = delete;
};

FilterDefinition* HostAddFilter(FilterModule* module, FilterDefinition* definition, int size) {
    Module* m = t_active;
    if (!m) return nullptr;
    m->calls.addFilter++;
    m->calls.lastDefinitionSize = size;
    m->calls.lastAddModule = module;
    if (m->failAddFilter || !definition || size <= 0) return nullptr;
    // The host reads the definition up to the size it is told, no further.
    std::memset(&m->registered, 0, sizeof m->registered);
    std::size_t bytes = static_cast<std::size_t>(size) < sizeof(FilterDefinition)
                            ? static_cast<std::size_t>(size)
                            : sizeof(FilterDefinition);
    std::memcpy(&m->registered, definition, bytes);
    m->isRegistered = true;
    return &m->registered;
}

void HostRemoveFilter(FilterDefinition* handle) {
    Module* m = t_active;
    if (!m) return;
    m->calls.removeFilter++;
    m->calls.lastRemoved = handle;
    if (handle == &m->registered) m->isRegistered = false;
}

bool HostFalse() { return false; }

void HostInitVTables(FilterVTables* vtables) {
    if (t_active) t_active->calls.initVTables++;
    if (vtables) vtables->bitmapVTable = nullptr;
}

void SetError(Module* m, const char* what, const char* detail) {
    std::snprintf(m->error, sizeof m->error, "%s%s%s", what, detail ? ": " : "",
                  detail ? detail : "");
}

void* ZeroBlock(std::size_t bytes) { return std::calloc(1, bytes); }

}  // namespace

bool OpenModule(Module* m, const char* path) {
    m->error[0] = '\0';
    std::string why = "no path";
    void* lib = path ? platform::OpenLibraryAt(path, &why) : nullptr;
    if (!lib) {
        SetError(m, "cannot load module", why.c_str());
        return false;
    }
    auto init = reinterpret_cast<FilterModuleInitProc>(platform::FindSymbol(lib, kFilterModuleInitSymbol));
    auto deinit = reinterpret_cast<FilterModuleDeinitProc>(platform::FindSymbol(lib, kFilterModuleDeinitSymbol));
    if (!init || !deinit) {
        SetError(m, "module lacks the filter entry points", path);
        platform::CloseLibrary(lib);
        return false;
    }
    m->library = lib;
    m->initEntry = init;
    m->deinitEntry = deinit;
    return true;
}

void AttachModule(Module* m, FilterModuleInitProc init, FilterModuleDeinitProc deinit) {
    m->library = nullptr;
    m->initEntry = init;
    m->deinitEntry = deinit;
}

FilterModule* ModuleRecord(Module* m) { return reinterpret_cast<FilterModule*>(m->moduleRecord); }

const FilterFunctions* Functions(const Module* m) {
    return reinterpret_cast<const FilterFunctions*>(m->functionTable);
}

const FilterDefinition* Definition(const Module* m) {
    return m->isRegistered ? &m->registered : nullptr;
}

int RegisterModule(Module* m) {
    if (!m->initEntry) return -1;
    std::memset(m->moduleRecord, 0, sizeof m->moduleRecord);
    std::memset(m->functionTable, 0, sizeof m->functionTable);
    FilterModule* record = ModuleRecord(m);
    // On Windows the loaded module's handle is its instance handle; elsewhere
    // the dlopen handle stands in for it.
    record->moduleHandle = m->withoutModuleHandle ? nullptr : m->library;
    auto* ff = reinterpret_cast<FilterFunctions*>(m->functionTable);
    ff->addFilter = HostAddFilter;
    ff->removeFilter = HostRemoveFilter;
    ff->isFPUEnabled = HostFalse;
    ff->isMMXEnabled = HostFalse;
    ff->initVTables = HostInitVTables;
    ActiveGuard guard(m);
    m->initResult = m->initEntry(m->passNullModuleRecord ? nullptr : record, ff, &m->version,
                                 &m->compatibility);
    return m->initResult;
}

void UnregisterModule(Module* m) {
    if (!m->deinitEntry) return;
    ActiveGuard guard(m);
    m->deinitEntry(m->passNullModuleRecord ? nullptr : ModuleRecord(m), Functions(m));
}

void CloseModule(Module* m) {
    if (m->library) platform::CloseLibrary(m->library);
    m->library = nullptr;
    m->initEntry = nullptr;
    m->deinitEntry = nullptr;
    m->isRegistered = false;
}

bool LoadModule(Module* m, const char* path) {
    if (!OpenModule(m, path)) return false;
    int rc = RegisterModule(m);
    if (rc != 0 || !m->isRegistered) {
        SetError(m, "module did not register its filter", path);
        UnregisterModule(m);
        CloseModule(m);
        return false;
    }
    return true;
}

void UnloadModule(Module* m) {
    UnregisterModule(m);
    CloseModule(m);
}

bool CreateInstance(Instance* inst, Module* m) {
    std::memset(inst, 0, sizeof *inst);
    const FilterDefinition* def = Definition(m);
    if (!def || def->instanceDataSize < 0) return false;
    inst->module = m;
    inst->dataSize = def->instanceDataSize;
    inst->fa = static_cast<FilterActivation*>(ZeroBlock(kRecordBytes));
    inst->src = static_cast<FilterBitmap*>(ZeroBlock(kRecordBytes));
    inst->dst = static_cast<FilterBitmap*>(ZeroBlock(kRecordBytes));
    inst->data = ZeroBlock(inst->dataSize > 0 ? static_cast<std::size_t>(inst->dataSize) : 1);
    if (!inst->fa || !inst->src || !inst->dst || !inst->data) {
        DestroyInstance(inst);
        return false;
    }
    inst->fa->filter = &m->registered;
    inst->fa->filterData = inst->data;
    inst->fa->src = inst->src;
    inst->fa->dst = inst->dst;
    return true;
}

void DestroyInstance(Instance* inst) {
    std::free(inst->fa);
    std::free(inst->src);
    std::free(inst->dst);
    std::free(inst->data);
    std::memset(inst, 0, sizeof *inst);
}

void SetBitmap(FilterBitmap* bm, void* data, int depth, int w, int h, ptrdiff_t pitch,
               ptrdiff_t offset) {
    bm->data = data;
    bm->depth = depth;
    bm->w = w;
    bm->h = h;
    bm->pitch = pitch;
    bm->offset = offset;
}

namespace {

// Calls the registered definition's callback as the host does, with the
// module it acts for set; `missing` when the definition lacks it.
template <auto Callback, typename Result, typename... Extra>
Result CallBack(Instance* inst, Result missing, Extra... extra) {
    const FilterDefinition* def = Definition(inst->module);
    if (!def || !(def->*Callback)) return missing;
    ActiveGuard guard(inst->module);
    return (def->*Callback)(inst->fa, Functions(inst->module), extra...);
}

}  // namespace

int CallInit(Instance* inst) { return CallBack<&FilterDefinition::init>(inst, -1); }

void CallDeinit(Instance* inst) {
    const FilterDefinition* def = Definition(inst->module);
    if (!def || !def->deinit) return;
    ActiveGuard guard(inst->module);
    def->deinit(inst->fa, Functions(inst->module));
}

long CallParam(Instance* inst) { return CallBack<&FilterDefinition::param>(inst, -1L); }

int CallStart(Instance* inst) { return CallBack<&FilterDefinition::start>(inst, -1); }

int CallEnd(Instance* inst) { return CallBack<&FilterDefinition::end>(inst, -1); }

int CallRun(Instance* inst) { return CallBack<&FilterDefinition::run>(inst, -1); }

int CallConfig(Instance* inst, FilterWindow parent) {
    return CallBack<&FilterDefinition::config>(inst, -1, parent);
}

}  // namespace modhost
