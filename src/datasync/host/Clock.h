// The one clock interface of the agent and its host: wall-clock time for records and log
// texts, a monotonic clock for every elapsed-time decision (back-off waits, the 403 window, the
// certificate pause), and the since-boot tick count. Tests install a manual clock and move
// time forward instead of sleeping.
//
// Thread safety: Now functions may be called from any thread; SetInstance only while no other
// thread uses the clock (test set-up).
#pragma once

#include <chrono>
#include <cstdint>

namespace ZEL {

class Clock {
public:
    virtual ~Clock() = default;
    static Clock* GetInstance();
    // Installs `clock` (not owned); null restores the system clock.
    static void SetInstance(Clock* clock);

    virtual std::chrono::system_clock::time_point WallNow() = 0;
    virtual std::chrono::steady_clock::time_point SteadyNow() = 0;
    // Milliseconds since system start.
    virtual std::uint64_t TickCount64() = 0;
};

}  // namespace ZEL
