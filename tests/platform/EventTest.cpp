// Unnamed in-process events and counting semaphores: auto- and manual-reset behaviour, counts
// and their limits, waiters woken from other threads, handle checks, and the per-thread last
// error.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <functional>
#include <memory>
#include <vector>

#include "platform/KernelObjects.h"
#include "platform/KernelTestSupport.h"
#include "support/WaitUntil.h"

namespace {

using namespace platform;
using platformtest::IsSet;
using platformtest::JoiningThread;
using platformtest::kGenerousMs;
using platformtest::PauseBriefly;

TEST(KernelEvent, AutoResetSignalsOnceAndTheWaitConsumesIt) {
    SetLastError(ERROR_ALREADY_EXISTS);
    HANDLE event = CreateEventW(false, false);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);  // a stale last error is cleared
    EXPECT_FALSE(IsSet(event));
    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(SetEvent(event));
    EXPECT_TRUE(IsSet(event));
    EXPECT_FALSE(IsSet(event));
    for (bool manualReset : {false, true}) {
        HANDLE initiallySet = CreateEventW(manualReset, true);
        ASSERT_TRUE(ResetEvent(initiallySet));
        EXPECT_FALSE(IsSet(initiallySet)) << manualReset;
    }
}

TEST(KernelEvent, AutoResetSetReleasesExactlyOneOfTwoWaiters) {
    HANDLE event = CreateEventW(false, false);
    std::atomic<int> woken{0};
    std::atomic<int> failures{0};
    auto waiter = [&] { ++(WaitForSingleObject(event, kGenerousMs) == WAIT_OBJECT_0 ? woken : failures); };
    JoiningThread first(waiter);
    JoiningThread second(waiter);
    PauseBriefly();
    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return woken.load() == 1; }));
    // The event went back to reset when the first waiter took it, so the second one stays put.
    EXPECT_FALSE(IsSet(event));
    ASSERT_TRUE(SetEvent(event));
    first.join();
    second.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_EQ(failures.load(), 0);
}

// Waiters blocked without a time-out: one SetEvent of a manual-reset event wakes them all and
// leaves it set; one release of n counts wakes n waiters of a semaphore and leaves none.
TEST(KernelEvent, ManualResetSetWakesEveryWaiterAndSemaphoreReleaseOnePerCount) {
    const struct {
        HANDLE object;
        int waiters;
        std::function<bool(const HANDLE&)> signal;
        bool staysSet;
    } cases[] = {
        {CreateEventW(true, false), 4, [](const HANDLE& h) { return SetEvent(h); }, true},
        {CreateSemaphoreW(0, 2), 2, [](const HANDLE& h) { return ReleaseSemaphore(h, 2, nullptr); }, false}};
    for (const auto& c : cases) {
        std::atomic<int> woken{0};
        {
            std::vector<std::unique_ptr<JoiningThread>> waiters;
            for (int i = 0; i < c.waiters; ++i)
                waiters.push_back(std::make_unique<JoiningThread>(
                    [&] { woken += WaitForSingleObject(c.object, INFINITE) == WAIT_OBJECT_0; }));
            PauseBriefly();
            ASSERT_TRUE(c.signal(c.object));
        }
        EXPECT_EQ(woken.load(), c.waiters);
        EXPECT_EQ(IsSet(c.object), c.staysSet);
        EXPECT_EQ(IsSet(c.object), c.staysSet) << "the wait took a manual-reset event";
    }
}

TEST(KernelHandle, WrongOrNullHandlesAreRefused) {
    HANDLE semaphore = CreateSemaphoreW(0, 1);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(SetEvent(semaphore));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(IsSet(semaphore)) << "the failed SetEvent released the semaphore";
    HANDLE event = CreateEventW(false, false);
    EXPECT_FALSE(ReleaseSemaphore(event, 1, nullptr));
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(event, nullptr);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ResetEvent(event));
}

TEST(KernelSemaphore, CountsUpToTheMaximumAndRefusesBadCounts) {
    HANDLE semaphore = CreateSemaphoreW(1, 4);
    long previous = -1;
    ASSERT_TRUE(ReleaseSemaphore(semaphore, 2, &previous));
    EXPECT_EQ(previous, 1);
    for (long count : {2L, 0L, -1L, LONG_MAX}) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(ReleaseSemaphore(semaphore, count, &previous)) << count;
        EXPECT_EQ(GetLastError(), count > 0 ? ERROR_TOO_MANY_POSTS : ERROR_INVALID_PARAMETER) << count;
    }
    ASSERT_TRUE(ReleaseSemaphore(semaphore, 1, &previous));  // up to exactly the maximum
    EXPECT_EQ(previous, 3);
    int taken = 0;
    while (IsSet(semaphore)) ++taken;
    EXPECT_EQ(taken, 4) << "each wait takes one count";
    for (auto counts : {std::pair<long, long>{3, 2}, {-1, 2}, {0, 0}}) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(CreateSemaphoreW(counts.first, counts.second), nullptr) << counts.first << "/" << counts.second;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

TEST(KernelLastError, IsKeptPerThread) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    DWORD seen = WAIT_FAILED, kept = WAIT_FAILED;
    JoiningThread([&] {
        seen = GetLastError();
        SetLastError(ERROR_ACCESS_DENIED);
        kept = GetLastError();
    }).join();
    EXPECT_EQ(seen, ERROR_SUCCESS);
    EXPECT_EQ(kept, ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
