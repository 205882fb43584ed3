// The daemon's host tick: its work (giving freed memory back, the metrics file, systemd's
// watchdog and STATUS=; see Daemon.h) runs on a thread of its own, on one of two schedules:
//   periodic   at the start, then every period, each measured from the start of the previous
//              run (a slow run delays the next, runs never overlap, missed ones are not made
//              up): for a daemon that writes a metrics file or talks to systemd;
//   on demand  one period after the first activity noted since the previous run began (the
//              start counts as activity), and never while nothing happens: for a daemon that
//              only gives memory back after its uploads.
// HostTickSchedule makes that decision; HostTick runs it.
//
// Lifetime: Start at most once; Stop (safe twice, and without Start) wakes and joins the
// thread, waiting for a run in progress; the destructor calls it. NoteActivity may be called
// before Start and after Stop (nothing runs then).
// Thread safety: HostTickSchedule: one thread at a time. HostTick: Start and Stop are called
// by the owner's thread, NoteActivity from any thread (it never waits for a run); the work
// runs with no lock of the tick held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace datasyncd {

class HostTickSchedule {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    HostTickSchedule(bool periodic, std::chrono::milliseconds period, TimePoint start);

    // When the next run is due; empty when none is until activity is noted.
    std::optional<TimePoint> Due() const { return m_due; }
    // Activity at `now`. True when it brought a due time where there was none.
    bool NoteActivity(TimePoint now);
    // A run began at `now`.
    void RunStarted(TimePoint now);

private:
    const bool m_periodic;
    const std::chrono::milliseconds m_period;
    std::optional<TimePoint> m_due;
};

class HostTick {
public:
    explicit HostTick(std::chrono::milliseconds period) : m_period(period) {}
    ~HostTick();
    HostTick(const HostTick&) = delete;
    HostTick& operator=(const HostTick&) = delete;

    // Throws std::system_error when the thread cannot be created.
    void Start(bool periodic, std::function<void()> work);
    void NoteActivity();
    void Stop();

private:
    void Run();

    const std::chrono::milliseconds m_period;
    std::function<void()> m_work;  // set by Start, before the thread
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::optional<HostTickSchedule> m_schedule;  // guarded by m_mutex; set by Start
    bool m_stopping = false;                     // guarded by m_mutex
    std::thread m_thread;
};

}  // namespace datasyncd
