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
    if (now >= m_nextLookNs.load(std::memory_order_acquire)) {
        std::unique_lock<std::mutex> lock(m_lookMutex, std::try_to_lock);
        if (lock.owns_lock() && now >= m_nextLookNs.load(std::memory_order_relaxed)) {
            Look();
            m_nextLookNs.store(now + kLookPeriodNs, std::memory_order_release);
        }
    }
    return std::chrono::seconds(m_offsetSeconds.load(std::memory_order_acquire));
}

void WallClockOffset::Look() {
    Identity now;
    struct stat info {};
    if (::stat(m_file.c_str(), &info) == 0) {
        now.exists = true;
        now.inode = info.st_ino;
        now.size = info.st_size;
        now.mtime = info.st_mtim;
    }
    if (now == m_seen) return;
    m_seen = now;
    std::int64_t seconds = 0;
    if (now.exists) {
        const platform::FileText file = platform::ReadFileText(m_file);
        if (!file.ok() || !ParseOffset(file.text, seconds)) {
            std::fprintf(stderr,
                         "wall-clock offset file %s: \"%s\" is not a number of seconds; offset kept\n",
                         m_file.c_str(), file.text.substr(0, 40).c_str());
            return;
        }
    }
    m_offsetSeconds.store(seconds, std::memory_order_release);
}

}  // namespace linuxhost
}  // namespace ZEL
