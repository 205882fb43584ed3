// Waits on in-process objects: time-outs, which object a wait for any takes, the all-or-nothing
// wait for all, argument checks; plus the tick count.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <tuple>
#include <vector>

#include "platform/KernelObjects.h"
#include "platform/KernelTestSupport.h"

namespace {

using namespace platform;
using platformtest::Clock;
using platformtest::IsSet;
using platformtest::JoiningThread;
using platformtest::kGenerousMs;
using platformtest::MillisecondsSince;

TEST(KernelWait, TimeOutsAreRoughlyOnTimeAndTheTickCountAdvances) {
    HANDLE objects[] = {CreateEventW(false, false), CreateSemaphoreW(0, 1)};
    Clock::time_point start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(objects[0], 0), WAIT_TIMEOUT);
    EXPECT_LT(MillisecondsSince(start), 1000);
    const std::uint64_t ticks = GetTickCount64();
    for (bool waitAll : {false, true}) {
        start = Clock::now();
        EXPECT_EQ(WaitForMultipleObjects(2, objects, waitAll, 40), WAIT_TIMEOUT) << waitAll;
        EXPECT_GE(MillisecondsSince(start), 35) << waitAll;
        EXPECT_LT(MillisecondsSince(start), 2000) << waitAll;
    }
    EXPECT_GE(GetTickCount64() - ticks, 70u);
}

TEST(KernelWait, AnyWaitTakesOnlyTheLowestSignalledObject) {
    HANDLE objects[] = {CreateEventW(false, false), CreateEventW(false, true), CreateEventW(false, true),
                        CreateSemaphoreW(1, 5)};
    EXPECT_EQ(WaitForMultipleObjects(4, objects, false, 0), WAIT_OBJECT_0 + 1);
    EXPECT_FALSE(IsSet(objects[1]));
    EXPECT_TRUE(IsSet(objects[2]));
    EXPECT_TRUE(IsSet(objects[3]));
}

TEST(KernelWait, AllWaitConsumesNothingUntilEveryObjectIsSignalled) {
    HANDLE objects[] = {CreateEventW(false, true), CreateSemaphoreW(1, 2), CreateEventW(true, false)};
    EXPECT_EQ(WaitForMultipleObjects(3, objects, true, 30), WAIT_TIMEOUT);
    JoiningThread setter([&] {
        platformtest::PauseBriefly();
        SetEvent(objects[2]);
    });
    EXPECT_EQ(WaitForMultipleObjects(3, objects, true, kGenerousMs), WAIT_OBJECT_0);
    setter.join();
    EXPECT_FALSE(IsSet(objects[0]));
    EXPECT_FALSE(IsSet(objects[1]));
    EXPECT_TRUE(IsSet(objects[2])) << "a manual-reset event stays set";
}

// Two waiters competing for the same objects: every wait for all either takes both or nothing,
// so the counts stay paired.
TEST(KernelWait, AllWaitNeverTakesPartOfItsObjects) {
    constexpr int kRounds = 200;
    HANDLE pair[] = {CreateSemaphoreW(0, kRounds), CreateSemaphoreW(0, kRounds)};
    std::atomic<int> taken{0}, failures{0};
    std::atomic<bool> abandoned{false};  // a release failed: the takers would wait for ever
    {
        auto taker = [&] {
            while (taken.load() < kRounds && !abandoned.load()) {
                const DWORD result = WaitForMultipleObjects(2, pair, true, 10);
                if (result == WAIT_OBJECT_0) {
                    ++taken;
                } else if (result != WAIT_TIMEOUT) {
                    ++failures;
                    return;
                }
            }
        };
        JoiningThread first(taker);
        JoiningThread second(taker);
        for (int i = 0; i < kRounds && !abandoned; ++i)
            abandoned = !ReleaseSemaphore(pair[0], 1, nullptr) || !ReleaseSemaphore(pair[1], 1, nullptr);
    }
    EXPECT_FALSE(abandoned.load());
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(taken.load(), kRounds);
    EXPECT_FALSE(IsSet(pair[0]));
    EXPECT_FALSE(IsSet(pair[1]));
}

TEST(KernelWait, InvalidArgumentsFailWithLastError) {
    HANDLE event = CreateEventW(true, true), semaphore = CreateSemaphoreW(2, 2), null;
    HANDLE withNull[] = {event, null};
    HANDLE twice[] = {semaphore, semaphore};
    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, event);
    for (auto [count, objects, waitAll, error] :
         {std::tuple<DWORD, const HANDLE*, bool, DWORD>{1, &null, false, ERROR_INVALID_HANDLE},
          {2, withNull, false, ERROR_INVALID_HANDLE},
          {0, &event, false, ERROR_INVALID_PARAMETER},
          {MAXIMUM_WAIT_OBJECTS + 1, many.data(), false, ERROR_INVALID_PARAMETER},
          {1, nullptr, false, ERROR_INVALID_PARAMETER},
          {2, twice, true, ERROR_INVALID_PARAMETER}}) {  // the same object twice in a wait for all
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(WaitForMultipleObjects(count, objects, waitAll, 0), WAIT_FAILED) << count;
        EXPECT_EQ(GetLastError(), error) << count;
    }
    // A wait for any may list an object twice (the first listing wins), and may list the most.
    EXPECT_EQ(WaitForMultipleObjects(2, twice, false, 0), WAIT_OBJECT_0);
    many.pop_back();
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), false, 0), WAIT_OBJECT_0);
}

}  // namespace
