// WaitForSingleObject / WaitForMultipleObjects on in-process objects: time-outs, which object a
// wait for any takes, the all-or-nothing wait for all, argument checks; plus the per-thread
// last error and the tick count.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/KernelObjects.h"
#include "platform/KernelTestSupport.h"

namespace {

using namespace platform;
using platformtest::Clock;
using platformtest::JoiningThread;
using platformtest::kGenerousMs;
using platformtest::MillisecondsSince;
using platformtest::PauseBriefly;

bool IsSet(const HANDLE& object) { return WaitForSingleObject(object, 0) == WAIT_OBJECT_0; }

TEST(KernelWait, SingleWaitTimesOutRoughlyOnTime) {
    HANDLE event = CreateEventW(false, false);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 60), WAIT_TIMEOUT);
    const long long elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 55);
    EXPECT_LT(elapsed, 2000);
}

TEST(KernelWait, MultipleWaitTimesOutRoughlyOnTime) {
    HANDLE objects[] = {CreateEventW(false, false), CreateSemaphoreW(0, 1)};
    for (bool waitAll : {false, true}) {
        SCOPED_TRACE(waitAll ? "wait all" : "wait any");
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(WaitForMultipleObjects(2, objects, waitAll, 40), WAIT_TIMEOUT);
        const long long elapsed = MillisecondsSince(start);
        EXPECT_GE(elapsed, 35);
        EXPECT_LT(elapsed, 2000);
    }
}

TEST(KernelWait, ZeroTimeOutReturnsAtOnce) {
    HANDLE event = CreateEventW(false, false);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_LT(MillisecondsSince(start), 1000);
}

TEST(KernelWait, SetFromAnotherThreadWakesAnInfiniteWait) {
    HANDLE event = CreateEventW(false, false);
    JoiningThread setter([&] {
        PauseBriefly();
        SetEvent(event);
    });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
}

TEST(KernelWait, AnyWaitLowestSignalledIndexWinsAndOnlyItIsConsumed) {
    HANDLE objects[] = {CreateEventW(false, false), CreateEventW(false, false), CreateEventW(false, false),
                        CreateSemaphoreW(0, 5)};
    ASSERT_TRUE(SetEvent(objects[2]));
    ASSERT_TRUE(SetEvent(objects[1]));
    ASSERT_TRUE(ReleaseSemaphore(objects[3], 1, nullptr));

    EXPECT_EQ(WaitForMultipleObjects(4, objects, false, 0), WAIT_OBJECT_0 + 1);
    EXPECT_FALSE(IsSet(objects[0]));
    EXPECT_FALSE(IsSet(objects[1]));
    EXPECT_TRUE(IsSet(objects[2]));
    EXPECT_TRUE(IsSet(objects[3]));
}

TEST(KernelWait, AnyWaitLeavesManualResetEventSet) {
    HANDLE objects[] = {CreateEventW(false, false), CreateEventW(true, true)};
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, 0), WAIT_OBJECT_0 + 1);
}

TEST(KernelWait, SetFromAnotherThreadWakesABlockedMultipleWait) {
    HANDLE objects[] = {CreateEventW(false, false), CreateEventW(false, false)};
    DWORD result = WAIT_FAILED;
    long long elapsed = -1;
    JoiningThread waiter([&] {
        const Clock::time_point start = Clock::now();
        result = WaitForMultipleObjects(2, objects, false, kGenerousMs);
        elapsed = MillisecondsSince(start);
    });
    PauseBriefly();
    ASSERT_TRUE(SetEvent(objects[1]));
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0 + 1);
    EXPECT_LT(elapsed, 2000);
    EXPECT_FALSE(IsSet(objects[1]));
}

