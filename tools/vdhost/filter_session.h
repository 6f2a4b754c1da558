// One filter instance in a loaded module, driven as the real host drives it:
// init, settings into the instance record, param, start, run per frame, end,
// deinit. Frames are packed BGRA (pitch = width * 4).
#pragma once
#include <cstdint>
#include <string>

#include "options.h"
#include "tools/modhost/modhost.h"

struct NRFilterData;

struct FilterSession {
    modhost::Module module{};
    modhost::Instance instance{};
    bool moduleLoaded = false;
    bool instanceCreated = false;
    bool initialised = false;
    bool started = false;
    int width = 0;
    int height = 0;
};

// Loads the module, creates one instance, runs init and applies the settings.
bool OpenFilterSession(FilterSession& session, const std::string& modulePath, const SettingOverrides& settings,
                       std::string& error);

// Param and start for frames of width x height. gpuReady tells whether the
// module created its device context (false: frames will pass through).
bool StartFilterSession(FilterSession& session, int width, int height, bool& gpuReady, std::string& error);

// Runs one frame through the filter; src and dst must not overlap.
void FilterFrame(FilterSession& session, const uint8_t* src, uint8_t* dst);

// End (when started), deinit, free the instance, unload the module.
void CloseFilterSession(FilterSession& session);

// Writes the user's settings into an initialised instance record.
void ApplySettings(NRFilterData& record, const SettingOverrides& settings);

// The module to load and, for the user, why it was chosen.
std::string ChooseModule(const std::string& requested, std::string& reason);
