// A wall-clock offset read from a file, for moving the agent's wall clock in tests without
// touching the machine's clock: the system clock adds it to every wall-clock reading when the
// environment variable DATASYNC_WALL_CLOCK_OFFSET_FILE names the file. Without the variable the
// system clock never builds one of these.
//
// The file holds one signed integer, the offset in seconds (for example "31536000" or
// "-31536000"); a missing or empty file means 0. The file is looked at (one stat) at most once a
// second of the monotonic time given by the caller, and read again only when its identity
// (inode, size, modification time) changed, so a writer that renames a new file over it is seen
// within a second. A text that is not a number keeps the offset read before and writes one line
// naming the file to stderr (the host log itself reads this clock).
//
// Thread safety: Offset may be called from any thread; a caller never waits for another
// caller's look at the file (it then uses the offset read before).
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

private:
    struct Identity {
        bool exists = false;
        ino_t inode = 0;
        off_t size = 0;
        timespec mtime{};
        bool operator==(const Identity& other) const;
    };

    // REQUIRES: m_lookMutex held.
    void Look();

    const std::string m_file;
    std::atomic<std::int64_t> m_offsetSeconds{0};
    std::atomic<std::int64_t> m_nextLookNs{INT64_MIN};  // steady-clock nanoseconds
    std::mutex m_lookMutex;
    Identity m_seen;  // guarded by m_lookMutex
};

}  // namespace linuxhost
}  // namespace ZEL
