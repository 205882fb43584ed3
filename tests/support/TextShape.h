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
        const char c = text[i];
        bool ok;
        switch (shape[i]) {
            case '9':
                ok = c >= '0' && c <= '9';
                break;
            case 'S':
                ok = c == '+' || c == '-';
                break;
            case 'L':
                ok = c == 'D' || c == 'I' || c == 'W' || c == 'E';
                break;
            default:
                ok = c == shape[i];
        }
        if (!ok) return false;
    }
    return true;
}

}  // namespace testsupport
