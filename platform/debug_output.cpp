#include "platform/debug_output.h"

#if defined(_WIN32)
#include <windows.h>

#include "platform/wide_text.h"
#else
#include <cstdio>
#endif

namespace platform {

#if defined(_WIN32)
void WriteDebugLine(const std::string& line) {
    const std::wstring wide = WideFromUtf8(line + "\n", InvalidUtf8::Replace);
    if (!wide.empty()) OutputDebugStringW(wide.c_str());
}
#else
void WriteDebugLine(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}
#endif

}  // namespace platform
