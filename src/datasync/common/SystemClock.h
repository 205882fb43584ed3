// The system's clocks behind the Clock interface: std::chrono's system and steady clocks, and the
// milliseconds since system start. The clock door answers it while no other clock is installed.
//
// Thread safety: stateless; callable from any thread. Lifetime: SystemClock::Instance() lives to
// process exit.
#pragma once

#include "datasync/host/Clock.h"

namespace ZEL {

class SystemClock : public Clock {
public:
    std::chrono::system_clock::time_point WallNow() override;
    std::chrono::steady_clock::time_point SteadyNow() override;
    std::uint64_t TickCount64() override;

    // The process's one system clock, never destroyed (threads may read it while the process exits).
    static SystemClock& Instance();
};

}  // namespace ZEL
