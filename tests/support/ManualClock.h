// A wall clock that stands still at the time the test gives it, installed as the process's
// clock for the lifetime of the object, so that time texts and clocks are tested without
// waiting. The monotonic clocks (steady time and the tick count) move only when told, together;
// each step tells the clock's step listeners (the agent's waits), which then read it again.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

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
        // Told under the lock, so that a listener removed meanwhile is never called.
        std::lock_guard<std::mutex> lock(m_listenersMutex);
        for (StepListener* listener : m_listeners) listener->SteadyTimeStepped();
    }
    void AddStepListener(StepListener* listener) override {
        std::lock_guard<std::mutex> lock(m_listenersMutex);
        m_listeners.push_back(listener);
    }
    void RemoveStepListener(StepListener* listener) override {
        std::lock_guard<std::mutex> lock(m_listenersMutex);
        m_listeners.erase(std::remove(m_listeners.begin(), m_listeners.end(), listener), m_listeners.end());
    }
    std::chrono::steady_clock::time_point SteadyNow() override {
        return std::chrono::steady_clock::time_point(std::chrono::milliseconds(m_steady.load()));
    }
    std::uint64_t TickCount64() override { return static_cast<std::uint64_t>(m_steady.load()); }

private:
    std::atomic<std::chrono::system_clock::time_point> m_wall;
    std::atomic<std::int64_t> m_steady{0};  // milliseconds
    std::mutex m_listenersMutex;
    std::vector<StepListener*> m_listeners;  // guarded by m_listenersMutex
};

inline std::chrono::system_clock::time_point FromUnixMillis(std::int64_t millis) {
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(millis));
}

}  // namespace testsupport
