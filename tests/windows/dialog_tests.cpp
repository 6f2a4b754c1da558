// The real settings dialog, driven as a user drives it, while another thread
// runs frames through the same instance as the host's preview does.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "tests/windows/dialog_driver.h"
#include "tests/windows/win_host.h"
#include "tests/windows/wintest.h"

namespace {

using namespace dialogdriver;
using namespace modhost;
using namespace winhost;

constexpr int kAutoProfile = 1200, kPreview = 1201, kShowFiltered = 1202, kSigmaText = 1006;
constexpr int kReset = 1300;
constexpr int kSliders[5] = {1100, 1101, 1102, 1103, 1104};
constexpr int kBoxes[5] = {1007, 1008, 1009, 1010, 1011};

float Read(float& field) { return std::atomic_ref<float>(field).load(); }
int32_t Read(int32_t& field) { return std::atomic_ref<int32_t>(field).load(); }
void Write(float& field, float v) { std::atomic_ref<float>(field).store(v); }
void Write(int32_t& field, int32_t v) { std::atomic_ref<int32_t>(field).store(v); }

float& Strength(NRFilterData* d, int i) {
    float* fields[5] = {&d->params.denoise, &d->params.temporal, &d->params.deblock, &d->params.sharpen,
                        &d->params.stabilize};
    return *fields[i];
}

std::string TwoDecimals(float v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(v));
    return text;
}

// One CPU-module instance with a recording preview (or none).
struct Fixture {
    Module module;
    Instance inst;
    PreviewLog log;
    RecordingPreview preview;
    FrameRunner frames;
    DialogRun dialog;
};

bool SetUp(Fixture* f, bool withPreview, const char* dll = "Quelmar_CPU.dll") {
    if (!LoadModule(&f->module, ModulePath(dll).c_str())) return false;
    if (!CreateInstanceWithPreview(&f->inst, &f->module, withPreview ? &f->preview.iface : nullptr)) return false;
    InitRecordingPreview(&f->preview, &f->log, FilterData(&f->inst));
    CallInit(&f->inst);
    CallStart(&f->inst);
    return true;
}

void TearDown(Fixture* f) {
    CallEnd(&f->inst);
    CallDeinit(&f->inst);
    DestroyInstance(&f->inst);
    UnloadModule(&f->module);
}

// Close must reach the preview while the dialog still exists and is marked
// open; the callback returns 0 and the record is marked closed afterwards.
void CheckClosed(Fixture* f) {
    WT_CHECK_EQ(WaitForDialogEnd(&f->dialog), 0);
    WT_CHECK_EQ(Read(FilterData(&f->inst)->dialogOpen), 0);
    const std::vector<PreviewCall> closes = CallsTo(&f->log, kPreviewClose);
    WT_REQUIRE(closes.size() == 1);
    WT_CHECK(closes[0].dialogExists);
    WT_CHECK_EQ(closes[0].dialogOpen, 1);
}

// Opening shows the record (strengths x 100 in box and trackbar), rounds the
// strengths to hundredths through the boxes, and with profiling off turns an
// unknown noise level into 4.0.
WT_CASE(dialog_opens_showing_the_record) {
    static Fixture f;
    WT_REQUIRE(SetUp(&f, true));
    NRFilterData* d = FilterData(&f.inst);
    // x 100 in single precision, to nearest with ties to even: 0.125 shows 12
    // (not 13); 0.025 and 0.015 both show 2 (a double product gives 3 and 1).
    const float shown[5] = {1.234f, 0.125f, 1.0f, 0.025f, 0.015f};
    const int expected[5] = {123, 12, 100, 2, 2};
    for (int i = 0; i < 5; ++i) Write(Strength(d, i), shown[i]);
    Write(d->autoProfile, 0);
    Write(d->params.sigmaY, 0.0f);

    WT_REQUIRE(OpenDialog(&f.dialog, &f.inst));
    HWND dlg = f.dialog.dialog;
    WT_CHECK_EQ(Read(d->dialogOpen), 1);
    for (int i = 0; i < 5; ++i) {
        WT_CHECK_EQ(ControlText(dlg, kBoxes[i]), std::to_string(expected[i]));
        WT_CHECK_EQ(TrackbarPosition(dlg, kSliders[i]), expected[i]);
        WT_CHECK_EQ(Read(Strength(d, i)), static_cast<float>(expected[i]) / 100.0f);
    }
    WT_CHECK(!IsChecked(dlg, kAutoProfile));
    WT_CHECK(IsChecked(dlg, kShowFiltered));
    WT_CHECK_EQ(Read(d->params.sigmaY), 4.0f);
    WT_CHECK_EQ(ControlText(dlg, kSigmaText), std::string("4.00"));
    WT_CHECK(IsEnabled(dlg, kPreview));
    WT_CHECK_EQ(ControlText(dlg, kPreview), std::string("Preview..."));
    const std::vector<PreviewCall> inits = CallsTo(&f.log, kPreviewInitButton);
    WT_CHECK(inits.size() == 1 && inits[0].window == GetDlgItem(dlg, kPreview));

    const std::string shot = wintest::Option("screenshot");
    if (!shot.empty()) {
        Sleep(300);  // let the first paint reach the screen
        WT_CHECK(SaveWindowPng(dlg, shot));
    }
    Click(dlg, IDCANCEL);
    CheckClosed(&f);
    TearDown(&f);
}

