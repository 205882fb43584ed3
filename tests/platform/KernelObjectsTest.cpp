// Events and waits: reset modes, waiters woken from other threads and processes, waits for any or
// all of several objects, a stop event ending a wait, argument checks and the last error.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <tuple>
#include <vector>

#include "platform/KernelObjects.h"
#include "support/WaitUntil.h"

namespace {

using namespace platform;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr DWORD kGenerousMs = 5000;  // only bounds how long a broken implementation hangs

// A thread that is always joined, so a failed assertion cannot leave one running.
struct JoiningThread : std::thread {
    using std::thread::thread;
    JoiningThread(JoiningThread&&) = default;
    ~JoiningThread() { if (joinable()) join(); }
};

// A zero-time wait: true when the object was signalled, which takes it as any wait does.
bool IsSet(const HANDLE& object) { return WaitForSingleObject(object, 0) == WAIT_OBJECT_0; }

// Lets a new thread reach its blocking wait first; no result depends on it.
void PauseBriefly() { std::this_thread::sleep_for(20ms); }

TEST(KernelEvent, AutoResetReleasesOneWaitAndManualResetEveryWaitUntilReset) {
    for (bool manual : {false, true}) {
        SCOPED_TRACE(manual ? "manual reset" : "auto reset");
        SetLastError(ERROR_ALREADY_EXISTS);
        HANDLE event = CreateEventW(manual, false), initiallySet = CreateEventW(manual, true);
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);  // a stale last error is cleared
        EXPECT_FALSE(IsSet(event));
        ASSERT_TRUE(SetEvent(event) && SetEvent(event));
        EXPECT_TRUE(IsSet(event));
        EXPECT_EQ(IsSet(event), manual);
        ASSERT_TRUE(ResetEvent(event) && ResetEvent(initiallySet));
        EXPECT_FALSE(IsSet(event) || IsSet(initiallySet));
        std::atomic<int> woken{0};
        {
            std::vector<JoiningThread> waiters;
            for (int i = 0; i < 3; ++i)
                waiters.emplace_back([&] { woken += WaitForSingleObject(event, kGenerousMs) == WAIT_OBJECT_0; });
            PauseBriefly();
            ASSERT_TRUE(SetEvent(event));
            ASSERT_TRUE(testsupport::WaitUntil([&] { return woken.load() == (manual ? 3 : 1); }));
            EXPECT_EQ(IsSet(event), manual);
            for (int released = 1; !manual && released < 3; ++released) {
                ASSERT_TRUE(SetEvent(event));
                ASSERT_TRUE(testsupport::WaitUntil([&] { return woken.load() == released + 1; }));
            }
        }
        EXPECT_EQ(woken.load(), 3);
    }
}

TEST(KernelHandle, WrongOrNullHandlesAreRefusedAndTheLastErrorIsPerThread) {
    HANDLE semaphore = CreateSemaphoreW(0, 1), event = CreateEventW(false, false);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(SetEvent(semaphore));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(IsSet(semaphore)) << "the failed SetEvent released the semaphore";
    EXPECT_FALSE(ReleaseSemaphore(event, 1, nullptr));
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(event, nullptr);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ResetEvent(event));

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

// A wait for any takes only the lowest signalled object, a wait for all nothing until every
// object is signalled; time-outs are roughly on time.
TEST(KernelWait, TimeOutsAreOnTimeAndWaitsForAnyOrAllTakeOnlyWhatTheyReturn) {
    HANDLE all[] = {CreateEventW(false, true), CreateSemaphoreW(1, 2), CreateEventW(true, false)};
    HANDLE any[] = {CreateEventW(false, false), CreateEventW(false, true), CreateEventW(false, true)};
    HANDLE unset[] = {any[0], all[2]};
    const std::uint64_t ticks = GetTickCount64();
    for (bool waitAll : {false, true}) {
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(WaitForMultipleObjects(waitAll ? 3 : 2, waitAll ? all : unset, waitAll, 40), WAIT_TIMEOUT);
        const auto took = Clock::now() - start;
        EXPECT_TRUE(took >= 35ms && took < 2s) << waitAll << ": " << took / 1ms << " ms";
    }
    EXPECT_GE(GetTickCount64() - ticks, 70u);
    JoiningThread setter([&] { PauseBriefly(), SetEvent(all[2]); });
    EXPECT_EQ(WaitForMultipleObjects(3, all, true, kGenerousMs), WAIT_OBJECT_0);
    EXPECT_FALSE(IsSet(all[0]) || IsSet(all[1]));
    EXPECT_TRUE(IsSet(all[2])) << "a manual-reset event stays set";
    EXPECT_EQ(WaitForMultipleObjects(3, any, false, 0), WAIT_OBJECT_0 + 1);
    EXPECT_FALSE(IsSet(any[1]));
    EXPECT_TRUE(IsSet(any[2]));
}

