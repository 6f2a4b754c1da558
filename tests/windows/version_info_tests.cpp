// The version information of every shipped file, read back the way Explorer's
// Properties dialog reads it (GetFileVersionInfoW, VerQueryValueW).
//   files_carry_version_information --files=A.dll,B.exe --version=1.2.3 [--modules=FOLDER]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "tests/windows/win_host.h"
#include "tests/windows/wintest.h"

namespace {

std::vector<std::string> CommaList(const std::string& list) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start < list.size()) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        if (comma > start) items.push_back(list.substr(start, comma - start));
        start = comma + 1;
    }
    return items;
}

// The binary form: major.minor in the high word pair, patch.tweak in the low one.
struct BinaryVersion {
    DWORD high;
    DWORD low;
};

BinaryVersion ParseVersion(const std::string& text) {
    unsigned part[4] = {};
    std::sscanf(text.c_str(), "%u.%u.%u.%u", &part[0], &part[1], &part[2], &part[3]);
    return {part[0] << 16 | part[1], part[2] << 16 | part[3]};
}

std::wstring Wide(const std::string& text) {
    const int count = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(count > 0 ? static_cast<std::size_t>(count) : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), count);
    wide.resize(wide.size() - 1);
    return wide;
}

bool EndsWith(const std::string& text, const char* tail) {
    const std::string t(tail);
    return text.size() >= t.size() && text.compare(text.size() - t.size(), t.size(), t) == 0;
}

// A string of the U.S. English, Unicode table; "(absent)" when there is none.
std::string VersionString(const std::vector<uint8_t>& info, const wchar_t* name) {
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(info.data(), key.c_str(), &value, &length) || value == nullptr)
        return "(absent)";
    std::string text;
    for (const wchar_t* c = static_cast<const wchar_t*>(value); *c != 0; ++c)
        text.push_back(*c < 128 ? static_cast<char>(*c) : '?');
    return text;
}

// Checks one file and returns its description.
std::string CheckFile(const std::string& fileName, const std::string& version) {
    std::printf("  %s\n", fileName.c_str());  // heads the failures that follow
    const std::wstring path = Wide(winhost::ModulePath(fileName.c_str()));
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    WT_CHECK(size > 0);
    if (size == 0) return {};
    std::vector<uint8_t> info(size);
    WT_CHECK(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

    void* fixedValue = nullptr;
    UINT fixedSize = 0;
    WT_CHECK(VerQueryValueW(info.data(), L"\\", &fixedValue, &fixedSize));
    WT_CHECK(fixedSize >= sizeof(VS_FIXEDFILEINFO));
    if (fixedSize >= sizeof(VS_FIXEDFILEINFO)) {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(fixedValue);
        const BinaryVersion want = ParseVersion(version);
        WT_CHECK_EQ(fixed->dwSignature, 0xFEEF04BDul);
        WT_CHECK_EQ(fixed->dwFileVersionMS, want.high);
        WT_CHECK_EQ(fixed->dwFileVersionLS, want.low);
        WT_CHECK_EQ(fixed->dwProductVersionMS, want.high);
        WT_CHECK_EQ(fixed->dwProductVersionLS, want.low);
        WT_CHECK_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));
        WT_CHECK_EQ(fixed->dwFileType, static_cast<DWORD>(EndsWith(fileName, ".exe") ? VFT_APP : VFT_DLL));
    }

    // The language and code page the string table is found under.
    void* translation = nullptr;
    UINT translationSize = 0;
    WT_CHECK(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", &translation, &translationSize));
    WT_CHECK(translationSize >= 4);
    if (translationSize >= 4) {
        const auto* pair = static_cast<const WORD*>(translation);
        WT_CHECK_EQ(pair[0], 0x0409);
        WT_CHECK_EQ(pair[1], 1200);
    }

    WT_CHECK_EQ(VersionString(info, L"ProductName"), std::string("Quelmar"));
    WT_CHECK_EQ(VersionString(info, L"CompanyName"), std::string("Quelmar"));
    WT_CHECK_EQ(VersionString(info, L"ProductVersion"), version);
    WT_CHECK_EQ(VersionString(info, L"FileVersion"), version);
    WT_CHECK_EQ(VersionString(info, L"OriginalFilename"), fileName);
    const std::string copyright = VersionString(info, L"LegalCopyright");
    WT_CHECK(copyright.rfind("Copyright (C) 20", 0) == 0 && EndsWith(copyright, " Quelmar"));
    const std::string description = VersionString(info, L"FileDescription");
    WT_CHECK(description.rfind("Quelmar ", 0) == 0);
    return description;
}

// Product, maker, version and copyright are the same on every file; each
// file's description says what that file is.
WT_CASE(files_carry_version_information) {
    const std::vector<std::string> files = CommaList(wintest::Option("files"));
    const std::string version = wintest::Option("version");
    WT_REQUIRE(!files.empty() && !version.empty());
    std::set<std::string> descriptions;
    for (const std::string& file : files) descriptions.insert(CheckFile(file, version));
    WT_CHECK_EQ(descriptions.size(), files.size());
}

}  // namespace
