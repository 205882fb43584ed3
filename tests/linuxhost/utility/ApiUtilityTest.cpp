// Retry delays: the doubling back-off with its cap (exact values, huge counts, negative
// inputs), and the jitter's bounds with an installed random source and with the default one,
// also from several threads at once.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "datasync/host/Utility.h"

namespace {

using ZEL::ApiUtility::GetRandomJitterInSeconds;
using ZEL::ApiUtility::GetSleepDurationInMillis;
using ZEL::ApiUtility::SetRandomSource;

TEST(SleepDuration, IsStartTimesTwoToTheCountCappedInMillis) {
    const struct {
        const char* name;
        int count, startSeconds, capSeconds;
        std::int64_t millis;
    } cases[] = {
        {"first", 0, 2, 60, 2000},
        {"doubled", 4, 2, 60, 32000},
        {"exactly the cap", 5, 2, 64, 64000},
        {"capped", 5, 2, 60, 60000},
        {"start above the cap", 0, 100, 60, 60000},
        // counts at and past the width of the intermediate values give the cap, not a wrapped value
        {"30 doublings", 30, 1, INT_MAX, (std::int64_t{1} << 30) * 1000},
        {"31 doublings", 31, INT_MAX, INT_MAX, std::int64_t{INT_MAX} * 1000},
        {"32 doublings", 32, 1, 600, 600000},
        {"INT_MAX doublings", INT_MAX, 1, 100, 100000},
        {"negative count", INT_MIN, 2, 60, 2000},
        {"negative start", 3, -2, 60, 0},
        {"negative cap", 3, 2, -60, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(GetSleepDurationInMillis(c.count, c.startSeconds, c.capSeconds), c.millis) << c.name;
}

class Jitter : public ::testing::Test {
protected:
    void TearDown() override { SetRandomSource(nullptr); }
};

TEST_F(Jitter, AsksTheInstalledSourceForWholeSecondsOfTheSpanAndClampsItsAnswer) {
    std::vector<std::pair<unsigned, unsigned>> asked;
    SetRandomSource([&asked](unsigned lo, unsigned hi) {
        asked.emplace_back(lo, hi);
        return hi + 7;
    });
    EXPECT_EQ(GetRandomJitterInSeconds(5999), 5u);
    EXPECT_EQ(GetRandomJitterInSeconds(999), 0u);
    EXPECT_EQ(GetRandomJitterInSeconds(UINT_MAX), UINT_MAX / 1000);
    EXPECT_EQ(asked, (std::vector<std::pair<unsigned, unsigned>>{{0, 5}, {0, 0}, {0, UINT_MAX / 1000}}));
    SetRandomSource([](unsigned, unsigned) { return 3u; });
    EXPECT_EQ(GetRandomJitterInSeconds(10000), 3u);
}

TEST_F(Jitter, DefaultGeneratorCoversTheWholeSpanAndNoMore) {
    SetRandomSource([](unsigned, unsigned) { return 0u; });
    SetRandomSource(nullptr);  // back to the default
    std::set<unsigned> seen;
    for (int i = 0; i < 4000; ++i) {
        const unsigned value = GetRandomJitterInSeconds(3999);
        ASSERT_LE(value, 3u);
        seen.insert(value);
    }
    // Missing one of four values in 4000 uniform draws has a probability below 1e-400.
    EXPECT_EQ(seen, (std::set<unsigned>{0, 1, 2, 3}));
    for (int i = 0; i < 100; ++i) ASSERT_EQ(GetRandomJitterInSeconds(999), 0u);
    for (int i = 0; i < 1000; ++i) ASSERT_LE(GetRandomJitterInSeconds(UINT_MAX), UINT_MAX / 1000);
}

TEST_F(Jitter, ThreadsDrawAtOnceWhileTheSourceIsReplaced) {
    std::vector<std::thread> threads;
    std::vector<int> outOfBounds(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &outOfBounds] {
            for (int i = 0; i < 2000; ++i) {
                if (GetRandomJitterInSeconds(10000) > 10u) ++outOfBounds[t];
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        SetRandomSource([](unsigned, unsigned hi) { return hi; });
        SetRandomSource(nullptr);
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(outOfBounds, std::vector<int>(4, 0));
}

}  // namespace
