// The periodic timer: when calls happen (initial delay, period from the start of each call, no
// overlap or catch-up after a slow call) and how it ends (destruction during a wait or from
// inside its own callback, a throwing callback).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "datasync/host/FileWatcher.h"
#include "linuxhost/watch/watch_test_support.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ZEL::PeriodicTimer;

// Records the start time and timer name of each call; an optional pause inside the call plays a
// slow job.
class CallLog {
public:
    PeriodicTimer::Callback Callback(std::function<std::chrono::milliseconds(int call)> pause = nullptr) {
        return [this, pause](const std::wstring& name) {
            int call;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                call = static_cast<int>(m_starts.size());
                m_starts.push_back(Clock::now());
                m_names.push_back(name);
            }
            if (pause) std::this_thread::sleep_for(pause(call));
            m_called.notify_all();
        };
    }
    bool WaitForCalls(std::size_t count, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_called.wait_for(lock, timeout, [&] { return m_starts.size() >= count; });
    }
    std::vector<Clock::time_point> Starts() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_starts;
    }
    std::wstring FirstName() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_names.empty() ? L"" : m_names[0];
    }
    std::size_t Count() { return Starts().size(); }

private:
    std::mutex m_mutex;
    std::condition_variable m_called;
    std::vector<Clock::time_point> m_starts;
    std::vector<std::wstring> m_names;
};

TEST(PeriodicTimerSchedule, FirstCallComesAfterTheInitialDelayAndCarriesTheName) {
    CallLog immediate, delayed;
    const auto created = Clock::now();
    PeriodicTimer first(1h, 0ms, L"upload", immediate.Callback());
    PeriodicTimer second(1h, 60ms, L"t", delayed.Callback());
    ASSERT_TRUE(immediate.WaitForCalls(1));
    ASSERT_TRUE(delayed.WaitForCalls(1));
    EXPECT_LT(immediate.Starts()[0] - created, 500ms);
    EXPECT_EQ(immediate.FirstName(), L"upload");
    EXPECT_GE(delayed.Starts()[0] - created, 60ms);
}

TEST(PeriodicTimerSchedule, CallsRepeatEveryPeriodAndASlowOneDelaysTheNextWithoutOverlapOrCatchUp) {
    CallLog calls;
    // The first call takes six periods; the later ones are quick.
    PeriodicTimer timer(20ms, 0ms, L"t", calls.Callback([](int call) { return call == 0 ? 120ms : 0ms; }));
    ASSERT_TRUE(calls.WaitForCalls(6));
    const auto starts = calls.Starts();
    EXPECT_GE(starts[1] - starts[0], 120ms) << "the second call started while the first ran";
    for (std::size_t i = 2; i < starts.size(); ++i) {
        // A timer that made up for the missed periods would call back to back here.
        EXPECT_GE(starts[i] - starts[i - 1], 15ms) << "call " << i << " was a catch-up call";
    }
    EXPECT_LT(starts[5] - starts[1], 4 * 20ms + 2s) << "the calls do repeat every period";
}

TEST(PeriodicTimerSchedule, ExceptionFromTheCallbackIsLoggedAndCallsGoOn) {
    std::atomic<int> count{0};
    PeriodicTimer timer(20ms, 0ms, L"throwing-timer", [&](const std::wstring&) {
        if (count.fetch_add(1) == 0) throw std::runtime_error("timer-broke-51c2");
    });
    EXPECT_TRUE(watchtest::WaitUntil([&] { return count.load() >= 3; }));
    EXPECT_TRUE(watchtest::HostLogLines().Contains("timer-broke-51c2"));
}

TEST(PeriodicTimerLifetime, DestructionDuringAWaitReturnsPromptlyAndStopsTheCalls) {
    for (auto initialDelay : {1h, 0h}) {
        CallLog calls;
        auto timer = std::make_unique<PeriodicTimer>(1h, initialDelay, L"t", calls.Callback());
        const std::size_t expected = initialDelay == 0h ? 1u : 0u;
        ASSERT_TRUE(calls.WaitForCalls(expected));
        const auto start = Clock::now();
        timer.reset();
        EXPECT_LT(Clock::now() - start, 500ms);
        EXPECT_EQ(calls.Count(), expected);
    }
}

TEST(PeriodicTimerLifetime, DestructionWaitsForACallInProgress) {
    std::atomic<bool> inside{false};
    std::atomic<bool> finished{false};
    auto timer = std::make_unique<PeriodicTimer>(1h, 0ms, L"t", [&](const std::wstring&) {
        inside.store(true);
        std::this_thread::sleep_for(50ms);
        finished.store(true);
    });
    ASSERT_TRUE(watchtest::WaitUntil([&] { return inside.load(); }));
    timer.reset();
    EXPECT_TRUE(finished.load()) << "the destructor returned while its callback still ran";
}

TEST(PeriodicTimerLifetime, CallbackMayDestroyItsOwnTimer) {
    struct Shared {
        std::mutex mutex;
        std::unique_ptr<PeriodicTimer> timer;
        std::atomic<int> calls{0};
        std::atomic<bool> destroyed{false};
    };
    // Shared with the callback, which may still be returning when the test ends.
    auto shared = std::make_shared<Shared>();
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->timer = std::make_unique<PeriodicTimer>(20ms, 0ms, L"t", [shared](const std::wstring&) {
            shared->calls.fetch_add(1);
            std::unique_ptr<PeriodicTimer> self;
            {
                std::lock_guard<std::mutex> inner(shared->mutex);
                self = std::move(shared->timer);
            }
            self.reset();  // on the timer's own thread: must neither deadlock nor join itself
            shared->destroyed.store(true);
        });
    }
    ASSERT_TRUE(watchtest::WaitUntil([&] { return shared->destroyed.load(); }));
    EXPECT_FALSE(watchtest::WaitUntil([&] { return shared->calls.load() > 1; }, 150ms))
        << "the timer went on after destroying itself";
}

}  // namespace
