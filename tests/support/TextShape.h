// Checks texts of a fixed layout (time stamps, log line prefixes) character by character:
// in a shape, '9' stands for one decimal digit, 'S' for '+' or '-', 'L' for one of the level
// letters D, I, W, E, and every other character for itself. Kept free of std::regex, whose
// libstdc++ implementation trips -Wmaybe-uninitialized in sanitizer builds.
#pragma once

#include <string>

namespace testsupport {

inline bool HasShape(const std::string& text, const std::string& shape) {
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const char c = text[i], s = shape[i];
        const bool ok = s == '9'   ? c >= '0' && c <= '9'
                        : s == 'S' ? c == '+' || c == '-'
                        : s == 'L' ? c == 'D' || c == 'I' || c == 'W' || c == 'E'
                                   : c == s;
        if (!ok) return false;
    }
    return true;
}

}  // namespace testsupport
