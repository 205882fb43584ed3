#include "linuxhost/watch/watch_test_support.h"

namespace {

using namespace watchtest;
using ZEL::PeriodicTimer;

TEST(PeriodicTimer, FirstCallComesAfterTheInitialDelayAndDestructionIsPromptButWaitsForACall) {
    ChangeRecorder immediate, delayed, never;
    std::atomic<bool> finished{false};
    const auto created = Clock::now();
    auto first = std::make_unique<PeriodicTimer>(1h, 0ms, L"upload", [&](const std::wstring& name) {
        immediate.Record(name);
        std::this_thread::sleep_for(50ms);
        finished = true;
    });
    auto second = std::make_unique<PeriodicTimer>(1h, 60ms, L"t", delayed.Callback());
    auto third = std::make_unique<PeriodicTimer>(1h, 1h, L"t", never.Callback());
    ASSERT_TRUE(immediate.WaitForCount(1));
    first.reset();
    EXPECT_TRUE(finished.load()) << "the destructor returned while its callback still ran";
    ASSERT_TRUE(delayed.WaitForCount(1));
    EXPECT_LT(immediate.Reports()[0].at - created, 500ms);
    EXPECT_EQ(immediate.Reports()[0].path, L"upload");
    EXPECT_GE(delayed.Reports()[0].at - created, 60ms);
    const auto start = Clock::now();
    second.reset();
    third.reset();
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_EQ(immediate.Count() + delayed.Count() + never.Count(), 2u);
}

// The first call takes six periods and throws; the later ones are quick.
TEST(PeriodicTimer, CallsRepeatEveryPeriodASlowOneDelaysTheNextWithoutOverlapOrCatchUpAndThrowsAreLogged) {
    ChangeRecorder calls;
    PeriodicTimer timer(20ms, 0ms, L"t", [&calls](const std::wstring& name) {
        calls.Record(name);
        if (calls.Count() > 1) return;
        std::this_thread::sleep_for(120ms);
        throw std::runtime_error("timer-broke-51c2");
    });
    ASSERT_TRUE(calls.WaitForCount(6));
    const auto starts = calls.Reports();
    EXPECT_GE(starts[1].at - starts[0].at, 120ms) << "the second call started while the first ran";
    for (std::size_t i = 2; i < starts.size(); ++i)  // catch-up calls would come back to back
        EXPECT_GE(starts[i].at - starts[i - 1].at, 15ms) << "call " << i << " was a catch-up call";
    EXPECT_LT(starts[5].at - starts[1].at, 4 * 20ms + 2s) << "the calls do repeat every period";
    EXPECT_TRUE(HostLogLines().Contains("timer-broke-51c2"));
}

}  // namespace
