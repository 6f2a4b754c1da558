#include "platform/wide_text.h"

#include <windows.h>

namespace platform {

std::wstring WideFromUtf8(const std::string& utf8, InvalidUtf8 invalid) {
    const DWORD flags = invalid == InvalidUtf8::Refuse ? MB_ERR_INVALID_CHARS : 0;
    const int chars = MultiByteToWideChar(CP_UTF8, flags, utf8.c_str(), -1, nullptr, 0);
    if (chars <= 0) return std::wstring();
    std::wstring wide(static_cast<std::size_t>(chars), L'\0');
    if (MultiByteToWideChar(CP_UTF8, flags, utf8.c_str(), -1, wide.data(), chars) != chars) return std::wstring();
    wide.resize(static_cast<std::size_t>(chars - 1));  // the terminator
    return wide;
}

}  // namespace platform
