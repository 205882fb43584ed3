// Unnamed in-process events: auto-reset and manual-reset behaviour, SetEvent / ResetEvent,
// handle lifetime.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "platform/KernelObjects.h"
#include "platform/KernelTestSupport.h"

namespace {

using namespace platform;
using platformtest::EventuallyTrue;
using platformtest::JoiningThread;
using platformtest::kGenerousMs;
using platformtest::PauseBriefly;

TEST(KernelEvent, CreateClearsStaleLastError) {
    SetLastError(ERROR_ALREADY_EXISTS);
    HANDLE event = CreateEventW(false, false);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
}

TEST(KernelEvent, InitiallyResetEventTimesOut) {
    HANDLE event = CreateEventW(false, false);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
}

TEST(KernelEvent, AutoResetWaitConsumesTheSignal) {
    HANDLE event = CreateEventW(false, true);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
}

TEST(KernelEvent, AutoResetSetTwiceSignalsOnce) {
    HANDLE event = CreateEventW(false, false);
    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
}

TEST(KernelEvent, AutoResetSetReleasesExactlyOneOfTwoWaiters) {
    HANDLE event = CreateEventW(false, false);
    std::atomic<int> woken{0};
    std::atomic<int> failures{0};
    auto waiter = [&] {
        if (WaitForSingleObject(event, kGenerousMs) == WAIT_OBJECT_0) {
            ++woken;
        } else {
            ++failures;
        }
    };
    JoiningThread first(waiter);
    JoiningThread second(waiter);
    PauseBriefly();

    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(EventuallyTrue([&] { return woken.load() == 1; }));
    // The event went back to reset when the first waiter took it, so the second one stays put.
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_EQ(woken.load(), 1);

    ASSERT_TRUE(SetEvent(event));
    first.join();
    second.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_EQ(failures.load(), 0);
}

TEST(KernelEvent, ManualResetWakesEveryWaiterAndStaysSet) {
    HANDLE event = CreateEventW(true, false);
    constexpr int kWaiters = 4;
    std::atomic<int> woken{0};
    {
        std::vector<std::unique_ptr<JoiningThread>> waiters;
        for (int i = 0; i < kWaiters; ++i) {
            waiters.push_back(std::make_unique<JoiningThread>([&] {
                if (WaitForSingleObject(event, kGenerousMs) == WAIT_OBJECT_0) ++woken;
            }));
        }
        PauseBriefly();
        ASSERT_TRUE(SetEvent(event));
    }
    EXPECT_EQ(woken.load(), kWaiters);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
}

TEST(KernelEvent, ResetEventClearsBothKinds) {
    for (bool manualReset : {false, true}) {
        SCOPED_TRACE(manualReset ? "manual reset" : "auto reset");
        HANDLE event = CreateEventW(manualReset, true);
        ASSERT_TRUE(ResetEvent(event));
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    }
}

TEST(KernelEvent, SetAndResetRejectNonEvents) {
    HANDLE semaphore = CreateSemaphoreW(0, 1);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(SetEvent(semaphore));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    // The failed SetEvent must not have released the semaphore.
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT);

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(ResetEvent(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(KernelHandle, CloseHandleNullsTheHandleAndRejectsNull) {
    HANDLE event = CreateEventW(true, false);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(event, nullptr);

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(KernelHandle, ObjectOutlivesClosedHandleWhileAWaiterHoldsIt) {
    HANDLE event = CreateEventW(false, false);
    HANDLE waiterCopy = event;
    HANDLE setterCopy = event;
    DWORD result = WAIT_FAILED;
    JoiningThread waiter([&] { result = WaitForSingleObject(waiterCopy, kGenerousMs); });
    PauseBriefly();

    ASSERT_TRUE(CloseHandle(event));
    ASSERT_TRUE(SetEvent(setterCopy));
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
}

}  // namespace
