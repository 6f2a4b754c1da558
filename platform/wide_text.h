// UTF-8 text as the wide strings Windows' own functions take (Windows only).
#pragma once
#include <string>

namespace platform {

enum class InvalidUtf8 {
    Refuse,   // the result is empty (a file name must not change)
    Replace,  // each bad sequence becomes U+FFFD (text to show)
};

std::wstring WideFromUtf8(const std::string& utf8, InvalidUtf8 invalid);

}  // namespace platform
