// The agent's interruptible wait: the cancel event and the host's stop event waited on
// together with the platform's multi-object wait, and for WaitUntil a wake event of each
// waiter, set by Changed().
#include "datasync/common/StopSignal.h"

#include <algorithm>
#include <vector>

namespace ZEL {
namespace DataSync {
namespace {

// A time-out that never turns into INFINITE by accident.
platform::DWORD Timeout(std::uint64_t milliseconds) {
    if (milliseconds == platform::INFINITE) return platform::INFINITE;
    return static_cast<platform::DWORD>(std::min<std::uint64_t>(milliseconds, platform::INFINITE - 1));
}

}  // namespace

// One WaitUntil call, listed with its signal while it runs.
struct StopSignal::Waiter {
    platform::HANDLE wake = platform::CreateEventW(false, false);  // auto-reset
};

StopSignal::StopSignal(Clock& clock) : m_clock(clock), m_cancel(platform::CreateEventW(true, false)) {
    m_clock.AddStepListener(this);
}

StopSignal::~StopSignal() {
    m_clock.RemoveStepListener(this);
    platform::CloseHandle(m_cancel);
}

void StopSignal::UseServiceStop(platform::HANDLE serviceStop) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_serviceStop = std::move(serviceStop);
}

platform::HANDLE StopSignal::ServiceStop() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_serviceStop;
}

void StopSignal::Cancel() { platform::SetEvent(m_cancel); }

void StopSignal::Reset() { platform::ResetEvent(m_cancel); }

bool StopSignal::WaitFor(std::uint64_t milliseconds) const {
    return WaitForEvent(nullptr, milliseconds) != Woke::TimedOut;
}

StopSignal::Woke StopSignal::WaitForEvent(const platform::HANDLE& event, std::uint64_t milliseconds) const {
    // Cancel first, so that of several signalled handles a stop wins (the lowest index does).
    std::vector<platform::HANDLE> handles{m_cancel};
    const platform::HANDLE stop = ServiceStop();
    if (stop) handles.push_back(stop);
    if (event) handles.push_back(event);
    const platform::DWORD woke = platform::WaitForMultipleObjects(static_cast<platform::DWORD>(handles.size()),
                                                                  handles.data(), false, Timeout(milliseconds));
    if (woke == platform::WAIT_TIMEOUT) return Woke::TimedOut;
    if (event && woke == platform::WAIT_OBJECT_0 + handles.size() - 1) return Woke::Event;
    return Woke::Stopped;  // a stop, a cancel, or a wait that failed: nothing may go on waiting
}

StopSignal::Ended StopSignal::WaitUntil(const std::function<bool()>& condition,
                                        std::chrono::steady_clock::time_point deadline) const {
    Waiter waiter;
    if (!waiter.wake) return condition() ? Ended::Holds : Ended::Stopped;  // no wait can be made
    // Listed before the condition is first asked, so that no change made after it is missed;
    // unlisted on every way out, a throwing condition's included.
    struct Listing {
        const StopSignal& signal;
        std::list<const Waiter*>::iterator at;
        ~Listing() {
            std::lock_guard<std::mutex> lock(signal.m_mutex);
            signal.m_waiters.erase(at);
        }
    };
    std::unique_lock<std::mutex> lock(m_mutex);
    const Listing listing{*this, m_waiters.insert(m_waiters.end(), &waiter)};
    lock.unlock();
    for (;;) {
        if (condition()) return Ended::Holds;
        std::uint64_t milliseconds = platform::INFINITE;
        if (deadline != kNoDeadline) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - m_clock.SteadyNow()).count();
            milliseconds =
                left <= 0 ? 0
                          : std::min<std::uint64_t>(static_cast<std::uint64_t>(left), platform::INFINITE - 1);
        }
        // A wait of no time still looks at the stop: a stop wins over a deadline that has passed.
        if (WaitForEvent(waiter.wake, milliseconds) == Woke::Stopped) return Ended::Stopped;
        if (deadline != kNoDeadline && m_clock.SteadyNow() >= deadline)
            return condition() ? Ended::Holds : Ended::TimedOut;
        // Woken by a change or a clock step, or real time ran out short of the clock's deadline.
    }
}

void StopSignal::Changed() const {
    WakeWaiters();
}

void StopSignal::WakeWaiters() const {
    std::vector<platform::HANDLE> wakes;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const Waiter* waiter : m_waiters) wakes.push_back(waiter->wake);
    }
    for (const platform::HANDLE& wake : wakes) platform::SetEvent(wake);
}

void StopSignal::SteadyTimeStepped() { WakeWaiters(); }

}  // namespace DataSync
}  // namespace ZEL
