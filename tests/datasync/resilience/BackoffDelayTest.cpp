#include <gtest/gtest.h>

#include <climits>
#include <utility>
#include <vector>

#include "datasync/resilience/BackoffDelay.h"

namespace {

using ZEL::ApiUtility::GetRandomJitterInSeconds;
using ZEL::ApiUtility::SetRandomSource;

TEST(SleepDuration, IsStartTimesTwoToTheCountCappedInMillis) {
    const struct { int count, startSeconds, capSeconds; std::int64_t millis; } cases[] = {
                 {0, 2, 60, 2000}, {4, 2, 60, 32000}, {5, 2, 64, 64000} /* exactly the cap */, {5, 2, 60, 60000},
                 {0, 100, 60, 60000},  // start above the cap
                 // counts at and past the width of the intermediate values give the cap, not a wrapped value
                 {30, 1, INT_MAX, (std::int64_t{1} << 30) * 1000}, {31, INT_MAX, INT_MAX, std::int64_t{INT_MAX} * 1000},
                 {32, 1, 600, 600000}, {INT_MAX, 1, 100, 100000},
                 {INT_MIN, 2, 60, 2000}, {3, -2, 60, 0}, {3, 2, -60, 0}};  // negative count, start, cap
    for (const auto& c : cases)
        EXPECT_EQ(ZEL::ApiUtility::GetSleepDurationInMillis(c.count, c.startSeconds, c.capSeconds), c.millis)
            << c.count << " " << c.startSeconds << " " << c.capSeconds;
}

struct Jitter : ::testing::Test {
    void TearDown() override { SetRandomSource(nullptr); }
};

TEST_F(Jitter, AsksTheInstalledSourceForWholeSecondsOfTheSpanAndClampsItsAnswer) {
    std::vector<std::pair<unsigned, unsigned>> asked;
    SetRandomSource([&asked](unsigned lo, unsigned hi) { return asked.emplace_back(lo, hi), hi + 7; });
    EXPECT_EQ(GetRandomJitterInSeconds(5999), 5u);
    EXPECT_EQ(GetRandomJitterInSeconds(999), 0u);
    EXPECT_EQ(GetRandomJitterInSeconds(UINT_MAX), UINT_MAX / 1000);
    EXPECT_EQ(asked, (std::vector<std::pair<unsigned, unsigned>>{{0, 5}, {0, 0}, {0, UINT_MAX / 1000}}));
    SetRandomSource([](unsigned, unsigned) { return 3u; });
    EXPECT_EQ(GetRandomJitterInSeconds(10000), 3u);
}

}  // namespace
