#include "platform/debug_output.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <cstdio>
#endif

namespace platform {

#if defined(_WIN32)
void WriteDebugLine(const std::string& line) {
    const std::string text = line + "\n";
    const int chars = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (chars <= 0) return;
    std::wstring wide(static_cast<std::size_t>(chars), L'\0');
    if (MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), chars) != chars) return;
    OutputDebugStringW(wide.c_str());
}
#else
void WriteDebugLine(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}
#endif

}  // namespace platform
