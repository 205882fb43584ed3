// Events, semaphores and waits: reset modes, counts and their limits, waiters woken from other
// threads and processes, the all-or-nothing wait for all, argument checks and the last error.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <functional>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/KernelObjects.h"
#include "support/WaitUntil.h"

namespace {

using namespace platform;
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

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Lets a new thread reach its blocking wait first; no result depends on it.
void PauseBriefly() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

TEST(KernelEvent, AutoResetSignalsOnceAndTheWaitConsumesIt) {
    SetLastError(ERROR_ALREADY_EXISTS);
    HANDLE event = CreateEventW(false, false);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);  // a stale last error is cleared
    EXPECT_FALSE(IsSet(event));
    ASSERT_TRUE(SetEvent(event) && SetEvent(event));
    EXPECT_TRUE(IsSet(event));
    EXPECT_FALSE(IsSet(event));
    for (bool manualReset : {false, true}) {
        HANDLE initiallySet = CreateEventW(manualReset, true);
        ASSERT_TRUE(ResetEvent(initiallySet));
        EXPECT_FALSE(IsSet(initiallySet)) << manualReset;
    }
    // One set of an auto-reset event releases exactly one of two waiters.
    std::atomic<int> woken{0}, failures{0};
    auto waiter = [&] { ++(WaitForSingleObject(event, kGenerousMs) == WAIT_OBJECT_0 ? woken : failures); };
    JoiningThread first(waiter), second(waiter);
    PauseBriefly();
    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return woken.load() == 1; }));
    EXPECT_FALSE(IsSet(event));
    ASSERT_TRUE(SetEvent(event));
    first.join(), second.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_EQ(failures.load(), 0);
}

// One SetEvent of a manual-reset event wakes every waiter and leaves it set; one release of n
// counts wakes n waiters of a semaphore and leaves none.
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
            std::vector<JoiningThread> waiters;
            for (int i = 0; i < c.waiters; ++i)
                waiters.emplace_back([&] { woken += WaitForSingleObject(c.object, INFINITE) == WAIT_OBJECT_0; });
            PauseBriefly();
            ASSERT_TRUE(c.signal(c.object));
        }
        EXPECT_EQ(woken.load(), c.waiters);
        EXPECT_EQ(IsSet(c.object), c.staysSet);
        EXPECT_EQ(IsSet(c.object), c.staysSet) << "the wait took a manual-reset event";
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

TEST(KernelWait, TimeOutsAreRoughlyOnTimeAndAnyWaitTakesOnlyTheLowestSignalledObject) {
    HANDLE pair[] = {CreateEventW(false, false), CreateSemaphoreW(0, 1)};
    const std::uint64_t ticks = GetTickCount64();
    for (bool waitAll : {false, true}) {
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(WaitForMultipleObjects(2, pair, waitAll, 40), WAIT_TIMEOUT) << waitAll;
        EXPECT_GE(MillisecondsSince(start), 35) << waitAll;
        EXPECT_LT(MillisecondsSince(start), 2000) << waitAll;
    }
    EXPECT_GE(GetTickCount64() - ticks, 70u);
    HANDLE objects[] = {CreateEventW(false, false), CreateEventW(false, true), CreateEventW(false, true),
                        CreateSemaphoreW(1, 5)};
    EXPECT_EQ(WaitForMultipleObjects(4, objects, false, 0), WAIT_OBJECT_0 + 1);
    EXPECT_FALSE(IsSet(objects[1]));
    EXPECT_TRUE(IsSet(objects[2]) && IsSet(objects[3]));
}

