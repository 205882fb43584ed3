// Named events: sharing by name between handles and with a child process, auto-reset with a
// value that never passes 1, name checks, unlinking, and waits that mix a named event with an
// in-process stop event.
#include <gtest/gtest.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
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

// Runs `body` in a forked child that exits with its result and nothing else: no test framework
// code and no exit handlers run in the child.
pid_t StartChild(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(body());
    return child;
}

// The child's exit status, or -1 when it did not exit normally.
int WaitForChild(pid_t child) {
    int status = 0;
    if (::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class KernelNamedEvent : public ::testing::Test {
protected:
    // A name no other test process uses, removed again at the end of the test.
    std::wstring NewName() {
        const std::wstring name =
            platformtest::UniqueEventName(::testing::UnitTest::GetInstance()->current_test_info()->name());
        UnlinkNamedEvent(name);  // left over by a crashed run with the same pid
        m_names.push_back(name);
        return name;
    }
    void TearDown() override {
        for (const std::wstring& name : m_names) UnlinkNamedEvent(name);
    }

private:
    std::vector<std::wstring> m_names;
};

TEST_F(KernelNamedEvent, CreatingAnExistingNameOpensTheSameEvent) {
    const std::wstring name = NewName();
    HANDLE first = CreateEventW(false, false, name);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);

    HANDLE second = CreateEventW(false, false, name);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);

    ASSERT_TRUE(SetEvent(first));
    EXPECT_TRUE(IsSet(second));
    EXPECT_FALSE(IsSet(first));
}

TEST_F(KernelNamedEvent, OpenSharesStateAndGlobalPrefixIsOptional) {
    const std::wstring name = NewName();
    HANDLE created = CreateEventW(false, false, L"Global\\" + name);
    ASSERT_NE(created, nullptr);
    HANDLE opened = OpenEventW(name);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);

    ASSERT_TRUE(SetEvent(opened));
    EXPECT_TRUE(IsSet(created));
    EXPECT_FALSE(IsSet(opened));
}

