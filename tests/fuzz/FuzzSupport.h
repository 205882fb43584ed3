// Shared by the fuzz targets: the input as text, a check that aborts (libFuzzer keeps the input)
// with a message, and a log that formats every line and drops it (a parser's complaints run too).
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

// Prints `what` and `detail` (control and non-ASCII bytes as \xNN, newlines kept) and aborts.
inline void Check(bool condition, const char* what, const std::string& detail = std::string()) {
    if (condition) return;
    std::string shown;
    for (unsigned char c : detail)
        shown += c == '\n' || (c >= 0x20 && c < 0x7f) ? std::string(1, static_cast<char>(c))
                                                      : std::string{'\\', 'x', "0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
    std::fprintf(stderr, "fuzz invariant broken: %s\n%s\n", what, shown.c_str());
    std::abort();
}

inline bool OneLine(const std::string& text) { return text.find('\n') == std::string::npos; }

inline ZEL::Log& DroppingLog() {
    struct DroppingSink : ZEL::LogSink {
        bool Enabled(ZEL::LogLevel) const override { return true; }
        void Write(ZEL::LogLevel, const std::string&) override {}
    };
    static ZEL::Log* log = new ZEL::Log();  // never destroyed: targets may log until the process ends
    [[maybe_unused]] static const bool bound = (log->Bind(std::make_shared<DroppingSink>()), true);
    return *log;
}

}  // namespace fuzz
