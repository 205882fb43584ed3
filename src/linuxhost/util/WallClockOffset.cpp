// The wall-clock offset file: a cheap look once a second, a read only on change.
#include "linuxhost/util/WallClockOffset.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/FileText.h"

namespace ZEL {
namespace linuxhost {
namespace {

constexpr std::int64_t kLookPeriodNs = 1000000000;

// The offset text: optional blanks, a signed decimal integer, optional blanks; empty is 0.
bool ParseOffset(const std::string& text, std::int64_t& seconds) {
    const char* begin = text.c_str();
    while (*begin == ' ' || *begin == '\t' || *begin == '\n' || *begin == '\r') ++begin;
    if (*begin == '\0') {
        seconds = 0;
        return true;
    }
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(begin, &end, 10);
    if (end == begin || errno == ERANGE) return false;
    while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r') ++end;
    if (*end != '\0') return false;
    seconds = value;
    return true;
}

}  // namespace

bool WallClockOffset::Identity::operator==(const Identity& other) const {
    return exists == other.exists && inode == other.inode && size == other.size &&
           mtime.tv_sec == other.mtime.tv_sec && mtime.tv_nsec == other.mtime.tv_nsec;
}

std::chrono::seconds WallClockOffset::Offset(std::chrono::steady_clock::time_point steadyNow) {
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::nanoseconds>(steadyNow.time_since_epoch()).count();
    std::int64_t due = m_nextLookNs.load(std::memory_order_acquire);
    // One caller per period claims the look; the others use the offset read before.
    if (now >= due &&
        m_nextLookNs.compare_exchange_strong(due, now + kLookPeriodNs, std::memory_order_acq_rel))
        Look();
    return std::chrono::seconds(m_offsetSeconds.load(std::memory_order_acquire));
}

void WallClockOffset::LookNow() {
    Look();
}

void WallClockOffset::Look() {
    const std::uint64_t look = m_looksBegun.fetch_add(1, std::memory_order_acq_rel) + 1;
    Identity now;
    struct stat info {};
    if (::stat(m_file.c_str(), &info) == 0) {
        now.exists = true;
        now.inode = info.st_ino;
        now.size = info.st_size;
        now.mtime = info.st_mtim;
    }
    {
        std::lock_guard<std::mutex> lock(m_seenMutex);
        if (look < m_lastLookStored) return;  // a look that began later has decided
        if (now == m_seen) {
            m_lastLookStored = look;
            return;
        }
    }
    std::int64_t seconds = 0;
    bool usable = true;
    std::string text;
    if (now.exists) {
        const platform::FileText file = platform::ReadFileText(m_file);
        usable = file.ok() && ParseOffset(file.text, seconds);
        if (!usable) text = file.text.substr(0, 40);
    }
    {
        std::lock_guard<std::mutex> lock(m_seenMutex);
        if (look < m_lastLookStored) return;
        m_lastLookStored = look;
        m_seen = now;
        if (usable) m_offsetSeconds.store(seconds, std::memory_order_release);
    }
    if (!usable)
        std::fprintf(stderr, "wall-clock offset file %s: \"%s\" is not a number of seconds; offset kept\n",
                     m_file.c_str(), text.c_str());
}

}  // namespace linuxhost
}  // namespace ZEL
