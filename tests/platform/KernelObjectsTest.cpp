#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
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

// Manual reset, as the agent's stop events are: a set releases every wait and stays until reset.
TEST(KernelEvent, ManualResetReleasesEveryWaitUntilReset) {
    HANDLE event = CreateEventW(true, false), initiallySet = CreateEventW(true, true);
    EXPECT_TRUE(IsSet(initiallySet) && IsSet(initiallySet));
    ASSERT_TRUE(ResetEvent(initiallySet));
    EXPECT_FALSE(IsSet(event) || IsSet(initiallySet));
    std::atomic<int> woken{0};
    {
        std::vector<JoiningThread> waiters;
        for (int i = 0; i < 3; ++i)
            waiters.emplace_back([&] { woken += WaitForSingleObject(event, kGenerousMs) == WAIT_OBJECT_0; });
        PauseBriefly();
        ASSERT_TRUE(SetEvent(event));
    }
    EXPECT_EQ(woken.load(), 3);
    EXPECT_TRUE(IsSet(event));
}

TEST(KernelEvent, ADescriptorPollsReadableExactlyWhileAManualResetEventIsSet) {
    const auto set = [](const HANDLE& event) { ASSERT_TRUE(SetEvent(event)); };
    const auto reset = [](const HANDLE& event) { ASSERT_TRUE(ResetEvent(event)); };
    const struct {
        const char* name;
        std::vector<std::function<void(const HANDLE&)>> before, after;  // the descriptor made between
        bool closeOneWhilePolled;  // another thread closes one handle, then sets through another
        bool readable;
    } cases[] = {
        {"set before the descriptor is made", {set}, {}, false, true},
        {"never set", {}, {}, false, false},
        {"set twice, then reset", {}, {set, set, reset}, false, false},
        {"reset, then set again", {set}, {reset, set}, false, true},
        {"set while the poll waits, after a handle is closed", {}, {}, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE event = CreateEventW(true, false), polled = event;
        for (const auto& step : c.before) step(event);
        const int fd = EventDescriptor(polled);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(EventDescriptor(event), fd) << "one descriptor per event";
        for (const auto& step : c.after) step(event);
        pollfd entry{fd, POLLIN, 0};
        if (c.closeOneWhilePolled) {
            JoiningThread setter([&event] {
                HANDLE other = event;
                PauseBriefly();
                CloseHandle(event);
                SetEvent(other);
            });
            EXPECT_EQ(::poll(&entry, 1, static_cast<int>(kGenerousMs)), 1);
        } else {
            EXPECT_EQ(::poll(&entry, 1, 0), c.readable ? 1 : 0);
        }
        EXPECT_EQ(entry.revents, c.readable ? POLLIN : 0);
        EXPECT_EQ(IsSet(polled), c.readable) << "the event's own state";
        event.reset();
        polled.reset();
        EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "the descriptor outlived the event";
    }
}

// A wait on a null handle fails: a stop signal takes that for a stop.
TEST(KernelWait, TimeOutsAreOnTimeAndAWaitForAnyTakesOnlyWhatItReturns) {
    HANDLE any[] = {CreateEventW(false, false), CreateEventW(false, true), CreateEventW(false, true)}, null;
    const std::uint64_t ticks = GetTickCount64();
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(1, any, false, 40), WAIT_TIMEOUT);
    const auto took = Clock::now() - start;
    EXPECT_TRUE(took >= 35ms && took < 2s) << took / 1ms << " ms";
    EXPECT_GE(GetTickCount64() - ticks, 35u);
    EXPECT_EQ(WaitForMultipleObjects(3, any, false, 0), WAIT_OBJECT_0 + 1);
    EXPECT_FALSE(IsSet(any[1]));
    EXPECT_TRUE(IsSet(any[2]));
    EXPECT_EQ(WaitForMultipleObjects(1, &null, false, 0), WAIT_FAILED);
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

TEST_F(KernelNamedEvent, HandlesOfOneNameShareOneAutoResetEvent) {
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
    ASSERT_TRUE(CloseHandle(first));  // the other handles go on working
    ASSERT_TRUE(SetEvent(second));
    EXPECT_TRUE(IsSet(opened));
}

// Private to this user (0600), or shared with the named peer's group (0660).
TEST_F(KernelNamedEvent, AnEventIsPrivateToItsUserAndPeerAndOneOfAnotherOwnerIsNotUsed) {
    const std::string file = "/dev/shm/sem.datasync." + narrow;  // where glibc keeps it
    struct stat info {};
    const auto mode = [&] { return ::stat(file.c_str(), &info) == 0 ? info.st_mode & 07777 : 0u; };
    HANDLE event = CreateEventW(false, false, name);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(mode(), 0600u) << "no other user may open it";
    const bool root = ::geteuid() == 0;
    const NamedEventAccess peer{true, root ? 65534u : ::getuid(), root ? 65534u : ::getegid()};
    const struct { const char* name; uid_t owner; mode_t before; bool used; } cases[] = {
        {"this user's, open to everyone", ::geteuid(), 0666, true},
        {"the peer's", peer.peerUid, 0600, true},
        {"another user's", 12345, 0600, false},
    };
    for (const auto& c : cases) {
        if (c.owner != ::geteuid() && !root) continue;  // only root can give the file to others
        SCOPED_TRACE(c.name);
        ASSERT_EQ(::chown(file.c_str(), c.owner, static_cast<gid_t>(-1)) | ::chmod(file.c_str(), c.before), 0);
        HANDLE again = CreateEventW(false, false, name, peer);
        EXPECT_EQ(again != nullptr, c.used);
        EXPECT_EQ(GetLastError(), c.used ? ERROR_ALREADY_EXISTS : ERROR_ACCESS_DENIED);
        const mode_t after = mode();  // fills `info` first
        EXPECT_TRUE(!c.used || std::tuple(after, info.st_uid, info.st_gid) == std::tuple(0660u, ::geteuid(), peer.peerGid))
            << std::oct << after << std::dec << " " << info.st_uid << ":" << info.st_gid;
        CloseHandle(again);
    }
    CloseHandle(event);
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
    JoiningThread stopper([&] {
        PauseBriefly();
        SetEvent(stop);
    });
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, kGenerousMs), WAIT_OBJECT_0);
    ASSERT_TRUE(SetEvent(named));
    EXPECT_EQ(WaitForMultipleObjects(2, objects, false, 0), WAIT_OBJECT_0) << "the lowest index wins";
    EXPECT_TRUE(IsSet(named)) << "a wait for any took an object it did not return";
}

}  // namespace
