// A wall-clock offset read from a file, for moving the agent's wall clock in tests without
// touching the machine's clock: the system clock adds it to every wall-clock reading when the
// environment variable DATASYNC_WALL_CLOCK_OFFSET_FILE names the file. Without the variable the
// system clock never builds one of these.
//
// The file holds one signed integer, the offset in seconds (for example "31536000" or
// "-31536000"); a missing or empty file means 0. The file is looked at (one stat) at most once a
// second of the monotonic time given by the caller, and read again only when its identity
// (inode, size, modification time) changed, so a writer that renames a new file over it is seen
// within a second. LookNow looks at once, for a caller that watches the file and saw it change.
// A text that is not a number keeps the offset read before and writes one line naming the file
// to stderr (the host log itself reads this clock).
//
// Thread safety: Offset and LookNow may be called from any thread; no caller waits for another
// caller's look at the file (Offset then uses the offset read before), and no lock is held
// across one. When looks overlap, the one that began last decides the offset.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace ZEL {
namespace linuxhost {

class WallClockOffset {
public:
    static constexpr const char* kEnvironmentVariable = "DATASYNC_WALL_CLOCK_OFFSET_FILE";

    explicit WallClockOffset(std::string file) : m_file(std::move(file)) {}

    // The offset in force at `steadyNow`.
    std::chrono::seconds Offset(std::chrono::steady_clock::time_point steadyNow);

    // Looks at the file now; on return, Offset gives what the file said at the time of the call
    // or later.
    void LookNow();

    const std::string& File() const { return m_file; }

private:
    struct Identity {
        bool exists = false;
        ino_t inode = 0;
        off_t size = 0;
        timespec mtime{};
        bool operator==(const Identity& other) const;
    };

    void Look();

    const std::string m_file;
    std::atomic<std::int64_t> m_offsetSeconds{0};
    std::atomic<std::int64_t> m_nextLookNs{INT64_MIN};  // steady-clock nanoseconds; claimed by CAS
    std::atomic<std::uint64_t> m_looksBegun{0};
    std::mutex m_seenMutex;
    std::uint64_t m_lastLookStored = 0;  // guarded by m_seenMutex: the look m_seen comes from
    Identity m_seen;                     // guarded by m_seenMutex
};

}  // namespace linuxhost
}  // namespace ZEL