TEST(KernelWait, AllWaitConsumesNothingUntilEveryObjectIsSignalled) {
    HANDLE objects[] = {CreateEventW(false, false), CreateSemaphoreW(0, 2), CreateEventW(false, false)};
    ASSERT_TRUE(SetEvent(objects[0]));
    ASSERT_TRUE(ReleaseSemaphore(objects[1], 1, nullptr));

    EXPECT_EQ(WaitForMultipleObjects(3, objects, true, 30), WAIT_TIMEOUT);
    // Nothing was taken by the wait that timed out.
    EXPECT_EQ(WaitForMultipleObjects(2, objects, true, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(SetEvent(objects[0]));
    ASSERT_TRUE(ReleaseSemaphore(objects[1], 1, nullptr));

    ASSERT_TRUE(SetEvent(objects[2]));
    EXPECT_EQ(WaitForMultipleObjects(3, objects, true, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(IsSet(objects[0]));
    EXPECT_FALSE(IsSet(objects[1]));
    EXPECT_FALSE(IsSet(objects[2]));
}

TEST(KernelWait, AllWaitCompletesWhenTheLastObjectIsSetFromAnotherThread) {
    HANDLE objects[] = {CreateEventW(false, true), CreateEventW(false, false)};
    JoiningThread setter([&] {
        PauseBriefly();
        SetEvent(objects[1]);
    });
    EXPECT_EQ(WaitForMultipleObjects(2, objects, true, kGenerousMs), WAIT_OBJECT_0);
    setter.join();
    EXPECT_FALSE(IsSet(objects[0]));
    EXPECT_FALSE(IsSet(objects[1]));
}

TEST(KernelWait, AllWaitLeavesManualResetEventsSet) {
    HANDLE objects[] = {CreateEventW(true, true), CreateEventW(false, true)};
    EXPECT_EQ(WaitForMultipleObjects(2, objects, true, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(IsSet(objects[0]));
    EXPECT_FALSE(IsSet(objects[1]));
}

// Two waiters competing for the same objects: every wait for all either takes both or nothing,
// so the counts stay paired.
TEST(KernelWait, AllWaitNeverTakesPartOfItsObjects) {
    constexpr int kRounds = 200;
    HANDLE pair[] = {CreateSemaphoreW(0, kRounds), CreateSemaphoreW(0, kRounds)};
    std::atomic<int> taken{0};
    std::atomic<int> failures{0};
    std::atomic<bool> abandoned{false};
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
        for (int i = 0; i < kRounds; ++i) {
            if (!ReleaseSemaphore(pair[0], 1, nullptr) || !ReleaseSemaphore(pair[1], 1, nullptr)) {
                ADD_FAILURE() << "ReleaseSemaphore failed in round " << i;
                abandoned = true;
                break;
            }
        }
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(taken.load(), kRounds);
    EXPECT_FALSE(IsSet(pair[0]));
    EXPECT_FALSE(IsSet(pair[1]));
}

TEST(KernelWait, InvalidArgumentsFailWithLastError) {
    HANDLE event = CreateEventW(true, true);
    HANDLE null;

    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(null, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    HANDLE withNull[] = {event, null};
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WaitForMultipleObjects(2, withNull, false, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WaitForMultipleObjects(0, &event, false, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    std::vector<HANDLE> tooMany(MAXIMUM_WAIT_OBJECTS + 1, event);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, tooMany.data(), false, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WaitForMultipleObjects(1, nullptr, false, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(KernelWait, MaximumNumberOfObjectsIsAccepted) {
    std::vector<HANDLE> objects;
    for (DWORD i = 0; i < MAXIMUM_WAIT_OBJECTS; ++i) objects.push_back(CreateEventW(false, false));
    ASSERT_TRUE(SetEvent(objects.back()));
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, objects.data(), false, 0),
              WAIT_OBJECT_0 + MAXIMUM_WAIT_OBJECTS - 1);
}

TEST(KernelWait, AllWaitRejectsTheSameObjectTwice) {
    HANDLE semaphore = CreateSemaphoreW(2, 2);
    HANDLE twice[] = {semaphore, semaphore};
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WaitForMultipleObjects(2, twice, true, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // A wait for any may list an object twice: the first listing wins.
    EXPECT_EQ(WaitForMultipleObjects(2, twice, false, 0), WAIT_OBJECT_0);
}

TEST(KernelLastError, IsKeptPerThread) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    DWORD seenByOtherThread = WAIT_FAILED;
    DWORD keptByOtherThread = WAIT_FAILED;
    JoiningThread other([&] {
        seenByOtherThread = GetLastError();
        SetLastError(ERROR_ACCESS_DENIED);
        keptByOtherThread = GetLastError();
    });
    other.join();
    EXPECT_EQ(seenByOtherThread, ERROR_SUCCESS);
    EXPECT_EQ(keptByOtherThread, ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(KernelTickCount, NeverGoesBackAndAdvancesAcrossAWait) {
    std::uint64_t previous = GetTickCount64();
    EXPECT_GT(previous, 0u);
    for (int i = 0; i < 1000; ++i) {
        const std::uint64_t now = GetTickCount64();
        ASSERT_GE(now, previous);
        previous = now;
    }
    HANDLE never = CreateEventW(true, false);
    const std::uint64_t before = GetTickCount64();
    EXPECT_EQ(WaitForSingleObject(never, 30), WAIT_TIMEOUT);
    const std::uint64_t after = GetTickCount64();
    EXPECT_GE(after - before, 25u);
    EXPECT_LT(after - before, 5000u);
}

}  // namespace
