#include "tests/windows/dialog_driver.h"

#include <commctrl.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

namespace dialogdriver {
namespace {

constexpr auto kWaitLimit = std::chrono::seconds(20);
constexpr auto kPollStep = std::chrono::milliseconds(5);

PreviewLog* LogOf(FilterPreview* self) { return reinterpret_cast<RecordingPreview*>(self)->log; }

void Record(FilterPreview* self, int entry, HWND window) {
    PreviewLog* log = LogOf(self);
    std::lock_guard lock(log->mutex);
    const int open = log->watched ? std::atomic_ref<int32_t>(log->watched->dialogOpen).load() : -1;
    log->calls.push_back({entry, window, log->dialog && IsWindow(log->dialog), open});
}

void SetButtonCallback(FilterPreview* self, void*, void*) { Record(self, kPreviewSetButtonCallback, nullptr); }
void SetSampleCallback(FilterPreview* self, void*, void*) { Record(self, kPreviewSetSampleCallback, nullptr); }
bool IsPreviewEnabled(FilterPreview* self) {
    Record(self, kPreviewIsEnabled, nullptr);
    return true;
}
void Toggle(FilterPreview* self, HWND w) { Record(self, kPreviewToggle, w); }
void Display(FilterPreview* self, HWND w, bool) { Record(self, kPreviewDisplay, w); }
void RedoFrame(FilterPreview* self) { Record(self, kPreviewRedoFrame, nullptr); }
void RedoSystem(FilterPreview* self) { Record(self, kPreviewRedoSystem, nullptr); }
void UndoSystem(FilterPreview* self) { Record(self, kPreviewUndoSystem, nullptr); }
void InitButton(FilterPreview* self, HWND button) {
    {
        PreviewLog* log = LogOf(self);
        std::lock_guard lock(log->mutex);
        log->dialog = GetParent(button);
    }
    Record(self, kPreviewInitButton, button);
}
void Close(FilterPreview* self) { Record(self, kPreviewClose, nullptr); }
bool SampleCurrentFrame(FilterPreview* self) {
    Record(self, kPreviewSampleCurrentFrame, nullptr);
    return false;
}
long SampleFrames(FilterPreview* self) {
    Record(self, kPreviewSampleFrames, nullptr);
    return 0;
}

template <typename Fn>
FilterPreviewSlot Slot(Fn fn) {
    return reinterpret_cast<FilterPreviewSlot>(fn);
}

const FilterPreviewSlot kRecordingTable[] = {
    Slot(&SetButtonCallback), Slot(&SetSampleCallback), Slot(&IsPreviewEnabled), Slot(&Toggle),
    Slot(&Display),           Slot(&RedoFrame),         Slot(&RedoSystem),       Slot(&UndoSystem),
    Slot(&InitButton),        Slot(&Close),             Slot(&SampleCurrentFrame), Slot(&SampleFrames),
};

struct WindowSearch {
    HWND found;
};

BOOL CALLBACK FindDialogWindow(HWND window, LPARAM param) {
    char className[64] = {};
    GetClassNameA(window, className, sizeof className);
    if (std::string(className) != "#32770" || !IsWindowVisible(window)) return TRUE;
    reinterpret_cast<WindowSearch*>(param)->found = window;
    return FALSE;
}

}  // namespace

void InitRecordingPreview(RecordingPreview* p, PreviewLog* log, NRFilterData* watched) {
    p->iface.vtbl = kRecordingTable;
    p->log = log;
    log->watched = watched;
    log->dialog = nullptr;
}

std::vector<PreviewCall> CallsTo(PreviewLog* log, int entry) {
    std::lock_guard lock(log->mutex);
    std::vector<PreviewCall> matching;
    for (const PreviewCall& c : log->calls)
        if (c.entry == entry) matching.push_back(c);
    return matching;
}

void ClearCalls(PreviewLog* log) {
    std::lock_guard lock(log->mutex);
    log->calls.clear();
}

bool OpenDialog(DialogRun* run, modhost::Instance* inst) {
    std::promise<DWORD> threadId;
    std::future<DWORD> idReady = threadId.get_future();
    std::packaged_task<int()> config([inst, &threadId] {
        threadId.set_value(GetCurrentThreadId());
        return modhost::CallConfig(inst, nullptr);
    });
    run->configResult = config.get_future();
    run->ui = std::thread(std::move(config));
    run->dialog = nullptr;
    const DWORD ui = idReady.get();
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        WindowSearch search{nullptr};
        EnumThreadWindows(ui, FindDialogWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found) {
            run->dialog = search.found;
            return true;
        }
        if (run->configResult.wait_for(kPollStep) == std::future_status::ready) break;
    }
    return false;
}

int WaitForDialogEnd(DialogRun* run) {
    if (run->configResult.wait_for(kWaitLimit) != std::future_status::ready) {
        std::printf("  the dialog did not end; giving up on the whole run\n0 passed, 1 failed\n");
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    run->ui.join();
    return run->configResult.get();
}

void Click(HWND dialog, int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

void TypeInto(HWND dialog, int id, const char* text) {
    HWND box = GetDlgItem(dialog, id);
    SendMessageA(box, EM_SETSEL, 0, -1);
    SendMessageA(box, WM_CHAR, VK_BACK, 0);
    for (const char* c = text; *c; ++c) SendMessageA(box, WM_CHAR, static_cast<WPARAM>(*c), 1);
}

void PressKey(HWND dialog, int id, WPARAM virtualKey) {
    HWND control = GetDlgItem(dialog, id);
    SendMessageA(control, WM_KEYDOWN, virtualKey, 1);
    SendMessageA(control, WM_KEYUP, virtualKey, static_cast<LPARAM>(0xC0000001u));
}

std::string ControlText(HWND dialog, int id) {
    char text[256] = {};
    SendMessageA(GetDlgItem(dialog, id), WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return text;
}

int TrackbarPosition(HWND dialog, int id) {
    return static_cast<int>(SendMessageA(GetDlgItem(dialog, id), TBM_GETPOS, 0, 0));
}

bool IsChecked(HWND dialog, int id) {
    return SendMessageA(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

bool IsEnabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }

std::string WaitForText(HWND dialog, int id, const std::string& want) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    std::string seen = ControlText(dialog, id);
    while (seen != want && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        seen = ControlText(dialog, id);
    }
    return seen;
}

bool SaveWindowPng(HWND window, const std::string& path) {
    RECT r{};
    if (!GetWindowRect(window, &r)) return false;
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    if (width <= 0 || height <= 0) return false;

    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = bitmap && bits;
    if (ok) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        ok = BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY) != FALSE;
        GdiFlush();
        SelectObject(memory, old);
    }
    std::vector<uint8_t> rgb;
    if (ok) {
        const auto* bgra = static_cast<const uint8_t*>(bits);
        rgb.resize(static_cast<std::size_t>(width) * height * 3);
        for (std::size_t i = 0; i < rgb.size() / 3; ++i) {
            rgb[i * 3 + 0] = bgra[i * 4 + 2];
            rgb[i * 3 + 1] = bgra[i * 4 + 1];
            rgb[i * 3 + 2] = bgra[i * 4 + 0];
        }
    }
    if (bitmap) DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok && stbi_write_png(path.c_str(), width, height, 3, rgb.data(), width * 3) != 0;
}

}  // namespace dialogdriver
