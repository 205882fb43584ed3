// Counting semaphores: creation limits, the maximum count, previousCount, and that a wait takes
// exactly one count.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>

#include "platform/KernelObjects.h"
#include "platform/KernelTestSupport.h"

namespace {

using namespace platform;
using platformtest::JoiningThread;
using platformtest::kGenerousMs;
using platformtest::PauseBriefly;

// Takes counts with zero time-outs until none is left; how many were there.
int DrainCount(const HANDLE& semaphore) {
    int taken = 0;
    while (WaitForSingleObject(semaphore, 0) == WAIT_OBJECT_0) ++taken;
    return taken;
}

TEST(KernelSemaphore, EachWaitTakesOneCount) {
    HANDLE semaphore = CreateSemaphoreW(2, 5);
    ASSERT_NE(semaphore, nullptr);
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT);
}

TEST(KernelSemaphore, ReleaseReportsPreviousCount) {
    HANDLE semaphore = CreateSemaphoreW(1, 10);
    long previous = -1;
    ASSERT_TRUE(ReleaseSemaphore(semaphore, 3, &previous));
    EXPECT_EQ(previous, 1);
    ASSERT_TRUE(ReleaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(previous, 4);
    ASSERT_TRUE(ReleaseSemaphore(semaphore, 1, nullptr));
    EXPECT_EQ(DrainCount(semaphore), 6);
}

TEST(KernelSemaphore, ReleasePastMaximumFailsAndLeavesCountUnchanged) {
    HANDLE semaphore = CreateSemaphoreW(1, 2);
    long previous = -1;
    ASSERT_TRUE(ReleaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(previous, 1);

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(ReleaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);

    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(ReleaseSemaphore(semaphore, 2, &previous));
    EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
    EXPECT_FALSE(ReleaseSemaphore(semaphore, LONG_MAX, &previous));
    EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);

    EXPECT_EQ(DrainCount(semaphore), 1);
}

TEST(KernelSemaphore, ReleaseUpToExactlyTheMaximumSucceeds) {
    HANDLE semaphore = CreateSemaphoreW(0, 3);
    long previous = -1;
    ASSERT_TRUE(ReleaseSemaphore(semaphore, 3, &previous));
    EXPECT_EQ(previous, 0);
    EXPECT_EQ(DrainCount(semaphore), 3);
}

TEST(KernelSemaphore, CreateRejectsInconsistentCounts) {
    for (auto counts : {std::pair<long, long>{3, 2}, {-1, 2}, {0, 0}, {0, -1}}) {
        SCOPED_TRACE(std::to_string(counts.first) + "/" + std::to_string(counts.second));
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(CreateSemaphoreW(counts.first, counts.second), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

TEST(KernelSemaphore, ReleaseRejectsBadArguments) {
    HANDLE semaphore = CreateSemaphoreW(0, 2);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(ReleaseSemaphore(semaphore, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ReleaseSemaphore(semaphore, -1, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    HANDLE event = CreateEventW(false, false);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(ReleaseSemaphore(event, 1, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReleaseSemaphore(nullptr, 1, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    EXPECT_EQ(DrainCount(semaphore), 0);
}

TEST(KernelSemaphore, ReleaseOfTwoWakesTwoBlockedWaiters) {
    HANDLE semaphore = CreateSemaphoreW(0, 2);
    std::atomic<int> woken{0};
    {
        auto waiter = [&] {
            if (WaitForSingleObject(semaphore, kGenerousMs) == WAIT_OBJECT_0) ++woken;
        };
        JoiningThread first(waiter);
        JoiningThread second(waiter);
        PauseBriefly();
        ASSERT_TRUE(ReleaseSemaphore(semaphore, 2, nullptr));
    }
    EXPECT_EQ(woken.load(), 2);
    EXPECT_EQ(DrainCount(semaphore), 0);
}

}  // namespace
