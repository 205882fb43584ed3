// What the fuzz targets share: the input as text, a check that aborts (so that libFuzzer keeps
// the input) with a message, and a log sink that formats every line and drops it, so that the
// logging of a parser's complaints runs too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "datasync/host/Log.h"

namespace fuzz {

inline std::string Text(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// `detail` with control and non-ASCII bytes as \xNN, newlines kept.
inline std::string Shown(const std::string& detail) {
    std::string out;
    for (unsigned char c : detail) {
        if (c == '\n' || (c >= 0x20 && c < 0x7f)) {
            out.push_back(static_cast<char>(c));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out;
}

[[noreturn]] inline void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n%s\n", what, Shown(detail).c_str());
    std::abort();
}

inline void Check(bool condition, const char* what, const std::string& detail = std::string()) {
    if (!condition) Fail(what, detail);
}

inline bool OneLine(const std::string& text) { return text.find('\n') == std::string::npos; }

class DroppingSink : public ZEL::LogSink {
public:
    bool Enabled(ZEL::LogLevel) const override { return true; }
    void Write(ZEL::LogLevel, const std::string&) override {}
};

// A Log bound to a DroppingSink.
inline ZEL::Log& DroppingLog() {
    static ZEL::Log* log = [] {
        auto* bound = new ZEL::Log();
        bound->Bind(std::make_shared<DroppingSink>());
        return bound;
    }();
    return *log;
}

}  // namespace fuzz
