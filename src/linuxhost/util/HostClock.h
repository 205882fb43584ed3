// The Linux host's clock: the system's clocks, except that when the environment variable
// DATASYNC_WALL_CLOCK_OFFSET_FILE names a file at the first wall-clock reading, the wall clock is
// the system's plus the offset that file gives (WallClockOffset.h): end-to-end tests move the
// daemon's wall clock that way. The monotonic clocks are never offset. Whoever watches the
// offset file (the daemon's clock-step watch) has it read again at once when it changes, rather
// than at the clock's next look.
//
// Thread safety: callable from any thread. HostServices installs one for the daemon.
#pragma once

#include <string>

#include "datasync/host/Clock.h"

namespace ZEL {
namespace linuxhost {

class HostClock : public Clock {
public:
    std::chrono::system_clock::time_point WallNow() override;
    std::chrono::steady_clock::time_point SteadyNow() override;
    std::uint64_t TickCount64() override;

    // The offset file the wall clock reads, empty when it reads none.
    static std::string OffsetFile();
    // Reads the offset file again now; nothing without one.
    static void ReloadOffset();
};

}  // namespace linuxhost
}  // namespace ZEL
