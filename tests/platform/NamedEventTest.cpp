// Named events: sharing by name between handles and processes, auto-reset never counting past 1,
// name checks, unlinking, and waits mixing a named event with in-process events.
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
using platformtest::IsSet;
using platformtest::JoiningThread;
using platformtest::kGenerousMs;
using platformtest::PauseBriefly;

// Runs `body` in a forked child that exits with its result and nothing else: no test framework
// code and no exit handlers run in the child. Returns the child's exit status, or -1.
int RunChild(const std::function<int()>& body, const std::function<void()>& whileRunning) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(body());
    if (child < 0) return -1;
    whileRunning();
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

TEST_F(KernelNamedEvent, HandlesOfOneNameShareOneAutoResetEventUntilUnlinked) {
    const std::wstring name = NewName();
    EXPECT_EQ(OpenEventW(name), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    HANDLE first = CreateEventW(false, true, L"Global\\" + name);  // the prefix is optional
    ASSERT_NE(first, nullptr);
    HANDLE second = CreateEventW(false, false, name);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    HANDLE opened = OpenEventW(name);
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(IsSet(second)) << "the initial state applies only to a new event";
    EXPECT_FALSE(IsSet(first));
    ASSERT_TRUE(SetEvent(opened));
    ASSERT_TRUE(SetEvent(first));  // never counts past 1
    EXPECT_TRUE(IsSet(second));
    EXPECT_FALSE(IsSet(opened));
    // Closing one handle or unlinking the name leaves the open handles working.
    ASSERT_TRUE(CloseHandle(first));
    EXPECT_TRUE(UnlinkNamedEvent(name));
    EXPECT_EQ(OpenEventW(name), nullptr);
    EXPECT_FALSE(UnlinkNamedEvent(name));
    ASSERT_TRUE(SetEvent(second));
    EXPECT_TRUE(IsSet(opened));
}

TEST_F(KernelNamedEvent, ManualResetAndUnsafeNamesAreRefused) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(CreateEventW(true, false, NewName()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    for (const std::wstring& bad : {std::wstring(L"Global\\"), std::wstring(L"Global\\..\\x"),
                                    std::wstring(L"../x"), std::wstring(L"tab\t"), std::wstring(L"caf\u00e9"),
                                    std::wstring(201, L'a')}) {
        SCOPED_TRACE(std::string(bad.begin(), bad.end()));
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(CreateEventW(false, false, bad), nullptr);
        EXPECT_EQ(OpenEventW(bad), nullptr);
        EXPECT_FALSE(UnlinkNamedEvent(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

// A child process waits for the parent's set; then the parent waits for the child's set in a
// wait that mixes the named event with an in-process stop event: no notification reaches this
// process for that set, so the wait has to look. The stop event ends such a wait as well.
TEST_F(KernelNamedEvent, ProcessesWakeEachOtherAndAMixedWaitEndsOnEitherEvent) {
    const std::wstring name = NewName();
    HANDLE named = CreateEventW(false, false, name);
    ASSERT_NE(named, nullptr);
    const int waited = RunChild(
        [&] {
            HANDLE opened = OpenEventW(name);
            return opened && WaitForSingleObject(opened, kGenerousMs) == WAIT_OBJECT_0 ? 0 : 2;
        },
        [&] {
            PauseBriefly();
            SetEvent(named);
        });
    EXPECT_EQ(waited, 0);
    EXPECT_FALSE(IsSet(named)) << "the child's wait took the set";

    HANDLE stop = CreateEventW(true, false);
    HANDLE objects[] = {stop, named};
    const int set = RunChild([&] { return SetEvent(OpenEventW(name)) ? 0 : 2; }, [&] {
        const platformtest::Clock::time_point start = platformtest::Clock::now();
        EXPECT_EQ(WaitForMultipleObjects(2, objects, false, kGenerousMs), WAIT_OBJECT_0 + 1);
        EXPECT_LT(platformtest::MillisecondsSince(start), 2000);
    });
    EXPECT_EQ(set, 0);
    EXPECT_FALSE(IsSet(named));
    JoiningThread stopper([&] {
        PauseBriefly();
        SetEvent(stop);
    });
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, kGenerousMs), WAIT_OBJECT_0);
}

TEST_F(KernelNamedEvent, MixedWaitsTakeOnlyWhatTheyReturn) {
    const std::wstring name = NewName();
    HANDLE named = CreateEventW(false, true, name);
    HANDLE local = CreateEventW(false, true);
    ASSERT_NE(named, nullptr);
    HANDLE objects[] = {named, local};
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, 0), WAIT_OBJECT_0) << "the lowest index wins";
    EXPECT_EQ(WaitForMultipleObjects(2, objects, true, 20), WAIT_TIMEOUT) << "a wait for all takes nothing";
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, 0), WAIT_OBJECT_0 + 1);
    ASSERT_TRUE(SetEvent(named));
    ASSERT_TRUE(SetEvent(local));
    EXPECT_EQ(WaitForMultipleObjects(2, objects, true, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(IsSet(named) || IsSet(local));

    // A wait for all may not list two handles of one named event.
    ASSERT_TRUE(SetEvent(named));
    HANDLE twice[] = {named, OpenEventW(name)};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, true, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(IsSet(named));
}

}  // namespace
