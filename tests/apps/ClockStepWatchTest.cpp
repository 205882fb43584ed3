// The clock-step decision on a manual clock, and the watch's thread woken by the host clock's
// offset file. No test sets the machine's clock: the kernel's report of a set clock is the one
// path left to the end-to-end ClockFlow, which moves the offset file.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "datasyncd/ClockStepWatch.h"
#include "support/ManualClock.h"
#include "support/TempDir.h"

namespace {

using std::chrono::hours;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr seconds kYear{365 * 24 * 3600};

TEST(ClockStepDetector, AStepIsAMoveOfTheWallClockAgainstTheMonotonicOneOfTwoSecondsOrMore) {
    const struct {
        const char* what;
        milliseconds wall, steady;
        std::optional<seconds> step;
    } cases[] = {
        {"time passing moves both clocks", seconds(60), seconds(60), std::nullopt},
        {"a day between two checks", hours(24), hours(24), std::nullopt},
        {"just under the threshold forward", milliseconds(1999), milliseconds(0), std::nullopt},
        {"just under the threshold backward", milliseconds(-1999), milliseconds(0), std::nullopt},
        {"a leap second", seconds(-1), milliseconds(0), std::nullopt},
        {"the threshold forward", seconds(2), milliseconds(0), seconds(2)},
        {"the threshold backward", seconds(-2), milliseconds(0), seconds(-2)},
        {"a year forward", kYear, milliseconds(0), kYear},
        {"a year back while ten seconds pass", -kYear + seconds(10), seconds(10), -kYear},
        {"a resume: ten minutes of wall time, none of monotonic time", std::chrono::minutes(10),
         milliseconds(0), seconds(600)},
        {"whole seconds, towards zero", milliseconds(-2900), milliseconds(0), seconds(-2)},
    };
    for (const auto& c : cases) {
        testsupport::ManualClock clock(testsupport::FromUnixMillis(1'800'000'000'000));
        datasyncd::ClockStepDetector detector(clock);
        EXPECT_EQ(detector.Check(), std::nullopt) << c.what << ": the first check only measures";
        clock.SetWall(clock.WallNow() + c.wall);
        clock.AdvanceSteady(c.steady);
        EXPECT_EQ(detector.Check(), c.step) << c.what;
        EXPECT_EQ(detector.Check(), std::nullopt) << c.what << ": measured against the previous check";
    }
}

// Each change of the offset file has the offset read again before the check, which then sees
// the step the new offset makes (the reload moves the manual clock, as the host clock's reload
// moves its wall clock).
TEST(ClockStepWatch, AnOffsetFileWrittenRenamedOverOrRemovedIsReadAgainAndChecked) {
    testsupport::TempDir dir;
    const std::string file = dir.path() + "offset";
    const struct {
        const char* what;
        std::function<void()> change;
    } changes[] = {
        {"written in place", [&] { std::ofstream(file) << "3600"; }},
        {"renamed over",
         [&] {
             std::ofstream(file + ".new") << "7200";
             ASSERT_EQ(std::rename((file + ".new").c_str(), file.c_str()), 0);
         }},
        {"removed", [&] { ASSERT_EQ(std::remove(file.c_str()), 0); }},
    };

    testsupport::ManualClock clock(testsupport::FromUnixMillis(1'800'000'000'000));
    std::mutex mutex;
    std::condition_variable reported;
    std::vector<seconds> steps;  // guarded by mutex
    seconds offsetInFile{0};     // guarded by mutex: what the next reload reads
    int reloads = 0;             // guarded by mutex
    datasyncd::ClockStepWatch watch(
        clock,
        [&](seconds step) {
            std::lock_guard<std::mutex> lock(mutex);
            steps.push_back(step);
            reported.notify_all();
        },
        file,
        [&] {
            std::lock_guard<std::mutex> lock(mutex);
            ++reloads;
            clock.SetWall(clock.WallNow() + offsetInFile);
            offsetInFile = seconds(0);
        });
    for (std::size_t n = 0; n < std::size(changes); ++n) {
        const seconds moved = hours(n + 1);
        {
            std::lock_guard<std::mutex> lock(mutex);
            offsetInFile = moved;
        }
        changes[n].change();
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(reported.wait_for(lock, seconds(10), [&] { return steps.size() == n + 1; }))
            << changes[n].what << ": no step reported";
        EXPECT_EQ(steps.back(), moved) << changes[n].what;
    }
    watch.Stop();
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(reloads, 3) << "once per change of the offset file; a file beside it is none";
    watch.Stop();  // a second stop does nothing
}

}  // namespace