TEST(KernelWait, InvalidArgumentsFailWithLastError) {
    HANDLE event = CreateEventW(true, true), semaphore = CreateSemaphoreW(2, 2), null;
    HANDLE withNull[] = {event, null}, twice[] = {semaphore, semaphore};
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
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), false, 0), WAIT_OBJECT_0);
}

// Runs `body` in a forked child that exits with its result and nothing else (no test framework
// code, no exit handlers). Returns the child's exit status, or -1.
int RunChild(const std::function<int()>& body, const std::function<void()>& whileRunning) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(body());
    if (child < 0) return -1;
    whileRunning();
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A name no other test process uses (ctest runs them side by side), unlinked before and after.
class KernelNamedEvent : public ::testing::Test {
protected:
    KernelNamedEvent() { UnlinkNamedEvent(name); }  // left over by a crashed run with the same pid
    ~KernelNamedEvent() override { UnlinkNamedEvent(name); }
    const std::string narrow = "DataSyncTest." + std::to_string(::getpid()) + "." +
                               ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const std::wstring name{narrow.begin(), narrow.end()};
};

TEST_F(KernelNamedEvent, HandlesOfOneNameShareOneAutoResetEventUntilUnlinked) {
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
    ASSERT_TRUE(SetEvent(opened) && SetEvent(first));  // never counts past 1
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
    EXPECT_EQ(CreateEventW(true, false, name), nullptr);
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

// A child waits for the parent's set; then the parent waits for the child's set in a wait that
// mixes the named event with an in-process stop event (no notification reaches this process for
// that set, so the wait has to look). The stop event ends such a wait as well.
TEST_F(KernelNamedEvent, ProcessesWakeEachOtherAndAMixedWaitEndsOnEitherEvent) {
    HANDLE named = CreateEventW(false, false, name), stop = CreateEventW(true, false);
    ASSERT_NE(named, nullptr);
    const auto childWaits = [&] {
        HANDLE opened = OpenEventW(name);
        return opened && WaitForSingleObject(opened, kGenerousMs) == WAIT_OBJECT_0 ? 0 : 2;
    };
    EXPECT_EQ(RunChild(childWaits, [&] { PauseBriefly(), SetEvent(named); }), 0);
    EXPECT_FALSE(IsSet(named)) << "the child's wait took the set";

    HANDLE objects[] = {stop, named};
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(RunChild([&] { return SetEvent(OpenEventW(name)) ? 0 : 2; }, [&] {
        EXPECT_EQ(WaitForMultipleObjects(2, objects, false, kGenerousMs), WAIT_OBJECT_0 + 1);
    }), 0);
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_FALSE(IsSet(named));
    JoiningThread stopper([&] { PauseBriefly(), SetEvent(stop); });
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, kGenerousMs), WAIT_OBJECT_0);
}

TEST_F(KernelNamedEvent, MixedWaitsTakeOnlyWhatTheyReturn) {
    HANDLE named = CreateEventW(false, true, name), local = CreateEventW(false, true);
    ASSERT_NE(named, nullptr);
    HANDLE objects[] = {named, local};
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, 0), WAIT_OBJECT_0) << "the lowest index wins";
    EXPECT_EQ(WaitForMultipleObjects(2, objects, true, 20), WAIT_TIMEOUT) << "a wait for all takes nothing";
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, 0), WAIT_OBJECT_0 + 1);
    ASSERT_TRUE(SetEvent(named) && SetEvent(local));
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
