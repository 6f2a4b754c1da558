// The debugger's output channel: on Windows the debug output that debuggers
// and debug-output viewers show (OutputDebugStringW); elsewhere, lacking
// one, the process's standard error.
#pragma once
#include <string>

namespace platform {

// One line of UTF-8 text, without its line break.
void WriteDebugLine(const std::string& line);

}  // namespace platform
