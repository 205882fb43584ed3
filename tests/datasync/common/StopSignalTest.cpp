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
    using E = StopSignal::Ended;
    const Step holdsNow = [](Waits& w) {
        w.holds = true;
        w.signal.Changed();
    };
    const Step otherChange = [](Waits& w) { w.signal.Changed(); };  // leaves the condition false
    const Step to59min = [](Waits& w) { w.clock.AdvanceSteady(59min); };
    const Step to60min = [](Waits& w) { w.clock.AdvanceSteady(1min); };  // the deadline
    const Step serviceStop = [](Waits& w) { platform::SetEvent(w.serviceStop); };
    const Step cancel = [](Waits& w) { w.signal.Cancel(); };
    // Each step but the last leaves the wait waiting, asked once more.
    for (const auto& [name, holdsAtStart, stoppedFirst, steps, expected] :
         {std::tuple{"holds at the start, stop set", true, true, std::vector<Step>{}, E::Holds},
          {"state changed", false, false, {holdsNow}, E::Holds},
          {"another change, then the state changed", false, false, {otherChange, holdsNow}, E::Holds},
          {"the clock short of the deadline, then at it", false, false, {to59min, to60min}, E::TimedOut},
          {"the host's stop event", false, false, {serviceStop}, E::Stopped},
          {"the agent's cancel", false, false, {otherChange, cancel}, E::Stopped},
          {"stop set before the wait", false, true, {}, E::Stopped}}) {
        SCOPED_TRACE(name);
        Waits w;
        ASSERT_TRUE(w.serviceStop);
        w.signal.UseServiceStop(w.serviceStop);
        w.holds = holdsAtStart;
        if (stoppedFirst) platform::SetEvent(w.serviceStop);
        const auto deadline = w.clock.SteadyNow() + 1h;
        auto waiter = std::async(std::launch::async, [&w, deadline] {
            return w.signal.WaitUntil(
                [&w] {
                    ++w.asks;
                    return w.holds.load();
                },
                deadline);
        });
        for (std::size_t n = 0; n < steps.size(); ++n) {
            if (!testsupport::WaitUntil([&] { return w.asks >= static_cast<int>(n) + 1; })) {
                ADD_FAILURE() << "the condition was not asked before step " << n;
                break;
            }
            EXPECT_EQ(waiter.wait_for(0s), std::future_status::timeout) << "ended before step " << n;
            steps[n](w);
        }
        // Bounded: a wake the wait missed would leave it waiting; the cancel then ends it.
        const bool ended = waiter.wait_for(10s) == std::future_status::ready;
        w.signal.Cancel();
        EXPECT_TRUE(ended) << "still waiting after the last step";
        EXPECT_EQ(waiter.get(), expected);
        platform::CloseHandle(w.serviceStop);
    }
}

}  // namespace
