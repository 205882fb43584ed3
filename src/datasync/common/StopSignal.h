// StopSignal: the one interruptible wait of the agent. Every wait that can outlast a stop (the
// back-off resets' random delays, the device-context retry, the waits for a ready endpoint or
// for the purge block to lift) waits here, and ends as soon as either of two things happens:
//   - the host sets its service-stop event (given by Init; may be null), or
//   - the agent cancels its own waits (UnInit, the destructor), whether or not the host has
//     set its event.
// A cancel holds until Reset(), so a wait that starts after the cancel ends at once; Init
// resets it so that the agent can run again.
//
// Thread safety: every function may be called from any thread. UseServiceStop and Reset are
// meant for Init, before the agent's threads run.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

#include "platform/KernelObjects.h"

namespace ZEL {
namespace DataSync {

class StopSignal {
public:
    StopSignal();
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

private:
    platform::HANDLE m_cancel;  // manual-reset, owned
    mutable std::mutex m_mutex;
    platform::HANDLE m_serviceStop;  // guarded by m_mutex
};

}  // namespace DataSync
}  // namespace ZEL