// Trackbar keys, typing, the switches and the preview button, with frames
// running; OK then reads the controls a last time.
WT_CASE(dialog_controls_edit_settings_while_frames_run) {
    static Fixture f;
    WT_REQUIRE(SetUp(&f, true));
    NRFilterData* d = FilterData(&f.inst);
    StartFrames(&f.frames, &f.inst);
    WT_REQUIRE(OpenDialog(&f.dialog, &f.inst));
    HWND dlg = f.dialog.dialog;

    // Keys go to the trackbar, which notifies the dialog; the box follows.
    const int start = TrackbarPosition(dlg, 1101);
    ClearCalls(&f.log);
    PressKey(dlg, 1101, VK_RIGHT);
    WT_CHECK_EQ(TrackbarPosition(dlg, 1101), start + 1);
    WT_CHECK_EQ(ControlText(dlg, 1008), std::to_string(start + 1));
    WT_CHECK_EQ(Read(d->params.temporal), static_cast<float>(start + 1) / 100.0f);
    WT_CHECK(!CallsTo(&f.log, kPreviewRedoFrame).empty());
    PressKey(dlg, 1100, VK_END);
    WT_CHECK_EQ(ControlText(dlg, 1007), std::string("400"));
    WT_CHECK_EQ(Read(d->params.denoise), 4.0f);
    PressKey(dlg, 1100, VK_HOME);
    WT_CHECK_EQ(Read(d->params.denoise), 0.0f);

    // Typed numbers are limited when stored; the box and trackbar stay put.
    TypeInto(dlg, 1007, "500");
    WT_CHECK_EQ(Read(d->params.denoise), 4.0f);
    WT_CHECK_EQ(ControlText(dlg, 1007), std::string("500"));
    WT_CHECK_EQ(TrackbarPosition(dlg, 1100), 0);
    TypeInto(dlg, 1010, "");
    WT_CHECK_EQ(Read(d->params.sharpen), 0.08f);  // an empty box leaves its setting

    // "Show filtered" off: the preview frames pass through untouched.
    Click(dlg, kShowFiltered);
    WT_CHECK_EQ(Read(d->showFiltered), 0);
    WT_CHECK(WaitForFrames(&f.frames, 2));
    WT_CHECK(f.frames.lastPassedThrough);
    Click(dlg, kShowFiltered);
    WT_CHECK_EQ(Read(d->showFiltered), 1);
    WT_CHECK(WaitForFrames(&f.frames, 2));
    WT_CHECK(!f.frames.lastPassedThrough);

    Click(dlg, kPreview);
    const std::vector<PreviewCall> toggles = CallsTo(&f.log, kPreviewToggle);
    WT_CHECK(toggles.size() == 1 && toggles[0].window == dlg);

    // OK reads the boxes again: a value changed behind the dialog's back is
    // replaced by what the box shows.
    WT_REQUIRE(PauseFrames(&f.frames));
    Write(d->params.denoise, 3.0f);
    Write(d->params.temporal, 0.0f);
    Click(dlg, IDOK);
    CheckClosed(&f);
    WT_CHECK_EQ(Read(d->params.denoise), 4.0f);
    WT_CHECK_EQ(Read(d->params.temporal), static_cast<float>(start + 1) / 100.0f);
    StopFrames(&f.frames);
    TearDown(&f);
}

