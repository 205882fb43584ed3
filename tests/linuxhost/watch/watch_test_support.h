// Helpers of the watcher, timer and impersonation tests: a recorder of reports (a watcher's paths,
// a timer's name) with their arrival times, file touching, and the in-memory copy of host.log.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "linuxhost/logging/FileLogging.h"
#include "linuxhost/watch/FileWatcher.h"
#include "platform/UniqueFd.h"
#include "support/LogCapture.h"
#include "support/WaitUntil.h"

namespace watchtest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::WaitUntil;

// host.log of this binary, bound before the first test runs, whichever test logs first.
inline testsupport::LogCapture& HostLogLines() {
    static auto* capture = new testsupport::LogCapture();  // kept to process exit: HostLog binds once
    return *capture;
}
struct HostLogEnvironment : ::testing::Environment {
    void SetUp() override { HostLogLines(), ZEL::linuxhost::HostLog(); }
};
inline ::testing::Environment* const g_hostLogEnvironment =
    ::testing::AddGlobalTestEnvironment(new HostLogEnvironment);

class ChangeRecorder {
public:
    struct Report {
        std::wstring path;
        Clock::time_point at;
    };
    // Also a ZEL::PeriodicTimer::Callback.
    ZEL::FileWatcher::Callback Callback() { return [this](const std::wstring& path) { Record(path); }; }
    void Record(const std::wstring& path) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reports.push_back({path, Clock::now()});
    }
    std::vector<Report> Reports() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reports;
    }
    std::size_t Count() const { return Reports().size(); }
    bool WaitForCount(std::size_t count) const { return WaitUntil([&] { return Count() >= count; }); }
    // True when no report beyond the first `count` arrives within `quiet` (coalescing windows: 100 ms).
    bool StaysAt(std::size_t count, std::chrono::milliseconds quiet = 250ms) const {
        return !WaitUntil([&] { return Count() > count; }, quiet);
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Report> m_reports;
};

// Appends a byte to `path` (creating it), as a writer's modification would.
inline void Touch(const std::string& path) {
    const platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd) << path;
    ASSERT_EQ(::write(fd.get(), "x", 1), 1);
}

}  // namespace watchtest
