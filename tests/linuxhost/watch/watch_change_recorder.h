// The watcher and timer tests' callback: collects reports (a watcher's paths, a timer's name)
// with their arrival times and lets a test wait for them with a deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "datasync/host/FileWatcher.h"

namespace watchtest {

class ChangeRecorder {
public:
    struct Report {
        std::wstring path;
        std::chrono::steady_clock::time_point at;
    };

    ZEL::FileWatcher::Callback Callback() {  // also a ZEL::PeriodicTimer::Callback
        return [this](const std::wstring& path) { Record(path); };
    }
    void Record(const std::wstring& path) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reports.push_back({path, std::chrono::steady_clock::now()});
        m_changed.notify_all();
    }
    std::vector<Report> Reports() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reports;
    }
    std::size_t Count() const { return Reports().size(); }
    // Waits until there are at least `count` reports.
    bool WaitForCount(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_reports.size() >= count; });
    }
    // True when no report beyond the first `count` arrives within `quiet` (a negative check
    // cannot avoid waiting; the windows involved are 100 ms).
    bool StaysAt(std::size_t count, std::chrono::milliseconds quiet = std::chrono::milliseconds(350)) const {
        std::unique_lock<std::mutex> lock(m_mutex);
        return !m_changed.wait_for(lock, quiet, [&] { return m_reports.size() > count; });
    }

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<Report> m_reports;
};

}  // namespace watchtest
