// A wall clock that stands still at the time the test gives it, installed as the process's
// clock for the lifetime of the object, so that time texts and clocks are tested without
// waiting. The monotonic clocks (steady time and the tick count) move only when told, together;
// each step wakes the agent's waits (StopSignal::ClockMoved), which then read the clock again.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "datasync/common/StopSignal.h"
#include "datasync/host/Clock.h"

namespace testsupport {

class ManualClock : public ZEL::Clock {
public:
    explicit ManualClock(std::chrono::system_clock::time_point wall) : m_wall(wall) { ZEL::Clock::SetInstance(this); }
    ~ManualClock() override { ZEL::Clock::SetInstance(nullptr); }
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    void SetWall(std::chrono::system_clock::time_point wall) { m_wall = wall; }
    std::chrono::system_clock::time_point WallNow() override { return m_wall.load(); }
    void AdvanceSteady(std::chrono::milliseconds step) {
        m_steady += step.count();
        ZEL::DataSync::StopSignal::ClockMoved();
    }
    std::chrono::steady_clock::time_point SteadyNow() override {
        return std::chrono::steady_clock::time_point(std::chrono::milliseconds(m_steady.load()));
    }
    std::uint64_t TickCount64() override { return static_cast<std::uint64_t>(m_steady.load()); }

private:
    std::atomic<std::chrono::system_clock::time_point> m_wall;
    std::atomic<std::int64_t> m_steady{0};  // milliseconds
};

inline std::chrono::system_clock::time_point FromUnixMillis(std::int64_t millis) {
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(millis));
}

}  // namespace testsupport
