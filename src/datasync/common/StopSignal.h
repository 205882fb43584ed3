// StopSignal: the one interruptible wait of the agent. Every wait that can outlast a stop (the
// back-off resets' random delays, the device-context retry, the waits for a ready endpoint, the
// worker's pause, the wait for the purge block to lift) waits here, and ends as soon as either of
// two things happens:
//   - the host sets its service-stop event (given by Init; may be null), or
//   - the agent cancels its own waits (UnInit, the destructor), whether or not the host has
//     set its event.
// A cancel holds until Reset(), so a wait that starts after the cancel ends at once; Init
// resets it so that the agent can run again.
//
// WaitUntil waits for a condition of the components' own state. It does not look at the state
// on a schedule: whoever changes state that a waiting condition reads calls Changed() after the
// change (the notifications setting the online and registered flags, the lifecycle clearing the
// started flag or applying a policy, the worker's Stop, the device-context Stop), and each
// waiter then asks its condition again. Its deadline is in the steady time of the clock the
// signal was built with; the signal listens to that clock's jumps (a test's manual clock), so
// that every waiter reads the clock again after one.
//
// Thread safety: every function may be called from any thread. UseServiceStop and Reset are
// meant for Init, before the agent's threads run. The conditions are called on the waiting
// thread with no lock of the signal held; they must not wait themselves.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>

#include "datasync/host/Clock.h"
#include "platform/KernelObjects.h"

namespace ZEL {
namespace DataSync {

class StopSignal : private Clock::StepListener {
public:
    // `clock` (not owned) must outlive the signal; WaitUntil's deadlines are in its steady time.
    explicit StopSignal(Clock& clock);
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // The host's service-stop event (a manual-reset event, not owned).
    void UseServiceStop(platform::HANDLE serviceStop);
    platform::HANDLE ServiceStop() const;

    // Ends every current and later wait until Reset.
    void Cancel();
    void Reset();

    // Waits up to `milliseconds`. True when a stop or cancel ended the wait (or the wait could
    // not be made), false when the time ran out.
    bool WaitFor(std::uint64_t milliseconds) const;

    enum class Woke { Event, Stopped, TimedOut };
    // Waits up to `milliseconds` (platform::INFINITE for no limit) for `event`, a stop or a
    // cancel. A stop or cancel wins over an event signalled at the same moment.
    Woke WaitForEvent(const platform::HANDLE& event, std::uint64_t milliseconds) const;

    enum class Ended { Holds, Stopped, TimedOut };
    static constexpr std::chrono::steady_clock::time_point kNoDeadline =
        std::chrono::steady_clock::time_point::max();
    // Waits until `condition` holds: asked at the start and again after each Changed() (or clock
    // step). Holds when it does (a condition that holds at the start wins over a stop: nothing
    // is waited for); otherwise Stopped at once on a stop or cancel, and TimedOut once the
    // clock's steady time reaches `deadline` (kNoDeadline: never).
    Ended WaitUntil(const std::function<bool()>& condition,
                    std::chrono::steady_clock::time_point deadline = kNoDeadline) const;

    // State that a waiting condition may read has changed: every WaitUntil of this signal asks
    // its condition again. Cheap without waiters; never waits. Const: it changes nothing of the
    // signal itself.
    void Changed() const;

private:
    struct Waiter;
    void SteadyTimeStepped() override;
    void WakeWaiters() const;

    Clock& m_clock;
    platform::HANDLE m_cancel;  // manual-reset, owned
    mutable std::mutex m_mutex;
    platform::HANDLE m_serviceStop;              // guarded by m_mutex
    mutable std::list<const Waiter*> m_waiters;  // guarded by m_mutex: the current WaitUntil calls
};

}  // namespace DataSync
}  // namespace ZEL