TEST(KernelWait, AllWaitConsumesNothingUntilEveryObjectIsSignalled) {
    HANDLE objects[] = {CreateEventW(false, true), CreateSemaphoreW(1, 2), CreateEventW(true, false)};
    EXPECT_EQ(WaitForMultipleObjects(3, objects, true, 30), WAIT_TIMEOUT);
    JoiningThread setter([&] { PauseBriefly(), SetEvent(objects[2]); });
    EXPECT_EQ(WaitForMultipleObjects(3, objects, true, kGenerousMs), WAIT_OBJECT_0);
    EXPECT_FALSE(IsSet(objects[0]) || IsSet(objects[1]));
    EXPECT_TRUE(IsSet(objects[2])) << "a manual-reset event stays set";
}

// Two waiters compete: every wait for all takes both semaphores or neither, so counts stay paired.
TEST(KernelWait, AllWaitNeverTakesPartOfItsObjects) {
    constexpr int kRounds = 200;
    HANDLE pair[] = {CreateSemaphoreW(0, kRounds), CreateSemaphoreW(0, kRounds)};
    std::atomic<int> taken{0}, failures{0};
    std::atomic<bool> abandoned{false};  // a release failed: the takers would wait for ever
    {
        auto taker = [&] {
            while (taken.load() < kRounds && !abandoned.load()) {
                const DWORD result = WaitForMultipleObjects(2, pair, true, 10);
                if (result == WAIT_OBJECT_0) ++taken;
                if (result != WAIT_OBJECT_0 && result != WAIT_TIMEOUT) return void(++failures);
            }
        };
        JoiningThread first(taker), second(taker);
        for (int i = 0; i < kRounds && !abandoned; ++i)
            abandoned = !ReleaseSemaphore(pair[0], 1, nullptr) || !ReleaseSemaphore(pair[1], 1, nullptr);
    }
    EXPECT_FALSE(abandoned.load());
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(taken.load(), kRounds);
    EXPECT_FALSE(IsSet(pair[0]) || IsSet(pair[1]));
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

class KernelNamedEvent : public ::testing::Test {
protected:
    // A name no other test process uses (ctest runs them side by side), removed after the test.
    std::wstring NewName() {
        const std::string name = "DataSyncTest." + std::to_string(::getpid()) + "." +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
        m_name.assign(name.begin(), name.end());
        UnlinkNamedEvent(m_name);  // left over by a crashed run with the same pid
        return m_name;
    }
    void TearDown() override { UnlinkNamedEvent(m_name); }

private:
    std::wstring m_name;
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

// A child waits for the parent's set; then the parent waits for the child's set in a wait that
// mixes the named event with an in-process stop event (no notification reaches this process for
// that set, so the wait has to look). The stop event ends such a wait as well.
TEST_F(KernelNamedEvent, ProcessesWakeEachOtherAndAMixedWaitEndsOnEitherEvent) {
    const std::wstring name = NewName();
    HANDLE named = CreateEventW(false, false, name), stop = CreateEventW(true, false);
    ASSERT_NE(named, nullptr);
    const auto childWaits = [&] {
        HANDLE opened = OpenEventW(name);
        return opened && WaitForSingleObject(opened, kGenerousMs) == WAIT_OBJECT_0 ? 0 : 2;
    };
    EXPECT_EQ(RunChild(childWaits, [&] { PauseBriefly(), SetEvent(named); }), 0);
    EXPECT_FALSE(IsSet(named)) << "the child's wait took the set";

    HANDLE objects[] = {stop, named};
    const int set = RunChild([&] { return SetEvent(OpenEventW(name)) ? 0 : 2; }, [&] {
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(WaitForMultipleObjects(2, objects, false, kGenerousMs), WAIT_OBJECT_0 + 1);
        EXPECT_LT(MillisecondsSince(start), 2000);
    });
    EXPECT_EQ(set, 0);
    EXPECT_FALSE(IsSet(named));
    JoiningThread stopper([&] { PauseBriefly(), SetEvent(stop); });
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, kGenerousMs), WAIT_OBJECT_0);
}

TEST_F(KernelNamedEvent, MixedWaitsTakeOnlyWhatTheyReturn) {
    const std::wstring name = NewName();
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
