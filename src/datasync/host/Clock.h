// The one clock interface of the agent and its host: wall-clock time for records and log
// texts, a monotonic clock for every elapsed-time decision (back-off waits, the 403 window, the
// certificate pause), and the since-boot tick count. Tests install a manual clock and move
// time forward instead of sleeping.
//
// Steady time of a real clock moves only with real time, so a wait may sleep until its
// deadline. A clock whose steady time jumps (a test's manual clock) tells the step listeners
// registered with it after each jump, so that their waits read the clock again.
//
// Thread safety: Now functions and the listener calls may be called from any thread;
// SetInstance only while no other thread uses the clock (test set-up).
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

    class StepListener {
    public:
        // Called after the clock's steady time jumped; must not wait and must not add or
        // remove listeners.
        virtual void SteadyTimeStepped() = 0;

    protected:
        ~StepListener() = default;
    };
    // `listener` (not owned) is told of each jump until it is removed; a clock that never jumps
    // keeps nothing. Remove returns once no call to `listener` runs any more.
    virtual void AddStepListener(StepListener* listener) { (void)listener; }
    virtual void RemoveStepListener(StepListener* listener) { (void)listener; }
};

}  // namespace ZEL