TEST_F(KernelNamedEvent, OpenOfMissingNameFailsWithFileNotFound) {
    const std::wstring name = NewName();
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(OpenEventW(name), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(KernelNamedEvent, SetTwiceSignalsOnce) {
    HANDLE event = CreateEventW(false, false, NewName());
    ASSERT_NE(event, nullptr);
    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(SetEvent(event));
    EXPECT_TRUE(IsSet(event));
    EXPECT_FALSE(IsSet(event));
}

TEST_F(KernelNamedEvent, ResetEventClearsIt) {
    HANDLE event = CreateEventW(false, true, NewName());
    ASSERT_NE(event, nullptr);
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_FALSE(IsSet(event));
}

TEST_F(KernelNamedEvent, InitialStateAppliesOnlyToANewEvent) {
    const std::wstring name = NewName();
    HANDLE created = CreateEventW(false, true, name);
    ASSERT_NE(created, nullptr);
    HANDLE reopened = CreateEventW(false, false, name);
    ASSERT_NE(reopened, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(IsSet(created));

    HANDLE reopenedSetting = CreateEventW(false, true, name);
    ASSERT_NE(reopenedSetting, nullptr);
    EXPECT_FALSE(IsSet(created));
}

TEST_F(KernelNamedEvent, ManualResetIsRejected) {
    const std::wstring name = NewName();
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(CreateEventW(true, false, name), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(OpenEventW(name), nullptr);
}

TEST_F(KernelNamedEvent, UnsafeNamesAreRejected) {
    const std::wstring unsafe[] = {L"Global\\", L"a/b", L"Global\\..\\x", L"../x", L"Local\\x", L"with space",
                                   L"tab\t", L"caf\u00e9", std::wstring(201, L'a')};
    for (const std::wstring& name : unsafe) {
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(CreateEventW(false, false, name), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(OpenEventW(name), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(UnlinkNamedEvent(name));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

TEST_F(KernelNamedEvent, UnlinkRemovesTheNameButOpenHandlesKeepWorking) {
    const std::wstring name = NewName();
    HANDLE event = CreateEventW(false, false, name);
    ASSERT_NE(event, nullptr);
    EXPECT_TRUE(UnlinkNamedEvent(name));

    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(OpenEventW(name), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(UnlinkNamedEvent(name));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    ASSERT_TRUE(SetEvent(event));
    EXPECT_TRUE(IsSet(event));
}

TEST_F(KernelNamedEvent, ClosingOneHandleLeavesTheOthersWorking) {
    const std::wstring name = NewName();
    HANDLE first = CreateEventW(false, false, name);
    HANDLE second = OpenEventW(name);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(CloseHandle(first));

    ASSERT_TRUE(SetEvent(second));
    HANDLE third = OpenEventW(name);
    ASSERT_NE(third, nullptr);
    EXPECT_TRUE(IsSet(third));
}

TEST_F(KernelNamedEvent, WaitTimesOutRoughlyOnTime) {
    HANDLE event = CreateEventW(false, false, NewName());
    ASSERT_NE(event, nullptr);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 60), WAIT_TIMEOUT);
    const long long elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 55);
    EXPECT_LT(elapsed, 2000);
}

TEST_F(KernelNamedEvent, SetThroughAnotherHandleWakesABlockedWait) {
    const std::wstring name = NewName();
    HANDLE waited = CreateEventW(false, false, name);
    HANDLE setter = OpenEventW(name);
    ASSERT_NE(waited, nullptr);
    ASSERT_NE(setter, nullptr);
    JoiningThread signaller([&] {
        PauseBriefly();
        SetEvent(setter);
    });
    EXPECT_EQ(WaitForSingleObject(waited, kGenerousMs), WAIT_OBJECT_0);
    signaller.join();
    EXPECT_FALSE(IsSet(waited));
}

TEST_F(KernelNamedEvent, ChildProcessOpensByNameAndSetsIt) {
    const std::wstring name = NewName();
    HANDLE event = CreateEventW(false, false, name);
    ASSERT_NE(event, nullptr);

    const pid_t child = StartChild([&] {
        HANDLE opened = OpenEventW(name);
        if (!opened) return 2;
        return SetEvent(opened) ? 0 : 3;
    });
    ASSERT_GT(child, 0);
    EXPECT_EQ(WaitForSingleObject(event, kGenerousMs), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForChild(child), 0);
}

TEST_F(KernelNamedEvent, ChildProcessWaitsForTheParentsSet) {
    const std::wstring name = NewName();
    HANDLE event = CreateEventW(false, false, name);
    ASSERT_NE(event, nullptr);

    const pid_t child = StartChild([&] {
        HANDLE opened = OpenEventW(name);
        if (!opened) return 2;
        return WaitForSingleObject(opened, kGenerousMs) == WAIT_OBJECT_0 ? 0 : 3;
    });
    ASSERT_GT(child, 0);
    PauseBriefly();
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForChild(child), 0);
    EXPECT_FALSE(IsSet(event));
}

TEST_F(KernelNamedEvent, MixedWaitEndsWhenTheStopEventIsSet) {
    HANDLE named = CreateEventW(false, false, NewName());
    HANDLE stop = CreateEventW(true, false);
    ASSERT_NE(named, nullptr);
    HANDLE objects[] = {named, stop};
    JoiningThread stopper([&] {
        PauseBriefly();
        SetEvent(stop);
    });
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, kGenerousMs), WAIT_OBJECT_0 + 1);
    EXPECT_LT(MillisecondsSince(start), 2000);
}

// Another process posts the semaphore without any notification in this process: the mixed wait
// has to notice it by looking.
TEST_F(KernelNamedEvent, MixedWaitNoticesASetByAnotherProcess) {
    const std::wstring name = NewName();
    HANDLE stop = CreateEventW(true, false);
    HANDLE named = CreateEventW(false, false, name);
    ASSERT_NE(named, nullptr);
    HANDLE objects[] = {stop, named};

    const pid_t child = StartChild([&] {
        HANDLE opened = OpenEventW(name);
        return opened && SetEvent(opened) ? 0 : 2;
    });
    ASSERT_GT(child, 0);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, kGenerousMs), WAIT_OBJECT_0 + 1);
    EXPECT_LT(MillisecondsSince(start), 2000);
    EXPECT_EQ(WaitForChild(child), 0);
    EXPECT_FALSE(IsSet(named));
}

TEST_F(KernelNamedEvent, MixedAnyWaitLowestIndexWinsAndOnlyItIsConsumed) {
    HANDLE named = CreateEventW(false, true, NewName());
    HANDLE local = CreateEventW(false, true);
    ASSERT_NE(named, nullptr);
    HANDLE objects[] = {named, local};
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, 20), WAIT_TIMEOUT);
}

TEST_F(KernelNamedEvent, MixedAllWaitTakesNothingUntilBothAreSet) {
    HANDLE named = CreateEventW(false, true, NewName());
    HANDLE local = CreateEventW(false, false);
    ASSERT_NE(named, nullptr);
    HANDLE objects[] = {named, local};

    EXPECT_EQ(WaitForMultipleObjects(2, objects, true, 20), WAIT_TIMEOUT);
    EXPECT_TRUE(IsSet(named));  // still set: the failed wait took nothing (this check takes it)

    ASSERT_TRUE(SetEvent(named));
    ASSERT_TRUE(SetEvent(local));
    EXPECT_EQ(WaitForMultipleObjects(2, objects, true, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(IsSet(named));
    EXPECT_FALSE(IsSet(local));
}

TEST_F(KernelNamedEvent, AllWaitRejectsTwoHandlesOfOneNamedEvent) {
    const std::wstring name = NewName();
    HANDLE first = CreateEventW(false, true, name);
    HANDLE second = OpenEventW(name);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    HANDLE objects[] = {first, second};
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WaitForMultipleObjects(2, objects, true, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(IsSet(first));
}

}  // namespace
