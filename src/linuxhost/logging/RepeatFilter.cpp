// Repeated log lines, counted and summarised.
#include "linuxhost/logging/RepeatFilter.h"

#include <algorithm>

namespace ZEL {
namespace linuxhost {

std::optional<std::string> RepeatFilter::Pass(LogLevel level, const std::string& text) {
    if (level == LogLevel::Debug) return text;
    const auto now = m_now();
    const std::size_t hash = std::hash<std::string>{}(text);
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = std::find_if(m_lines.begin(), m_lines.end(), [&](const Line& line) {
        return line.hash == hash && line.level == level;
    });
    if (found == m_lines.end()) {
        if (m_lines.size() >= kMaxLines) ForgetOld(now);
        m_lines.push_back(Line{level, hash, now, 0});
        return text;
    }
    if (now - found->written < m_window) {
        ++found->suppressed;
        return std::nullopt;
    }
    const std::int64_t suppressed = found->suppressed;
    const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(now - found->written).count();
    found->written = now;
    found->suppressed = 0;
    if (suppressed == 0) return text;
    return text + " (repeated " + std::to_string(suppressed) + " times in the last " +
           std::to_string(minutes) + " minutes)";
}

void RepeatFilter::ForgetOld(std::chrono::steady_clock::time_point now) {
    m_lines.erase(std::remove_if(m_lines.begin(), m_lines.end(),
                                 [&](const Line& line) { return now - line.written >= m_window; }),
                  m_lines.end());
    const auto writtenFirst = [](const Line& a, const Line& b) {
        return std::tie(a.written, a.level, a.hash) < std::tie(b.written, b.level, b.hash);
    };
    while (m_lines.size() >= kMaxLines) {
        const auto oldest = std::min_element(m_lines.begin(), m_lines.end(), writtenFirst);
        *oldest = m_lines.back();
        m_lines.pop_back();
    }
}

}  // namespace linuxhost
}  // namespace ZEL
