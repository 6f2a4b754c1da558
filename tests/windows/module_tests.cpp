// The DLLs as the host sees them: registration, the dialog template they
// carry, and the frames they produce.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/sequences.h"
#include "tests/support/tolerance.h"
#include "tests/windows/win_host.h"
#include "tests/windows/wintest.h"

namespace {

using namespace modhost;
using winhost::ModulePath;

// Registration through the real loader: the definition the host receives
// (each module under its own name, so both can be installed), the versions,
// and the withdrawal at module exit.
void CheckRegistration(const char* dll, const char* name, const char* description) {
    static Module m;
    WT_REQUIRE(LoadModule(&m, ModulePath(dll).c_str()));
    WT_CHECK_EQ(m.initResult, 0);
    WT_CHECK_EQ(m.version, 8);
    WT_CHECK_EQ(m.compatibility, 4);
    WT_CHECK_EQ(m.calls.addFilter, 1);
    WT_CHECK_EQ(m.calls.lastDefinitionSize, 176);
    WT_CHECK_EQ(std::string(m.registered.name), std::string(name));
    WT_CHECK_EQ(std::string(m.registered.description), std::string(description));
    WT_CHECK_EQ(std::string(m.registered.maker), std::string("Quelmar"));
    WT_CHECK_EQ(m.registered.instanceDataSize, 104);
    WT_CHECK(m.registered.config != nullptr);
    UnloadModule(&m);
    WT_CHECK_EQ(m.calls.removeFilter, 1);
    WT_CHECK(m.calls.lastRemoved == &m.registered);
}

WT_CASE(cpu_module_registers) {
    CheckRegistration("Quelmar_CPU.dll", "Quelmar CPU",
                      "Denoise/degrain/deblock. Runs on the processor (CPU): needs no GPU. Auto noise "
                      "profiling.");
}
WT_CASE(cuda_module_registers) {
    CheckRegistration("Quelmar_CUDA.dll", "Quelmar CUDA (RTX 5050)",
                      "CUDA denoise/degrain/deblock (Ostrel-like). Auto noise profiling. Designed for "
                      "RTX 5050 (sm_120).");
}

std::string Utf8(const std::wstring& wide) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string text(bytes > 0 ? static_cast<std::size_t>(bytes) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, text.data(), bytes, nullptr, nullptr);
    text.resize(text.size() - 1);
    return text;
}

// Paths reach the loader as UTF-8, so a module in a folder whose name is not
// in the ANSI code page loads; a missing one is refused with a reason and
// leaves nothing loaded.
WT_CASE(module_loads_by_utf8_path_and_refuses_a_missing_one) {
    wchar_t self[MAX_PATH] = {};
    WT_REQUIRE(GetModuleFileNameW(nullptr, self, MAX_PATH) > 0);
    std::wstring dir(self);
    dir.resize(dir.find_last_of(L"\\/") + 1);
    const std::wstring folder = dir + L"m\u00f3dulo \u0444\u4e2d";
    const std::wstring copy = folder + L"\\Quelmar_CPU.dll";
    CreateDirectoryW(folder.c_str(), nullptr);
    WT_REQUIRE(CopyFileW((dir + L"Quelmar_CPU.dll").c_str(), copy.c_str(), FALSE));

    static Module m;
    WT_CHECK(LoadModule(&m, Utf8(copy).c_str()));
    WT_CHECK_EQ(m.calls.addFilter, 1);
    UnloadModule(&m);
    WT_CHECK(m.library == nullptr);

    static Module missing;
    WT_CHECK(!LoadModule(&missing, Utf8(folder + L"\\absent.dll").c_str()));
    WT_CHECK(missing.library == nullptr);
    WT_CHECK(!missing.isRegistered);
    WT_CHECK(std::strlen(missing.error) > 0);
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(folder.c_str());
}

// ---- the dialog template, read back from the DLL's resources ----

struct ExpectedControl {
    int id;
    const char* className;
    const char* text;
    DWORD style;  // beyond WS_CHILD | WS_VISIBLE
    short x, y, cx, cy;
};

constexpr DWORD kTrackbarStyle = 0x0001 /*TBS_AUTOTICKS*/ | WS_TABSTOP;
constexpr DWORD kEditStyle = ES_NUMBER | WS_BORDER | WS_TABSTOP;
constexpr DWORD kLabelStyle = SS_LEFT | WS_GROUP;