// Reset brings back every recommended value, box and trackbar alike, even
// after the user changed all five; profiling state is left alone. Then the
// noise estimate: fixed at 4.0 when profiling is switched off, and tracking
// what the frame thread measures when it is on. Cancel reads nothing.
WT_CASE(dialog_reset_and_noise_estimate) {
    static Fixture f;
    WT_REQUIRE(SetUp(&f, true));
    NRFilterData* d = FilterData(&f.inst);
    StartFrames(&f.frames, &f.inst);
    WT_REQUIRE(OpenDialog(&f.dialog, &f.inst));
    HWND dlg = f.dialog.dialog;

    const char* typed[5] = {"300", "40", "50", "90", "70"};
    for (int i = 0; i < 5; ++i) TypeInto(dlg, kBoxes[i], typed[i]);
    WT_CHECK_EQ(Read(d->params.stabilize), 0.7f);
    WT_CHECK(WaitForFrames(&f.frames, 2));
    WT_REQUIRE(PauseFrames(&f.frames));
    const int32_t counter = Read(d->frameCounter);
    const int32_t lastProfiled = Read(d->lastProfiledFrame);
    WT_CHECK(counter > 0);

    Click(dlg, kReset);
    const float recommended[5] = {1.8f, 0.78f, 1.25f, 0.08f, 0.2f};
    const int shown[5] = {180, 78, 125, 8, 20};
    for (int i = 0; i < 5; ++i) {
        WT_CHECK_EQ(Read(Strength(d, i)), recommended[i]);
        WT_CHECK_EQ(ControlText(dlg, kBoxes[i]), std::to_string(shown[i]));
        WT_CHECK_EQ(TrackbarPosition(dlg, kSliders[i]), shown[i]);
    }
    WT_CHECK_EQ(Read(d->params.sigmaY), 0.0f);
    WT_CHECK_EQ(ControlText(dlg, kSigmaText), std::string("0.00"));
    WT_CHECK_EQ(Read(d->autoProfile), 1);
    WT_CHECK_EQ(Read(d->showFiltered), 1);
    WT_CHECK_EQ(Read(d->frameCounter), counter);
    WT_CHECK_EQ(Read(d->lastProfiledFrame), lastProfiled);

    Click(dlg, kAutoProfile);
    WT_CHECK_EQ(Read(d->autoProfile), 0);
    WT_CHECK_EQ(Read(d->params.sigmaY), 4.0f);
    WT_CHECK_EQ(WaitForText(dlg, kSigmaText, "4.00"), std::string("4.00"));

    // Profiling back on from an unknown level: the next frame measures it and
    // the timer shows the measurement.
    Click(dlg, kAutoProfile);
    Click(dlg, kReset);
    ResumeFrames(&f.frames);
    WT_CHECK(WaitForFrames(&f.frames, 2));
    WT_REQUIRE(PauseFrames(&f.frames));
    const float measured = Read(d->params.sigmaY);
    WT_CHECK(measured > 0.0f);
    WT_CHECK_EQ(WaitForText(dlg, kSigmaText, TwoDecimals(measured)), TwoDecimals(measured));

    Write(d->params.denoise, 3.0f);
    Click(dlg, IDCANCEL);
    CheckClosed(&f);
    WT_CHECK_EQ(Read(d->params.denoise), 3.0f);
    WT_CHECK_EQ(Read(d->params.deblock), 1.25f);
    StopFrames(&f.frames);
    TearDown(&f);
}

std::string WindowTitle(HWND window) {
    char text[256] = {};
    GetWindowTextA(window, text, static_cast<int>(sizeof text));
    return text;
}

// Both modules loaded side by side, as when both are installed: each dialog is
// titled with the name its own module registered under.
WT_CASE(dialog_title_names_its_module) {
    static Fixture cpu, cuda;
    WT_REQUIRE(SetUp(&cpu, false, "Quelmar_CPU.dll"));
    WT_REQUIRE(SetUp(&cuda, false, "Quelmar_CUDA.dll"));
    const struct {
        Fixture* f;
        const char* name;
    } modules[] = {{&cpu, "Quelmar CPU"}, {&cuda, "Quelmar CUDA (RTX 5050)"}};
    for (const auto& m : modules) {
        WT_CHECK_EQ(std::string(m.f->module.registered.name), std::string(m.name));
        WT_REQUIRE(OpenDialog(&m.f->dialog, &m.f->inst));
        WT_CHECK_EQ(WindowTitle(m.f->dialog.dialog), std::string(m.name));
        Click(m.f->dialog.dialog, IDCANCEL);
        WT_CHECK_EQ(WaitForDialogEnd(&m.f->dialog), 0);
    }
    TearDown(&cuda);
    TearDown(&cpu);
}

// A host without a preview interface: the button says so and does nothing.
WT_CASE(dialog_without_preview_interface) {
    static Fixture f;
    WT_REQUIRE(SetUp(&f, false));
    WT_REQUIRE(OpenDialog(&f.dialog, &f.inst));
    HWND dlg = f.dialog.dialog;
    WT_CHECK(!IsEnabled(dlg, kPreview));
    WT_CHECK_EQ(ControlText(dlg, kPreview), std::string("Preview (unavailable)"));
    SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(kPreview, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dlg, kPreview)));
    TypeInto(dlg, 1009, "150");
    WT_CHECK_EQ(Read(FilterData(&f.inst)->params.deblock), 1.5f);
    Click(dlg, IDOK);
    WT_CHECK_EQ(WaitForDialogEnd(&f.dialog), 0);
    WT_CHECK_EQ(Read(FilterData(&f.inst)->dialogOpen), 0);
    TearDown(&f);
}

// A module record without the module's handle: the template still comes from
// the module itself, never from the host's executable.
WT_CASE(dialog_opens_when_the_host_gives_no_module_handle) {
    static Fixture f;
    f.module.withoutModuleHandle = true;
    WT_REQUIRE(LoadModule(&f.module, ModulePath("Quelmar_CPU.dll").c_str()));
    WT_REQUIRE(CreateInstance(&f.inst, &f.module));
    CallInit(&f.inst);
    WT_REQUIRE(OpenDialog(&f.dialog, &f.inst));
    WT_CHECK_EQ(ControlText(f.dialog.dialog, kBoxes[0]), std::string("180"));
    Click(f.dialog.dialog, IDOK);
    WT_CHECK_EQ(WaitForDialogEnd(&f.dialog), 0);
    TearDown(&f);
}

}  // namespace
