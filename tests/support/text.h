// Reading the lines a program or module writes.
#pragma once
#include <string>

namespace qtest {

// The words after the first occurrence of prefix, to the end of its line (a
// CR before the newline dropped); empty when prefix does not occur. *count,
// when given, receives how many times it occurs.
inline std::string WordsAfter(const std::string& text, const std::string& prefix, int* count = nullptr) {
    std::string words;
    int n = 0;
    for (auto at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1), ++n) {
        if (n > 0) continue;
        words = text.substr(at + prefix.size(), text.find('\n', at) - at - prefix.size());
        if (!words.empty() && words.back() == '\r') words.pop_back();
    }
    if (count != nullptr) *count = n;
    return words;
}

}  // namespace qtest
