// RepeatFilter: keeps one log file readable while something refuses over and over. A line at
// info level or above that is the same (level and text) as one written less than `window` ago is
// counted instead of written; the first one after the window is written with
// " (repeated N times in the last M minutes)" added, and starts a new window. Debug lines always
// pass: who asks for them wants them all.
//
// It remembers the lines of the last window, at most kMaxLines of them (the oldest are forgotten
// first, and their counts with them), each by a 64-bit hash of its text rather than the text,
// which often holds a path or an answer: an idle agent keeps the start-up's lines until the filter
// fills. Two lines of one window would have to share a hash (about one chance in 10^14) for one
// to be taken for the other. The room for kMaxLines lines (16 KiB) is taken once, at
// construction: a line remembered in the middle of a busy start-up would otherwise keep the heap
// pages around it, freed by the work that logged it, from going back to the system.
//
// Thread safety: any thread; a small lock held only for the lookup.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "datasync/host/Log.h"

namespace ZEL {
namespace linuxhost {

class RepeatFilter {
public:
    static constexpr std::size_t kMaxLines = 512;

    using SteadyNow = std::function<std::chrono::steady_clock::time_point()>;
    explicit RepeatFilter(SteadyNow now, std::chrono::minutes window = std::chrono::minutes(10))
        : m_now(std::move(now)), m_window(window) {
        m_lines.reserve(kMaxLines);
    }

    // The text to write for `text` now, or nothing.
    std::optional<std::string> Pass(LogLevel level, const std::string& text);

private:
    struct Line {
        LogLevel level;
        std::size_t hash;  // of the text
        std::chrono::steady_clock::time_point written;
        std::int64_t suppressed;
    };
    // Those older than the window go, then, while still full, the oldest written (among lines
    // written at the same time, the smaller level and hash first).
    void ForgetOld(std::chrono::steady_clock::time_point now);

    const SteadyNow m_now;
    const std::chrono::minutes m_window;
    std::mutex m_mutex;
    std::vector<Line> m_lines;  // guarded by m_mutex; at most kMaxLines, in no order
};

}  // namespace linuxhost
}  // namespace ZEL
