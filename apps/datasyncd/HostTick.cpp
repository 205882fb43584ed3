// The host tick's schedule and its thread.
#include "datasyncd/HostTick.h"

#include <exception>
#include <utility>

#include "datasync/common/StringUtil.h"
#include "linuxhost/logging/FileLogging.h"

namespace datasyncd {

using Clock = std::chrono::steady_clock;

HostTickSchedule::HostTickSchedule(bool periodic, std::chrono::milliseconds period, TimePoint start)
    : m_periodic(periodic), m_period(period), m_due(periodic ? start : start + period) {}

bool HostTickSchedule::NoteActivity(TimePoint now) {
    if (m_periodic || m_due) return false;
    m_due = now + m_period;
    return true;
}

void HostTickSchedule::RunStarted(TimePoint now) {
    if (m_periodic)
        m_due = now + m_period;
    else
        m_due.reset();
}

HostTick::~HostTick() {
    Stop();
}

void HostTick::Start(bool periodic, std::function<void()> work) {
    m_work = std::move(work);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_schedule.emplace(periodic, m_period, Clock::now());
    }
    m_thread = std::thread([this] { Run(); });
}

void HostTick::NoteActivity() {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        wake = m_schedule && m_schedule->NoteActivity(Clock::now());
    }
    // Only a new due time needs the thread: it waits without a deadline until then.
    if (wake) m_wake.notify_one();
}

void HostTick::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable()) m_thread.join();
}

void HostTick::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        const std::optional<Clock::time_point> due = m_schedule->Due();
        if (!due) {
            m_wake.wait(lock);
            continue;
        }
        const Clock::time_point now = Clock::now();
        if (now < *due) {
            m_wake.wait_until(lock, *due);
            continue;
        }
        m_schedule->RunStarted(now);
        lock.unlock();
        try {
            m_work();
        } catch (const std::exception& error) {
            ZEL::linuxhost::HostLog().e(L"datasyncd: the host tick failed: %s",
                                        ZEL::String::UTF8ToUTF16(error.what()));
        }
        lock.lock();
    }
}

}  // namespace datasyncd
