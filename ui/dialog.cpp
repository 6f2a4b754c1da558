// The modal settings dialog: edits one instance's settings in place while the
// host may be running preview frames on another thread.
#include "ui/dialog.h"

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "host/abi.h"
#include "host/filter_data.h"
#include "host/module.h"
#include "host/settings.h"
#include "ui/resource.h"

namespace {

struct NRDialogContext {
    NRFilterData* filterData;
    FilterPreview* preview;
    HWND dialogWindow;
};

struct StrengthControl {
    float CudaNRParams::*setting;
    int slider;
    int edit;
};

constexpr StrengthControl kStrengths[] = {
    {&CudaNRParams::denoise, IDC_DENOISE_SLIDER, IDC_DENOISE_EDIT},
    {&CudaNRParams::temporal, IDC_TEMPORAL_SLIDER, IDC_TEMPORAL_EDIT},
    {&CudaNRParams::deblock, IDC_DEBLOCK_SLIDER, IDC_DEBLOCK_EDIT},
    {&CudaNRParams::sharpen, IDC_SHARPEN_SLIDER, IDC_SHARPEN_EDIT},
    {&CudaNRParams::stabilize, IDC_STABILIZE_SLIDER, IDC_STABILIZE_EDIT},
};
static_assert(std::size(kStrengths) == kNRStrengthCount, "a slider and a box for every strength");
constexpr int kStrengthCount = static_cast<int>(kNRStrengthCount);

float& StrengthField(NRFilterData* fd, const StrengthControl& s) {
    return fd->params.*(s.setting);
}

// A value brought into the range the dialog keeps this strength in.
float InRange(const StrengthControl& s, float value) {
    return NRConditionStrength(NRStrengthFor(s.setting), value);
}

int SliderMax(const StrengthControl& s) { return NRStrengthToDialog(NRStrengthFor(s.setting).maximum); }

void RedoFrame(const NRDialogContext* ctx) {
    if (ctx && ctx->preview) PreviewRedoFrame(ctx->preview);
}

void ClosePreview(const NRDialogContext* ctx) {
    if (ctx && ctx->preview) PreviewClose(ctx->preview);
}

void SetSigmaText(HWND dlg, float sigma) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(sigma));
    SetDlgItemTextA(dlg, IDC_SIGMA_TEXT, text);
}

void ReadControls(HWND dlg, NRFilterData* fd) {
    if (!fd) return;
    const int32_t autoProfile = IsDlgButtonChecked(dlg, IDC_AUTO_PROFILE) == BST_CHECKED ? 1 : 0;
    NRStoreShared(fd->autoProfile, autoProfile);
    NRStoreShared(fd->showFiltered, IsDlgButtonChecked(dlg, IDC_SHOW_FILTERED) == BST_CHECKED ? 1 : 0);
    if (autoProfile == 0) CudaNRSettleSigmaWithoutProfiling(std::atomic_ref<float>(fd->params.sigmaY));
    for (const StrengthControl& s : kStrengths) {
        BOOL parsed = FALSE;
        const int n = static_cast<int>(GetDlgItemInt(dlg, s.edit, &parsed, TRUE));
        if (!parsed) continue;
        NRStoreShared(StrengthField(fd, s), InRange(s, NRStrengthFromDialog(n)));
    }
}

// Every box fill raises EN_CHANGE, which reads all five boxes back into the
// record. The values shown are therefore taken before any control changes,
// so boxes not yet refilled cannot overwrite what is being written.
void WriteControls(HWND dlg, NRFilterData* fd) {
    if (!fd) return;
    int shown[kStrengthCount];
    // Shown as the frames use them, whatever the record holds.
    for (int i = 0; i < kStrengthCount; ++i) {
        shown[i] = NRStrengthToDialog(InRange(kStrengths[i], NRLoadShared(StrengthField(fd, kStrengths[i]))));
    }

    CheckDlgButton(dlg, IDC_AUTO_PROFILE, NRLoadShared(fd->autoProfile) ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dlg, IDC_SHOW_FILTERED, NRLoadShared(fd->showFiltered) ? BST_CHECKED : BST_UNCHECKED);
    SetSigmaText(dlg, NRLoadShared(fd->params.sigmaY));
    for (int i = 0; i < kStrengthCount; ++i)
        SetDlgItemInt(dlg, kStrengths[i].edit, static_cast<UINT>(shown[i]), TRUE);
    for (int i = 0; i < kStrengthCount; ++i)
        SendDlgItemMessageA(dlg, kStrengths[i].slider, TBM_SETPOS, TRUE, shown[i]);
}

void UpdateSigmaText(HWND dlg, NRFilterData* fd) {
    if (dlg && fd) SetSigmaText(dlg, NRLoadShared(fd->params.sigmaY));
}

// The same values a new instance starts from; profiling state is left alone,
// so with profiling on the next filtered frame measures sigmaY afresh.
void ResetToRecommended(NRFilterData* fd) {
    if (fd) NRStoreRecommendedSettings(fd);
}

