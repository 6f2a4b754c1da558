#include "host/module.h"

#include <atomic>
#include <cstdint>

#include "gpu/cudanr.h"
#include "host/filter_data.h"
#include "host/module_identity.h"
#include "host/ownership.h"
#include "host/pass_through.h"
#include "host/run.h"
#include "host/settings.h"

#if defined(QUELMAR_HAVE_DIALOG)
#include "ui/dialog.h"
#endif

namespace {

FilterDefinition g_definition = {
    nullptr,
    nullptr,
    nullptr,
    kNRFilterName,
    kNRFilterDescription,
    "Quelmar",
    nullptr,
    static_cast<int32_t>(sizeof(NRFilterData)),
    NRInitCallback,
    NRDeinitCallback,
    NRRunFilter,
    NRParamCallback,
    NRConfigCallback,
    nullptr,
    NRStartCallback,
    NREndCallback,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Read by the dialog on the host's user-interface thread.
std::atomic<void*> g_resourceModule{nullptr};
FilterDefinition* g_registered = nullptr;
FilterVTables g_vtables = {};

NRFilterData* RecordOf(FilterActivation* fa) {
    return fa ? static_cast<NRFilterData*>(fa->filterData) : nullptr;
}

}  // namespace

void* NRResourceModule() { return g_resourceModule.load(); }

const FilterDefinition* NRFilterDefinition() { return &g_definition; }

QUELMAR_EXPORT int VirtualdubFilterModuleInit2(FilterModule* module, const FilterFunctions* ff,
                                               int* version, int* compatibility) {
    if (module) g_resourceModule.store(module->moduleHandle);
    if (!ff || !ff->addFilter) return 1;
    g_registered = ff->addFilter(module, &g_definition, kFilterDefinitionSize);
    if (!g_registered) return 1;
    if (version) *version = 8;
    if (compatibility) *compatibility = 4;
    return 0;
}

QUELMAR_EXPORT void VirtualdubFilterModuleDeinit(FilterModule*, const FilterFunctions* ff) {
    // Hosts may free instance records without deinit; what they held ends here.
    NRReleaseAllResources();
    NRForgetAllPassThroughs();
    if (!g_registered) return;
    if (ff && ff->removeFilter) ff->removeFilter(g_registered);
    g_registered = nullptr;
}

int NRInitCallback(FilterActivation* fa, const FilterFunctions* ff) {
    if (ff && ff->initVTables) ff->initVTables(&g_vtables);
    if (NRFilterData* fd = RecordOf(fa)) {
        NRReleaseEarlierInstance(fd);
        NRForgetPassThrough(fd);
        NRInitRecord(fd);
    }
    return 0;
}

void NRDeinitCallback(FilterActivation* fa, const FilterFunctions*) {
    NRFilterData* fd = RecordOf(fa);
    if (!fd) return;
    NRReleaseResources(fd);
    NRForgetPassThrough(fd);
    NRStoreShared(fd->marker, uint32_t{0});
}

long NRParamCallback(FilterActivation* fa, const FilterFunctions*) {
    if (fa && fa->src && fa->dst) {
        fa->dst->w = fa->src->w;
        fa->dst->h = fa->src->h;
    }
    return kFilterParamSeparateBuffers;
}

int NRStartCallback(FilterActivation* fa, const FilterFunctions*) {
    NRFilterData* fd = RecordOf(fa);
    EnsureDefaults(fd);
    if (!fd) return 0;
    NRDisownForeignResources(fd);
    if (!fd->gpu) {
        NREnsureContext(fd);
        NRTakeOwnership(fd);
    }
    return 0;
}

int NREndCallback(FilterActivation*, const FilterFunctions*) { return 0; }

int NRConfigCallback(FilterActivation* fa, const FilterFunctions*, FilterWindow parent) {
    NRFilterData* fd = RecordOf(fa);
    EnsureDefaults(fd);
    if (!fd) return 0;
    std::atomic_ref<int32_t>(fd->dialogOpen).exchange(1);
#if defined(QUELMAR_HAVE_DIALOG)
    NRRunConfigDialog(fa, fd, parent);
#else
    (void)parent;
#endif
    std::atomic_ref<int32_t>(fd->dialogOpen).exchange(0);
    return 0;
}
