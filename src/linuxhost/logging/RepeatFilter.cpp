// Repeated log lines, counted and summarised.
#include "linuxhost/logging/RepeatFilter.h"

namespace ZEL {
namespace linuxhost {

std::optional<std::string> RepeatFilter::Pass(LogLevel level, const std::string& text) {
    if (level == LogLevel::Debug) return text;
    const auto now = m_now();
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto key = std::make_pair(level, std::hash<std::string>{}(text));
    const auto found = m_seen.find(key);
    if (found == m_seen.end()) {
        if (m_seen.size() >= kMaxLines) ForgetOld(now);
        m_byWritten.insert(m_seen.emplace(key, Seen{now, 0}).first);
        return text;
    }
    Seen& seen = found->second;
    if (now - seen.written < m_window) {
        ++seen.suppressed;
        return std::nullopt;
    }
    const std::int64_t suppressed = seen.suppressed;
    const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(now - seen.written).count();
    m_byWritten.erase(found);  // before its key in the index changes
    seen = Seen{now, 0};
    m_byWritten.insert(found);
    if (suppressed == 0) return text;
    return text + " (repeated " + std::to_string(suppressed) + " times in the last " +
           std::to_string(minutes) + " minutes)";
}

void RepeatFilter::ForgetOld(std::chrono::steady_clock::time_point now) {
    // Those older than the window go, then, while still full, the oldest.
    while (!m_byWritten.empty()) {
        const Lines::iterator oldest = *m_byWritten.begin();
        if (now - oldest->second.written < m_window && m_seen.size() < kMaxLines) return;
        m_byWritten.erase(m_byWritten.begin());
        m_seen.erase(oldest);
    }
}

}  // namespace linuxhost
}  // namespace ZEL
