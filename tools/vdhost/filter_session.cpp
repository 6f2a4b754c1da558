#include "filter_session.h"

#include "host/filter_data.h"
#include "module_choice.h"
#include "kernels/common.h"

namespace {

NRFilterData& Record(FilterSession& session) { return *static_cast<NRFilterData*>(session.instance.data); }

}  // namespace

void ApplySettings(NRFilterData& record, const SettingOverrides& settings) {
    for (size_t i = 0; i < kNRStrengthCount; ++i) {
        if (settings.strengths[i]) record.params.*kNRStrengths[i].field = *settings.strengths[i];
    }
    if (settings.autoProfile) record.autoProfile = *settings.autoProfile;
    if (settings.sigma) {
        record.autoProfile = 0;
        record.params.sigmaY = *settings.sigma;
    }
}

std::string ChooseModule(const std::string& requested, std::string& reason) {
    if (!requested.empty()) {
        reason = "chosen with --module";
        return requested;
    }
    return DefaultModulePath(diag::Diagnose(), reason);
}

bool OpenFilterSession(FilterSession& session, const std::string& modulePath, const SettingOverrides& settings,
                       std::string& error) {
    if (!modhost::LoadModule(&session.module, modulePath.c_str())) {
        error = session.module.error;
        return false;
    }
    session.moduleLoaded = true;
    if (!modhost::CreateInstance(&session.instance, &session.module)) {
        error = "cannot create a filter instance";
        return false;
    }
    session.instanceCreated = true;
    // Settings are written straight into the record, so it must be the one we know.
    if (session.instance.dataSize < static_cast<int>(sizeof(NRFilterData))) {
        error = "module declares an instance record of " + std::to_string(session.instance.dataSize) +
                " bytes, not the expected " + std::to_string(sizeof(NRFilterData));
        return false;
    }
    modhost::CallInit(&session.instance);
    session.initialised = true;
    if (Record(session).marker != kNRMarker) {
        error = "module's init callback did not initialise its instance record";
        return false;
    }
    ApplySettings(Record(session), settings);
    return true;
}

bool StartFilterSession(FilterSession& session, int width, int height, bool& gpuReady, std::string& error) {
    modhost::SetBitmap(session.instance.src, nullptr, 32, width, height, static_cast<ptrdiff_t>(width) * kBgraPixelBytes);
    modhost::SetBitmap(session.instance.dst, nullptr, 32, 0, 0, static_cast<ptrdiff_t>(width) * kBgraPixelBytes);
    modhost::CallParam(&session.instance);
    if (session.instance.dst->w != width || session.instance.dst->h != height) {
        error = "module's param callback gave an output size other than the input's";
        return false;
    }
    modhost::CallStart(&session.instance);
    session.started = true;
    session.width = width;
    session.height = height;
    gpuReady = Record(session).gpu != nullptr;
    return true;
}

void FilterFrame(FilterSession& session, const uint8_t* src, uint8_t* dst) {
    ptrdiff_t pitch = static_cast<ptrdiff_t>(session.width) * kBgraPixelBytes;
    // The host hands the source as writable memory; the run callback only reads it.
    modhost::SetBitmap(session.instance.src, const_cast<uint8_t*>(src), 32, session.width, session.height, pitch);
    modhost::SetBitmap(session.instance.dst, dst, 32, session.width, session.height, pitch);
    modhost::CallRun(&session.instance);
}

void CloseFilterSession(FilterSession& session) {
    if (session.started) modhost::CallEnd(&session.instance);
    if (session.initialised) modhost::CallDeinit(&session.instance);
    if (session.instanceCreated) modhost::DestroyInstance(&session.instance);
    if (session.moduleLoaded) modhost::UnloadModule(&session.module);
    session.started = false;
    session.instanceCreated = false;
    session.initialised = false;
    session.moduleLoaded = false;
}
