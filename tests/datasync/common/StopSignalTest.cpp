// The agent's one interruptible wait: WaitUntil ends when its condition holds, when the signal's
// clock reaches the deadline, or on a stop or cancel, and only then; a change or a clock step
// that leaves it waiting makes it ask again.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <vector>

#include "datasync/common/StopSignal.h"
#include "support/ManualClock.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;
using ZEL::DataSync::StopSignal;

struct Waits {
    testsupport::ManualClock clock{testsupport::FromUnixMillis(1796554800000)};
    StopSignal signal{clock};
    platform::HANDLE serviceStop = platform::CreateEventW(true, false);
    std::atomic<bool> holds{false};
    std::atomic<int> asks{0};
};

TEST(StopSignalTest, WaitUntilEndsOnItsConditionItsDeadlineOrAStopAndOnNothingElse) {
    using Step = std::function<void(Waits&)>;
    const Step stateChanged = [](Waits& w) {
        w.holds = true;
        w.signal.Changed();
    };
    const Step changedElsewhere = [](Waits& w) { w.signal.Changed(); };
    const struct {
        const char* name;
        bool holdsAtStart;
        bool stoppedFirst;
        std::vector<Step> steps;  // each but the last leaves the wait waiting, asked once more
        StopSignal::Ended ended;
    } cases[] = {
        {"holds at the start, stop set", true, true, {}, StopSignal::Ended::Holds},
        {"state changed", false, false, {stateChanged}, StopSignal::Ended::Holds},
        {"a change that leaves it false, then the state changed",
         false,
         false,
         {changedElsewhere, stateChanged},
         StopSignal::Ended::Holds},
        {"the clock short of the deadline, then at it",
         false,
         false,
         {[](Waits& w) { w.clock.AdvanceSteady(59min); }, [](Waits& w) { w.clock.AdvanceSteady(1min); }},
         StopSignal::Ended::TimedOut},
        {"the host's stop event",
         false,
         false,
         {[](Waits& w) { platform::SetEvent(w.serviceStop); }},
         StopSignal::Ended::Stopped},
        {"the agent's cancel",
         false,
         false,
         {changedElsewhere, [](Waits& w) { w.signal.Cancel(); }},
         StopSignal::Ended::Stopped},
        {"stop set before the wait", false, true, {}, StopSignal::Ended::Stopped},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Waits w;
        ASSERT_TRUE(w.serviceStop);
        w.signal.UseServiceStop(w.serviceStop);
        w.holds = c.holdsAtStart;
        if (c.stoppedFirst) platform::SetEvent(w.serviceStop);
        const auto deadline = w.clock.SteadyNow() + 1h;
        auto waiter = std::async(std::launch::async, [&w, deadline] {
            return w.signal.WaitUntil(
                [&w] {
                    ++w.asks;
                    return w.holds.load();
                },
                deadline);
        });
        for (std::size_t n = 0; n < c.steps.size(); ++n) {
            if (!testsupport::WaitUntil([&] { return w.asks >= static_cast<int>(n) + 1; })) {
                ADD_FAILURE() << "the condition was not asked before step " << n;
                break;
            }
            EXPECT_EQ(waiter.wait_for(0s), std::future_status::timeout) << "ended before step " << n;
            c.steps[n](w);
        }
        // Bounded: a wake the wait missed would leave it waiting; the cancel then ends it.
        const bool ended = waiter.wait_for(10s) == std::future_status::ready;
        w.signal.Cancel();
        EXPECT_TRUE(ended) << "still waiting after the last step";
        EXPECT_EQ(waiter.get(), c.ended);
        platform::CloseHandle(w.serviceStop);
    }
}

}  // namespace
