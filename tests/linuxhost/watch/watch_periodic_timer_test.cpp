// Tests of the periodic timer: when calls happen (initial delay, period measured from the start
// of each call, no overlap or catch-up after a slow call) and how it ends (destruction during a
// wait, destruction from inside its own callback, a throwing callback).
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

// Records the start time of each call; an optional pause inside the call plays a slow job.
class CallLog {
public:
    PeriodicTimer::Callback Callback(std::function<std::chrono::milliseconds(int call)> pause = nullptr) {
        return [this, pause](const std::wstring& name) {
            const int inFlight = m_inFlight.fetch_add(1) + 1;
            int seen = m_maxInFlight.load();
            while (inFlight > seen && !m_maxInFlight.compare_exchange_weak(seen, inFlight)) {
            }
            int call;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                call = static_cast<int>(m_starts.size());
                m_starts.push_back(Clock::now());
                m_names.push_back(name);
            }
            if (pause) std::this_thread::sleep_for(pause(call));
            m_inFlight.fetch_sub(1);
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
    std::vector<std::wstring> Names() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_names;
    }
    std::size_t Count() { return Starts().size(); }
    int MaxInFlight() const { return m_maxInFlight.load(); }

private:
    std::mutex m_mutex;
    std::condition_variable m_called;
    std::vector<Clock::time_point> m_starts;
    std::vector<std::wstring> m_names;
    std::atomic<int> m_inFlight{0};
    std::atomic<int> m_maxInFlight{0};
};

// --- When the callback is called ---

TEST(PeriodicTimerSchedule, FirstCallComesAtOnceWithoutInitialDelayAndCarriesTheName) {
    CallLog calls;
    const auto created = Clock::now();
    PeriodicTimer timer(1h, 0ms, L"upload", calls.Callback());
    ASSERT_TRUE(calls.WaitForCalls(1));
    EXPECT_LT(calls.Starts()[0] - created, 500ms);
    EXPECT_EQ(calls.Names()[0], L"upload");
}

TEST(PeriodicTimerSchedule, InitialDelayComesBeforeTheFirstCall) {
    CallLog calls;
    const auto created = Clock::now();
    PeriodicTimer timer(1h, 60ms, L"t", calls.Callback());
    ASSERT_TRUE(calls.WaitForCalls(1));
    EXPECT_GE(calls.Starts()[0] - created, 60ms);
}

TEST(PeriodicTimerSchedule, CallsRepeatEveryPeriod) {
    CallLog calls;
    const auto created = Clock::now();
    PeriodicTimer timer(25ms, 0ms, L"t", calls.Callback());
    ASSERT_TRUE(calls.WaitForCalls(6));
    const auto starts = calls.Starts();
    for (std::size_t i = 1; i < starts.size(); ++i) {
        EXPECT_GE(starts[i] - starts[i - 1], 20ms) << "call " << i << " came too early";
    }
    // Loose upper bound: six calls need five periods, not a lot more.
    EXPECT_LT(starts[5] - created, 5 * 25ms + 2s);
}

TEST(PeriodicTimerSchedule, SlowCallbackDelaysTheNextCallWithoutOverlapOrCatchUp) {
    CallLog calls;
    // The first call takes six periods; the later ones are quick.
    PeriodicTimer timer(20ms, 0ms, L"t", calls.Callback([](int call) { return call == 0 ? 120ms : 0ms; }));
    ASSERT_TRUE(calls.WaitForCalls(5));
    const auto starts = calls.Starts();
    EXPECT_GE(starts[1] - starts[0], 120ms) << "the second call started while the first ran";
    for (std::size_t i = 2; i < starts.size(); ++i) {
        // A timer that made up for the missed periods would call back to back here.
        EXPECT_GE(starts[i] - starts[i - 1], 15ms) << "call " << i << " was a catch-up call";
    }
    EXPECT_EQ(calls.MaxInFlight(), 1);
}

TEST(PeriodicTimerSchedule, ExceptionFromTheCallbackIsLoggedAndCallsGoOn) {
    std::atomic<int> count{0};
    PeriodicTimer timer(20ms, 0ms, L"throwing-timer", [&](const std::wstring&) {
        if (count.fetch_add(1) == 0) throw std::runtime_error("timer-broke-51c2");
    });
    EXPECT_TRUE(watchtest::WaitUntil([&] { return count.load() >= 3; }));
    EXPECT_TRUE(watchtest::HostLogLines().Contains("timer-broke-51c2"));
}

// --- How the timer ends ---

TEST(PeriodicTimerLifetime, DestructionDuringALongWaitReturnsPromptly) {
    CallLog calls;
    auto timer = std::make_unique<PeriodicTimer>(1h, 1h, L"t", calls.Callback());
    const auto start = Clock::now();
    timer.reset();
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_EQ(calls.Count(), 0u);
}

TEST(PeriodicTimerLifetime, DestructionBetweenPeriodsStopsTheCalls) {
    CallLog calls;
    auto timer = std::make_unique<PeriodicTimer>(1h, 0ms, L"t", calls.Callback());
    ASSERT_TRUE(calls.WaitForCalls(1));
    const auto start = Clock::now();
    timer.reset();
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_EQ(calls.Count(), 1u);
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
