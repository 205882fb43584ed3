// The clock-step decision on a manual clock. No test sets the machine's clock: the watch's thread,
// woken by the kernel or by the host clock's offset file, is left to the end-to-end ClockFlow,
// which moves the offset file.
#include <gtest/gtest.h>

#include <optional>

#include "datasyncd/ClockStepWatch.h"
#include "support/ManualClock.h"

namespace {

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
        {"just under the threshold forward", milliseconds(1999), milliseconds(0), std::nullopt},
        {"a leap second", seconds(-1), milliseconds(0), std::nullopt},
        {"the threshold forward", seconds(2), milliseconds(0), seconds(2)},
        {"a year back while ten seconds pass", -kYear + seconds(10), seconds(10), -kYear},
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

}  // namespace