void SetUpPreviewButton(const NRDialogContext* ctx, HWND dlg) {
    HWND button = GetDlgItem(dlg, IDC_PREVIEW);
    if (!button) return;
    if (ctx && ctx->preview) {
        EnableWindow(button, TRUE);
        SetWindowTextA(button, "Preview...");
        PreviewInitButton(ctx->preview, button);
    } else {
        EnableWindow(button, FALSE);
        SetWindowTextA(button, "Preview (unavailable)");
    }
}

INT_PTR OnInitDialog(HWND dlg, LPARAM param) {
    auto* ctx = reinterpret_cast<NRDialogContext*>(param);
    SetWindowLongPtrA(dlg, GWLP_USERDATA, param);
    if (ctx) ctx->dialogWindow = dlg;
    // The name the host lists this module under, so the CPU and CUDA modules'
    // dialogs can be told apart when both are installed.
    SetWindowTextA(dlg, NRFilterDefinition()->name);
    for (const StrengthControl& s : kStrengths) {
        SendDlgItemMessageA(dlg, s.slider, TBM_SETRANGE, TRUE, MAKELPARAM(0, SliderMax(s)));
        SendDlgItemMessageA(dlg, s.slider, TBM_SETTICFREQ, 10, 0);
    }
    if (ctx && ctx->filterData) {
        WriteControls(dlg, ctx->filterData);
        UpdateSigmaText(dlg, ctx->filterData);
    }
    SetUpPreviewButton(ctx, dlg);
    SetTimer(dlg, IDT_SIGMA_REFRESH, SIGMA_REFRESH_MS, nullptr);
    return TRUE;
}

INT_PTR OnCommand(HWND dlg, NRDialogContext* ctx, int id, int code) {
    if (!ctx) return FALSE;
    if (code == BN_CLICKED) {
        switch (id) {
        case IDC_PREVIEW:
            if (ctx->preview) PreviewToggle(ctx->preview, dlg);
            return TRUE;
        case IDC_RESET:
            ResetToRecommended(ctx->filterData);
            WriteControls(dlg, ctx->filterData);
            RedoFrame(ctx);
            return TRUE;
        case IDOK:
            ReadControls(dlg, ctx->filterData);
            ClosePreview(ctx);
            EndDialog(dlg, 1);
            return TRUE;
        case IDCANCEL:
            ClosePreview(ctx);
            EndDialog(dlg, 0);
            return TRUE;
        default:
            break;
        }
    }
    if (code == BN_CLICKED || code == EN_CHANGE) {
        ReadControls(dlg, ctx->filterData);
        RedoFrame(ctx);
        return TRUE;
    }
    return FALSE;
}

INT_PTR OnHScroll(HWND dlg, NRDialogContext* ctx, HWND control) {
    if (!ctx) return TRUE;
    const int id = GetDlgCtrlID(control);
    for (const StrengthControl& s : kStrengths) {
        if (s.slider != id) continue;
        const LRESULT position = SendDlgItemMessageA(dlg, id, TBM_GETPOS, 0, 0);
        SetDlgItemInt(dlg, s.edit, static_cast<UINT>(static_cast<int>(position)), TRUE);
    }
    if (ctx->filterData) ReadControls(dlg, ctx->filterData);
    RedoFrame(ctx);
    return TRUE;
}

INT_PTR CALLBACK ConfigDialogProc(HWND dlg, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* ctx = reinterpret_cast<NRDialogContext*>(GetWindowLongPtrA(dlg, GWLP_USERDATA));
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(dlg, lParam);
    case WM_COMMAND:
        return OnCommand(dlg, ctx, LOWORD(wParam), HIWORD(wParam));
    case WM_HSCROLL:
        return OnHScroll(dlg, ctx, reinterpret_cast<HWND>(lParam));
    case WM_TIMER:
        if (wParam == IDT_SIGMA_REFRESH && ctx && ctx->filterData)
            UpdateSigmaText(dlg, ctx->filterData);
        return TRUE;
    case WM_DESTROY:
        KillTimer(dlg, IDT_SIGMA_REFRESH);
        return FALSE;
    default:
        return FALSE;
    }
}

// The module the template lives in. Registration normally hands us the handle;
// without it we look in our own image rather than let the dialog manager
// search the host's executable for a template of the same number.
HINSTANCE DialogResourceModule() {
    if (void* registered = NRResourceModule()) return static_cast<HINSTANCE>(registered);
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ConfigDialogProc), &self);
    return self;
}

}  // namespace

void NRRunConfigDialog(FilterActivation* fa, NRFilterData* fd, void* parentWindow) {
    // The trackbar class must exist before the template is instantiated.
    INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES};
    InitCommonControlsEx(&classes);

    NRDialogContext ctx{fd, fa ? fa->preview : nullptr, nullptr};
    DialogBoxParamA(DialogResourceModule(), MAKEINTRESOURCEA(IDD_QUELMAR_CONFIG),
                    static_cast<HWND>(parentWindow), ConfigDialogProc, reinterpret_cast<LPARAM>(&ctx));
}
