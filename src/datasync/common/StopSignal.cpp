// The agent's interruptible wait: the cancel event and the host's stop event waited on
// together with the platform's multi-object wait.
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

StopSignal::StopSignal() : m_cancel(platform::CreateEventW(true, false)) {}

StopSignal::~StopSignal() { platform::CloseHandle(m_cancel); }

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

}  // namespace DataSync
}  // namespace ZEL
