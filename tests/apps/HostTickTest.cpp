#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "datasyncd/HostTick.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using TimePoint = datasyncd::HostTickSchedule::TimePoint;

TEST(HostTickSchedule, PeriodicRunsFromTheStartOnDemandOnlyOnePeriodAfterActivity) {
    struct Event {
        char kind;               // 'r' a run starts, 'a' activity, 'w' activity that wakes the tick
        int at;                  // seconds from the start
        std::optional<int> due;  // seconds from the start, after the event ({}: none)
    };
    const struct {
        const char* what;
        bool periodic;
        std::optional<int> dueAtStart;
        std::vector<Event> events;
    } cases[] = {
        {"periodic: at the start, then a period after each run began",
         true,
         0,
         {{'r', 0, 15}, {'a', 3, 15}, {'r', 16, 31}, {'r', 40, 55}}},
        {"on demand: the start is activity; one run a period after the first activity since the last run",
         false,
         15,
         {{'a', 3, 15}, {'r', 15, {}}, {'w', 40, 55}, {'a', 50, 55}, {'r', 55, {}}, {'w', 56, 71}}},
    };
    const TimePoint start{seconds(1000)};
    const auto at = [&](std::optional<int> s) {
        return s ? std::optional<TimePoint>(start + seconds(*s)) : std::nullopt;
    };
    for (const auto& c : cases) {
        datasyncd::HostTickSchedule schedule(c.periodic, seconds(15), start);
        EXPECT_EQ(schedule.Due(), at(c.dueAtStart)) << c.what;
        for (const Event& e : c.events) {
            if (e.kind == 'r')
                schedule.RunStarted(start + seconds(e.at));
            else
                EXPECT_EQ(schedule.NoteActivity(start + seconds(e.at)), e.kind == 'w')
                    << c.what << " at " << e.at;
            EXPECT_EQ(schedule.Due(), at(e.due)) << c.what << " at " << e.at;
        }
    }
}

// Real time, but a period of milliseconds: each step waits for the run it asks for.
TEST(HostTick, RunsWhenDueGoesOnAfterAFailedRunAndStopsWhileWaitingForActivity) {
    for (const bool periodic : {true, false}) {
        std::mutex mutex;
        std::condition_variable ran;
        int runs = 0;  // guarded by mutex
        datasyncd::HostTick tick(milliseconds(5));
        tick.NoteActivity();  // before the start: nothing to run it
        tick.Start(periodic, [&] {
            std::lock_guard<std::mutex> lock(mutex);
            ++runs;
            ran.notify_all();
            if (runs == 1) throw std::runtime_error("the first run fails");
        });
        const auto runsReach = [&](int count) {
            std::unique_lock<std::mutex> lock(mutex);
            return ran.wait_for(lock, seconds(10), [&] { return runs >= count; });
        };
        EXPECT_TRUE(runsReach(1)) << periodic;
        if (!periodic) tick.NoteActivity();
        EXPECT_TRUE(runsReach(2)) << periodic << ": after a failed run";
        tick.Stop();  // on demand: waits without a deadline by now
        tick.Stop();
        tick.NoteActivity();  // after the stop: nothing runs
    }
}

}  // namespace
