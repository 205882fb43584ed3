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

struct Delay {
    int count;
    int startSeconds;
    int capSeconds;
    std::int64_t millis;
};

void PrintTo(const Delay& d, std::ostream* out) {
    *out << "count=" << d.count << " start=" << d.startSeconds << " cap=" << d.capSeconds;
}

class SleepDuration : public ::testing::TestWithParam<Delay> {};

TEST_P(SleepDuration, IsStartTimesTwoToTheCountCappedInMillis) {
    const Delay& d = GetParam();
    EXPECT_EQ(GetSleepDurationInMillis(d.count, d.startSeconds, d.capSeconds), d.millis);
}

INSTANTIATE_TEST_SUITE_P(Doubling, SleepDuration,
                         ::testing::Values(Delay{0, 2, 60, 2000}, Delay{1, 2, 60, 4000},
                                           Delay{2, 2, 60, 8000}, Delay{4, 2, 60, 32000},
                                           Delay{5, 2, 64, 64000}, Delay{10, 1, 3600, 1024000}));

INSTANTIATE_TEST_SUITE_P(Cap, SleepDuration,
                         ::testing::Values(Delay{5, 2, 60, 60000}, Delay{12, 1, 3600, 3600000},
                                           Delay{0, 100, 60, 60000}, Delay{3, 2, 0, 0}));

// Counts at and past the width of the intermediate values must give the cap, not a wrapped or
// shifted-out value.
INSTANTIATE_TEST_SUITE_P(HugeCounts, SleepDuration,
                         ::testing::Values(Delay{30, 1, INT_MAX, (std::int64_t{1} << 30) * 1000},
                                           Delay{31, 1, INT_MAX, std::int64_t{INT_MAX} * 1000},
                                           Delay{31, INT_MAX, INT_MAX, std::int64_t{INT_MAX} * 1000},
                                           Delay{32, 1, 600, 600000}, Delay{33, 1, 600, 600000},
                                           Delay{63, 1, 600, 600000}, Delay{64, 1, 600, 600000},
                                           Delay{1000, 5, 600, 600000}, Delay{INT_MAX, 1, 100, 100000},
                                           Delay{INT_MAX, INT_MAX, INT_MAX, std::int64_t{INT_MAX} * 1000}));

INSTANTIATE_TEST_SUITE_P(NegativeInputsCountAsZero, SleepDuration,
                         ::testing::Values(Delay{-1, 2, 60, 2000}, Delay{INT_MIN, 2, 60, 2000},
                                           Delay{3, -2, 60, 0}, Delay{3, 2, -60, 0}, Delay{3, 0, 60, 0}));

TEST(SleepDurationSequence, NeverDecreasesAndNeverPassesTheCap) {
    std::int64_t previous = 0;
    for (int count = 0; count <= 200; ++count) {
        const std::int64_t delay = GetSleepDurationInMillis(count, 3, 1000);
        EXPECT_GE(delay, previous) << count;
        EXPECT_LE(delay, 1000000) << count;
        previous = delay;
    }
    EXPECT_EQ(previous, 1000000);
}

class Jitter : public ::testing::Test {
protected:
    void TearDown() override { SetRandomSource(nullptr); }
};

TEST_F(Jitter, AsksTheInstalledSourceForWholeSecondsOfTheSpan) {
    std::vector<std::pair<unsigned, unsigned>> asked;
    SetRandomSource([&asked](unsigned lo, unsigned hi) {
        asked.emplace_back(lo, hi);
        return hi;
    });
    EXPECT_EQ(GetRandomJitterInSeconds(5999), 5u);
    EXPECT_EQ(GetRandomJitterInSeconds(6000), 6u);
    EXPECT_EQ(GetRandomJitterInSeconds(999), 0u);
    EXPECT_EQ(GetRandomJitterInSeconds(0), 0u);
    EXPECT_EQ(GetRandomJitterInSeconds(UINT_MAX), UINT_MAX / 1000);
    const std::vector<std::pair<unsigned, unsigned>> expected = {
        {0, 5}, {0, 6}, {0, 0}, {0, 0}, {0, UINT_MAX / 1000}};
    EXPECT_EQ(asked, expected);
}

TEST_F(Jitter, ReturnsTheSourcesAnswer) {
    SetRandomSource([](unsigned, unsigned) { return 3u; });
    EXPECT_EQ(GetRandomJitterInSeconds(10000), 3u);
}

TEST_F(Jitter, ClampsAnAnswerPastTheSpan) {
    SetRandomSource([](unsigned, unsigned) { return 99u; });
    EXPECT_EQ(GetRandomJitterInSeconds(5000), 5u);
}

TEST_F(Jitter, EmptySourceRestoresTheDefaultGenerator) {
    SetRandomSource([](unsigned, unsigned) { return 0u; });
    SetRandomSource(nullptr);
    std::set<unsigned> seen;
    for (int i = 0; i < 500 && seen.size() < 2; ++i) seen.insert(GetRandomJitterInSeconds(1000));
    EXPECT_EQ(seen, (std::set<unsigned>{0, 1}));
}

TEST_F(Jitter, DefaultGeneratorCoversTheWholeSpanAndNoMore) {
    std::set<unsigned> seen;
    for (int i = 0; i < 4000; ++i) {
        const unsigned value = GetRandomJitterInSeconds(3999);
        ASSERT_LE(value, 3u);
        seen.insert(value);
    }
    // Missing one of four values in 4000 uniform draws has a probability below 1e-400.
    EXPECT_EQ(seen, (std::set<unsigned>{0, 1, 2, 3}));
}

TEST_F(Jitter, DefaultGeneratorGivesZeroForSpansBelowOneSecond) {
    for (int i = 0; i < 100; ++i) ASSERT_EQ(GetRandomJitterInSeconds(999), 0u);
}

TEST_F(Jitter, DefaultGeneratorStaysInBoundsForTheLargestSpan) {
    for (int i = 0; i < 1000; ++i) ASSERT_LE(GetRandomJitterInSeconds(UINT_MAX), UINT_MAX / 1000);
}

TEST_F(Jitter, DefaultGeneratorServesThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::vector<int> outOfBounds(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &outOfBounds] {
            for (int i = 0; i < 2000; ++i) {
                if (GetRandomJitterInSeconds(10000) > 10u) ++outOfBounds[t];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(outOfBounds, std::vector<int>(4, 0));
}

TEST_F(Jitter, SourceMayBeReplacedWhileOtherThreadsDraw) {
    std::thread drawer([] {
        for (int i = 0; i < 2000; ++i) {
            const unsigned value = GetRandomJitterInSeconds(2000);
            if (value > 2u) ADD_FAILURE() << value;
        }
    });
    for (int i = 0; i < 200; ++i) {
        SetRandomSource([](unsigned, unsigned hi) { return hi; });
        SetRandomSource(nullptr);
    }
    drawer.join();
}

}  // namespace
