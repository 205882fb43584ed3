// Notices steps of the wall clock (an administrator or NTP setting the time, or a test moving the
// clock's offset): each Check compares the wall clock's distance from the monotonic clock with
// the distance at the previous Check; a change of more than kStepThreshold is a step. Clock
// slewing (at most half a millisecond a second) never comes near it.
//
// The daemon calls Check once a second from its own timer thread and publishes the host's
// system-time notification for each step. Check never waits and does no I/O beyond reading the
// clock.
//
// Thread safety: Check is called from one thread at a time.
#pragma once

#include <chrono>
#include <optional>

#include "datasync/host/Clock.h"

namespace datasyncd {

class ClockStepWatch {
public:
    static constexpr std::chrono::seconds kStepThreshold{2};

    explicit ClockStepWatch(ZEL::Clock& clock) : m_clock(clock) {}

    // The step since the previous call (wall time moved by that much more than monotonic time);
    // empty when there was none or on the first call.
    std::optional<std::chrono::seconds> Check();

private:
    ZEL::Clock& m_clock;
    std::optional<std::chrono::nanoseconds> m_lastDistance;
};

}  // namespace datasyncd