const ExpectedControl kControls[] = {
    {1200, "button", "Auto profile noise", BS_AUTOCHECKBOX | WS_TABSTOP, 12, 10, 120, 12},
    {1201, "button", "Preview...", BS_PUSHBUTTON | WS_TABSTOP, 150, 8, 70, 16},
    {1202, "button", "Show filtered", BS_AUTOCHECKBOX | WS_TABSTOP, 12, 24, 90, 12},
    {-1, "static", "Estimated sigmaY:", kLabelStyle, 12, 40, 90, 10},
    {1006, "static", "-", kLabelStyle, 110, 40, 60, 10},
    {-1, "button", "Strength", BS_GROUPBOX, 10, 58, 360, 170},
    {-1, "static", "Denoise:", kLabelStyle, 20, 76, 55, 10},
    {1100, "msctls_trackbar32", "", kTrackbarStyle, 80, 72, 220, 20},
    {1007, "edit", "", kEditStyle, 310, 74, 50, 14},
    {-1, "static", "Temporal:", kLabelStyle, 20, 106, 55, 10},
    {1101, "msctls_trackbar32", "", kTrackbarStyle, 80, 102, 220, 20},
    {1008, "edit", "", kEditStyle, 310, 104, 50, 14},
    {-1, "static", "Deblock:", kLabelStyle, 20, 136, 55, 10},
    {1102, "msctls_trackbar32", "", kTrackbarStyle, 80, 132, 220, 20},
    {1009, "edit", "", kEditStyle, 310, 134, 50, 14},
    {-1, "static", "Sharpen:", kLabelStyle, 20, 166, 55, 10},
    {1103, "msctls_trackbar32", "", kTrackbarStyle, 80, 162, 220, 20},
    {1010, "edit", "", kEditStyle, 310, 164, 50, 14},
    {-1, "static", "Stabilize:", kLabelStyle, 20, 196, 55, 10},
    {1104, "msctls_trackbar32", "", kTrackbarStyle, 80, 192, 220, 20},
    {1011, "edit", "", kEditStyle, 310, 194, 50, 14},
    {1300, "button", "Reset to recommended", BS_PUSHBUTTON | WS_TABSTOP, 10, 234, 160, 20},
    {1, "button", "OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 230, 234, 60, 20},
    {2, "button", "Cancel", BS_PUSHBUTTON | WS_TABSTOP, 300, 234, 70, 20},
};

// Reads the pieces of an extended dialog template in order.
struct TemplateReader {
    const uint8_t* at;
    const uint8_t* end;
    bool overrun;

    template <typename T>
    T Take() {
        T v{};
        if (end - at < static_cast<ptrdiff_t>(sizeof(T))) {
            overrun = true;
            return v;
        }
        std::memcpy(&v, at, sizeof(T));
        at += sizeof(T);
        return v;
    }
    // A string or an ordinal; well-known class ordinals become their names.
    std::string TakeNameOrOrdinal() {
        const uint16_t first = Take<uint16_t>();
        if (first == 0xFFFF) {
            const uint16_t ordinal = Take<uint16_t>();
            switch (ordinal) {
            case 0x80: return "button";
            case 0x81: return "edit";
            case 0x82: return "static";
            default: return std::string("#").append(std::to_string(ordinal));
            }
        }
        std::string text;
        for (uint16_t c = first; c != 0 && !overrun; c = Take<uint16_t>())
            text.push_back(static_cast<char>(c < 128 ? c : '?'));
        return text;
    }
    void AlignTo4(const uint8_t* base) {
        while ((at - base) % 4 != 0) ++at;
    }
};

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

void CheckTemplate(const char* dll) {
    HMODULE module = LoadLibraryExA(ModulePath(dll).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    WT_REQUIRE(module != nullptr);
    HRSRC found = FindResourceExA(module, MAKEINTRESOURCEA(5) /*RT_DIALOG*/, MAKEINTRESOURCEA(101),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    WT_REQUIRE(found != nullptr);
    const auto* base = static_cast<const uint8_t*>(LockResource(LoadResource(module, found)));
    TemplateReader r{base, base + SizeofResource(module, found), false};

    WT_CHECK_EQ(r.Take<uint16_t>(), 1);       // dlgVer
    WT_CHECK_EQ(r.Take<uint16_t>(), 0xFFFF);  // extended template
    r.Take<uint32_t>();                       // help id
    WT_CHECK_EQ(r.Take<uint32_t>(), 0u);      // extended style
    WT_CHECK_EQ(r.Take<uint32_t>(), static_cast<uint32_t>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT));
    const int count = r.Take<uint16_t>();
    WT_CHECK_EQ(count, 24);
    const short box[4] = {r.Take<short>(), r.Take<short>(), r.Take<short>(), r.Take<short>()};
    WT_CHECK(box[0] == 0 && box[1] == 0 && box[2] == 380 && box[3] == 272);
    WT_CHECK_EQ(r.TakeNameOrOrdinal(), std::string());  // menu
    WT_CHECK_EQ(r.TakeNameOrOrdinal(), std::string());  // class
    // One template for both modules; the dialog puts its module's name in the title.
    WT_CHECK_EQ(r.TakeNameOrOrdinal(), std::string("Quelmar"));
    WT_CHECK_EQ(r.Take<uint16_t>(), 9);  // points
    WT_CHECK_EQ(r.Take<uint16_t>(), 0);  // weight
    WT_CHECK_EQ(r.Take<uint8_t>(), 0);   // italic
    WT_CHECK_EQ(r.Take<uint8_t>(), 1);   // character set
    WT_CHECK_EQ(r.TakeNameOrOrdinal(), std::string("MS Shell Dlg"));

    for (int i = 0; i < count && i < static_cast<int>(std::size(kControls)); ++i) {
        const ExpectedControl& want = kControls[i];
        r.AlignTo4(base);
        r.Take<uint32_t>();  // help id
        const uint32_t exStyle = r.Take<uint32_t>();
        const uint32_t style = r.Take<uint32_t>();
        const short pos[4] = {r.Take<short>(), r.Take<short>(), r.Take<short>(), r.Take<short>()};
        const int id = static_cast<int>(r.Take<uint32_t>());
        const bool classIsOrdinal = r.end - r.at >= 2 && r.at[0] == 0xFF && r.at[1] == 0xFF;
        const std::string cls = Lower(r.TakeNameOrOrdinal());
        const std::string text = r.TakeNameOrOrdinal();
        const uint16_t extra = r.Take<uint16_t>();
        r.at += extra;
        WT_CHECK_EQ(id, want.id);
        WT_CHECK_EQ(cls, std::string(want.className));
        // The system's own controls by their class ordinal, as every dialog
        // template carries them; only the common control is named.
        WT_CHECK_EQ(classIsOrdinal, cls != "msctls_trackbar32");
        WT_CHECK_EQ(text, std::string(want.text));
        WT_CHECK_EQ(style, static_cast<uint32_t>(WS_CHILD | WS_VISIBLE | want.style));
        WT_CHECK_EQ(exStyle, 0u);
        WT_CHECK(pos[0] == want.x && pos[1] == want.y && pos[2] == want.cx && pos[3] == want.cy);
        if (wintest::CurrentFailed()) {
            std::printf("  (control %d of the template)\n", i);
            break;
        }
    }
    WT_CHECK(!r.overrun);
    FreeLibrary(module);
}

WT_CASE(cpu_module_carries_the_dialog_template) { CheckTemplate("Quelmar_CPU.dll"); }
WT_CASE(cuda_module_carries_the_dialog_template) { CheckTemplate("Quelmar_CUDA.dll"); }

// ---- frames ----

// No NVIDIA driver under Wine: the CUDA module must pass every frame through.
WT_CASE(cuda_module_without_driver_passes_frames_through) {
    static Module m;
    WT_REQUIRE(LoadModule(&m, ModulePath("Quelmar_CUDA.dll").c_str()));
    for (const qtest::Sequence& s : qtest::kCompared) {
        std::vector<uint8_t> inputs;
        const std::vector<uint8_t> outputs = qtest::FilterSequence(&m, s, &inputs);
        WT_CHECK(!outputs.empty());
        WT_CHECK(outputs == inputs);
    }
    UnloadModule(&m);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return bytes;
    uint8_t chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
    return bytes;
}

// The Windows CPU module filters, and gives exactly what the Linux one gives
// for the same frames: the exponential is the project's own on both, and the
// fused multiply-adds are exact on both.
WT_CASE(cpu_module_output_matches_linux_module) {
    const std::string referencePath = wintest::Option("reference");
    WT_REQUIRE(!referencePath.empty());
    const std::vector<uint8_t> reference = ReadFile(referencePath);
    static Module m;
    WT_REQUIRE(LoadModule(&m, ModulePath("Quelmar_CPU.dll").c_str()));
    std::vector<uint8_t> inputs;
    const std::vector<uint8_t> outputs = qtest::FilterSequences(&m, qtest::kCompared, &inputs);
    UnloadModule(&m);
    WT_REQUIRE(outputs.size() == reference.size());
    WT_CHECK(outputs != inputs);  // it really filtered

    const std::size_t differing = qtest::CompareBytes(outputs, reference, 1).differing;
    WT_CHECK_EQ(differing, std::size_t{0});
    std::printf("  %zu of %zu bytes differ from the Linux module\n", differing, outputs.size());
}

}  // namespace
