// Notices steps of the wall clock (an administrator or NTP setting the time, a resume from
// suspend, or a test moving the host clock's offset) and reports each one.
//
// ClockStepDetector makes the decision: each Check compares the wall clock's distance from the
// monotonic clock with the distance at the previous Check; a change of more than kStepThreshold
// is a step. Slewing and frequency corrections move both clocks alike and leave the distance
// as it is, however long ago the previous Check was; a leap second moves it by one second.
// Check never waits and does no I/O beyond reading the clock. Thread safety: one thread at a
// time.
//
// ClockStepWatch runs the detector on a thread of its own that sleeps until the wall clock is
// set: it blocks in one poll on
//   - a timerfd on CLOCK_REALTIME, armed absolute for the end of time with
//     TFD_TIMER_CANCEL_ON_SET: the kernel makes it readable (the read fails with ECANCELED)
//     whenever the wall clock is set; the thread re-arms it and checks;
//   - the folder of the offset file, when one is given (the host clock's test offset,
//     HostClock.h): a file written, renamed over it or removed sets the offset; the thread has
//     the offset read again (`reloadOffset`) and checks;
//   - an eventfd that Stop writes.
// Without a usable timerfd (a kernel without TFD_TIMER_CANCEL_ON_SET) or when the offset file's
// folder cannot be watched, it checks once every kFallbackPeriod instead, and says so in
// host.log. The first Check, taken by the constructor, sets the distance the first step is
// measured against.
//
// Lifetime: the constructor starts the thread; Stop wakes and joins it (safe twice); the
// destructor calls Stop. `clock` and the callbacks must stay usable until Stop returns.
// Thread safety: the constructor and Stop are called by the owner's thread; `onStep` and
// `reloadOffset` run on the watch's thread, with no lock of the watch held.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "datasync/host/Clock.h"
#include "platform/UniqueFd.h"

namespace datasyncd {

class ClockStepDetector {
public:
    static constexpr std::chrono::seconds kStepThreshold{2};

    explicit ClockStepDetector(ZEL::Clock& clock) : m_clock(clock) {}

    // The step since the previous call (wall time moved by that much more than monotonic time);
    // empty when there was none or on the first call.
    std::optional<std::chrono::seconds> Check();

private:
    ZEL::Clock& m_clock;
    std::optional<std::chrono::nanoseconds> m_lastDistance;
};

class ClockStepWatch {
public:
    using StepCallback = std::function<void(std::chrono::seconds step)>;

    static constexpr std::chrono::seconds kFallbackPeriod{1};

    // `offsetFile`: empty for none. `reloadOffset` (may be empty) reads the offset file again.
    // Throws std::runtime_error when the stop descriptor or the thread cannot be created.
    ClockStepWatch(ZEL::Clock& clock, StepCallback onStep, std::string offsetFile = {},
                   std::function<void()> reloadOffset = {});
    ~ClockStepWatch();
    ClockStepWatch(const ClockStepWatch&) = delete;
    ClockStepWatch& operator=(const ClockStepWatch&) = delete;

    void Stop();

private:
    // A timerfd armed to be cancelled when the wall clock is set; false when it cannot be.
    bool ArmClockSetTimer();
    // An inotify watch on the offset file's folder; false when it cannot be set.
    bool WatchOffsetFolder();
    // Checks every kFallbackPeriod from now on, and says so in host.log.
    void FallBackToSampling();
    void Run();
    // One check, reporting a step to `m_onStep`.
    void CheckNow();

    ClockStepDetector m_detector;  // used by the constructor, then by the thread only
    const StepCallback m_onStep;
    const std::string m_offsetFile;
    const std::function<void()> m_reloadOffset;
    std::string m_offsetName;          // the offset file's name in its folder
    platform::UniqueFd m_clockSet;     // timerfd; empty when not usable
    platform::UniqueFd m_offsetWatch;  // inotify on the offset file's folder; empty without one
    bool m_sample = false;             // no event source for some step: check every kFallbackPeriod
    platform::UniqueFd m_stop;         // eventfd: written once by Stop
    std::thread m_thread;
};

}  // namespace datasyncd
