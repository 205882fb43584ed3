// Tests of the folder watcher: which changes are reported and under which path, how bursts are
// coalesced without losing the last change, a folder that appears late, and how watching ends
// (destruction, the stop event). A separate writer process plays the collector that writes a
// database in WAL mode while the agent watches.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "datasync/host/FileWatcher.h"
#include "linuxhost/watch/watch_change_recorder.h"
#include "linuxhost/watch/watch_test_support.h"
#include "linuxhost/watch/watch_writer_process.h"
#include "support/TelemetryWriter.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using watchtest::ChangeRecorder;
using watchtest::Touch;
using watchtest::Wide;
using watchtest::WriterProcess;
using ZEL::FileWatcher;

class FileWatcherTest : public ::testing::Test {
protected:
    std::unique_ptr<FileWatcher> Watch(const std::string& folder, std::list<std::wstring> names,
                                       platform::HANDLE stop = nullptr) {
        return std::make_unique<FileWatcher>(Wide(folder), names, recorder.Callback(), false,
                                             std::move(stop));
    }

    testsupport::TempDir dir;
    ChangeRecorder recorder;  // outlives every watcher of a test
};

// --- What is reported, and under which path ---

TEST_F(FileWatcherTest, AnotherProcessWritingInWalModeIsReportedWithTheDatabasesFullPath) {
    const std::string db = dir.path() + "events.db";
    { testsupport::TelemetryWriter create(db, "events", /*wal=*/true); }
    WriterProcess writer(db);
    auto watcher = Watch(dir.path(), {L"events.db"});

    struct stat before {};
    ASSERT_EQ(::stat(db.c_str(), &before), 0);

    Clock::time_point first, last;
    writer.Insert(3, first, last);

    ASSERT_TRUE(recorder.WaitForCount(1));
    for (const auto& report : recorder.Reports()) EXPECT_EQ(report.path, Wide(db));
    // The rows went only to the -wal: the report came through the sidecar.
    struct stat after {};
    ASSERT_EQ(::stat(db.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
}

TEST_F(FileWatcherTest, ChangeOfTheWalSidecarReportsTheListedFile) {
    auto watcher = Watch(dir.path(), {L"a.db"});
    Touch(dir.path() + "a.db-wal");
    ASSERT_TRUE(recorder.WaitForCount(1));
    EXPECT_EQ(recorder.Reports()[0].path, Wide(dir.path() + "a.db"));
}

TEST_F(FileWatcherTest, FolderWithoutTrailingSlashStillGivesFolderSlashName) {
    const std::string folder = dir.sub("data");  // ends with '/'
    auto watcher = Watch(folder.substr(0, folder.size() - 1), {L"a.db"});
    Touch(folder + "a.db");
    ASSERT_TRUE(recorder.WaitForCount(1));
    EXPECT_EQ(recorder.Reports()[0].path, Wide(folder + "a.db"));
}

TEST_F(FileWatcherTest, FileReplacedByRenameOrNewlyCreatedIsReported) {
    auto watcher = Watch(dir.path(), {L"a.db", L"b.db"});
    Touch(dir.path() + "a.db.tmp");
    ASSERT_EQ(::rename((dir.path() + "a.db.tmp").c_str(), (dir.path() + "a.db").c_str()), 0);
    ASSERT_TRUE(recorder.WaitForCount(1));
    EXPECT_EQ(recorder.Reports()[0].path, Wide(dir.path() + "a.db"));

    const int fd = ::open((dir.path() + "b.db").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);  // no write
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_TRUE(recorder.WaitForCount(2));
    EXPECT_EQ(recorder.Reports()[1].path, Wide(dir.path() + "b.db"));
}

TEST_F(FileWatcherTest, SidecarsOtherThanWalAndUnlistedFilesAreIgnored) {
    auto watcher = Watch(dir.path(), {L"a.db", L"sentinel.db"});
    for (const char* name :
         {"a.db-shm", "a.db-journal", "b.db", "b.db-wal", "a.dbx", "xa.db", "a.db-wal.bak"})
        Touch(dir.path() + name);
    std::filesystem::create_directory(dir.path() + "a.db-wal.d");
    // Events arrive in order: once the sentinel is reported, everything before it was handled.
    Touch(dir.path() + "sentinel.db");

    ASSERT_TRUE(recorder.WaitForCount(1));
    EXPECT_TRUE(recorder.StaysAt(1, 150ms));
    const auto reports = recorder.Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].path, Wide(dir.path() + "sentinel.db"));
}

TEST_F(FileWatcherTest, ReadingWithoutWritingIsNotReported) {
    Touch(dir.path() + "a.db");
    auto watcher = Watch(dir.path(), {L"a.db"});
    // Opening for writing and closing without a write raises only IN_OPEN and IN_CLOSE_WRITE.
    const int fd = ::open((dir.path() + "a.db").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_TRUE(recorder.StaysAt(0, 250ms));
}

// --- Coalescing bursts ---

TEST_F(FileWatcherTest, QuickBurstFromAnotherProcessGivesFewReportsAndTheLastOneSeesEveryRow) {
    const std::string db = dir.path() + "events.db";
    { testsupport::TelemetryWriter create(db, "events", /*wal=*/true); }
    WriterProcess writer(db);
    // Like the agent, each report reads the database; the last report must see the last row.
    testsupport::TelemetryWriter reader(db, "events");
    std::atomic<std::int64_t> rowsSeen{-1};
    ChangeRecorder& record = recorder;
    FileWatcher watcher(
        Wide(dir.path()), {L"events.db"},
        [&](const std::wstring& path) {
            rowsSeen.store(reader.Scalar("SELECT count(*) FROM events"));
            record.Record(path);
        },
        false, nullptr);

    Clock::time_point first, last;
    writer.Insert(50, first, last);

    ASSERT_TRUE(watchtest::WaitUntil([&] { return rowsSeen.load() == 50; }))
        << "no report after the last write; the last one saw " << rowsSeen.load() << " rows";
    // At most one report per 100 ms window of the burst, plus the window after it.
    const auto windows = std::chrono::duration_cast<std::chrono::milliseconds>(last - first) / 100ms;
    const std::size_t reports = recorder.Count();
    EXPECT_LE(reports, static_cast<std::size_t>(windows) + 2) << "burst took " << windows << " windows";
    EXPECT_LT(reports, 50u);
}

TEST_F(FileWatcherTest, SteadyWritesAreReportedEveryWindowNotOnlyWhenTheyStop) {
    std::atomic<bool> writing{true};
    const std::string wal = dir.path() + "a.db-wal";
    auto watcher = Watch(dir.path(), {L"a.db"});
    std::thread writer([&] {
        while (writing.load()) {
            Touch(wal);
            std::this_thread::sleep_for(5ms);
        }
    });
    const bool reportedWhileWriting = recorder.WaitForCount(3);
    writing.store(false);
    writer.join();
    EXPECT_TRUE(reportedWhileWriting);
}

TEST_F(FileWatcherTest, BurstWithinOneWindowIsReportedOnce) {
    auto watcher = Watch(dir.path(), {L"a.db"});
    const std::string wal = dir.path() + "a.db-wal";
    const auto start = Clock::now();
    for (int i = 0; i < 50; ++i) Touch(wal);
    const auto burst = Clock::now() - start;
    ASSERT_TRUE(recorder.WaitForCount(1));
    EXPECT_TRUE(recorder.StaysAt(1)) << "burst of "
                                     << std::chrono::duration_cast<std::chrono::milliseconds>(burst).count()
                                     << " ms reported more than once";
}

TEST_F(FileWatcherTest, ReportComesAfterTheWindowNotBeforeIt) {
    auto watcher = Watch(dir.path(), {L"a.db"});
    const auto changed = Clock::now();
    Touch(dir.path() + "a.db");
    ASSERT_TRUE(recorder.WaitForCount(1));
    EXPECT_GE(recorder.Reports()[0].at - changed, 90ms);
}

TEST_F(FileWatcherTest, ChangeDuringTheCallbackLeadsToAnotherReport) {
    const std::string file = dir.path() + "a.db";
    std::atomic<int> calls{0};
    ChangeRecorder& record = recorder;
    FileWatcher watcher(
        Wide(dir.path()), {L"a.db"},
        [&](const std::wstring& path) {
            if (calls.fetch_add(1) == 0) Touch(file);  // a writer strikes mid-report
            record.Record(path);
        },
        false, nullptr);
    Touch(file);
    ASSERT_TRUE(recorder.WaitForCount(2));
    EXPECT_EQ(calls.load(), 2);
}

TEST_F(FileWatcherTest, ChangeRightAfterAReportLeadsToAnotherReport) {
    auto watcher = Watch(dir.path(), {L"a.db"});
    for (std::size_t round = 1; round <= 3; ++round) {
        Touch(dir.path() + "a.db-wal");
        ASSERT_TRUE(recorder.WaitForCount(round)) << "round " << round;
    }
}

TEST_F(FileWatcherTest, EachFileHasItsOwnWindow) {
    auto watcher = Watch(dir.path(), {L"a.db", L"b.db"});
    Touch(dir.path() + "a.db");
    Touch(dir.path() + "b.db-wal");
    ASSERT_TRUE(recorder.WaitForCount(2));
    std::vector<std::wstring> paths;
    for (const auto& report : recorder.Reports()) paths.push_back(report.path);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::wstring>{Wide(dir.path() + "a.db"), Wide(dir.path() + "b.db")}));
}

// --- The watched folder ---

TEST_F(FileWatcherTest, FolderCreatedAfterTheWatcherStartsIsPickedUp) {
    const std::string folder = dir.path() + "later";
    auto watcher = Watch(folder, {L"a.db"});
    std::filesystem::create_directory(folder);
    Touch(folder + "/a.db");
    ASSERT_TRUE(recorder.WaitForCount(1));
    EXPECT_EQ(recorder.Reports()[0].path, Wide(folder + "/a.db"));

    // Once watched, later changes are reported as usual.
    const std::size_t before = recorder.Count();
    ASSERT_TRUE(recorder.StaysAt(before, 150ms));
    Touch(folder + "/a.db-wal");
    EXPECT_TRUE(recorder.WaitForCount(before + 1));
}

TEST_F(FileWatcherTest, FolderRemovedAndCreatedAgainIsWatchedAgain) {
    const std::string folder = dir.sub("data");
    auto watcher = Watch(folder, {L"a.db"});
    std::filesystem::remove_all(folder);
    std::filesystem::create_directory(folder);
    Touch(folder + "a.db-wal");
    ASSERT_TRUE(recorder.WaitForCount(1));
    EXPECT_EQ(recorder.Reports()[0].path, Wide(folder + "a.db"));
}

// --- Failures in the callback ---

TEST_F(FileWatcherTest, ExceptionFromTheCallbackIsLoggedAndWatchingGoesOn) {
    std::atomic<int> calls{0};
    ChangeRecorder& record = recorder;
    FileWatcher watcher(
        Wide(dir.path()), {L"a.db"},
        [&](const std::wstring& path) {
            record.Record(path);
            if (calls.fetch_add(1) == 0) throw std::runtime_error("handler-broke-7f3a");
        },
        false, nullptr);
    Touch(dir.path() + "a.db");
    ASSERT_TRUE(recorder.WaitForCount(1));
    EXPECT_TRUE(
        watchtest::WaitUntil([] { return watchtest::HostLogLines().Contains("handler-broke-7f3a"); }));
    Touch(dir.path() + "a.db");
    EXPECT_TRUE(recorder.WaitForCount(2));
}

// --- How watching ends ---

TEST_F(FileWatcherTest, DestructionIsPromptWhileEventsKeepComing) {
    std::atomic<bool> writing{true};
    const std::string wal = dir.path() + "a.db-wal";
    Touch(wal);
    std::thread writer([&] {
        const int fd = ::open(wal.c_str(), O_WRONLY | O_CLOEXEC);
        while (writing.load()) {
            if (::pwrite(fd, "y", 1, 0) != 1) break;
        }
        ::close(fd);
    });
    auto watcher = Watch(dir.path(), {L"a.db"});
    ASSERT_TRUE(recorder.WaitForCount(2));  // busy: several windows have passed

    const auto start = Clock::now();
    watcher.reset();
    const auto took = Clock::now() - start;
    writing.store(false);
    writer.join();
    EXPECT_LT(took, 500ms);
}

TEST_F(FileWatcherTest, DestructionWhileTheFolderIsMissingIsPrompt) {
    auto watcher = Watch(dir.path() + "missing", {L"a.db"});
    const auto start = Clock::now();
    watcher.reset();
    EXPECT_LT(Clock::now() - start, 300ms);
}

TEST_F(FileWatcherTest, ChangeBeforeDestructionIsNotReportedAfterIt) {
    auto watcher = Watch(dir.path(), {L"a.db"});
    Touch(dir.path() + "a.db");  // its window is still open when the watcher goes
    watcher.reset();
    EXPECT_TRUE(recorder.StaysAt(0, 200ms));
}

TEST_F(FileWatcherTest, SettingTheStopEventEndsWatching) {
    platform::HANDLE stop = platform::CreateEventW(true, false);
    ASSERT_TRUE(stop);
    watchtest::HostLogLines().Clear();
    auto watcher = Watch(dir.path(), {L"a.db"}, stop);
    Touch(dir.path() + "a.db");
    ASSERT_TRUE(recorder.WaitForCount(1)) << "watching works before the stop";

    ASSERT_TRUE(platform::SetEvent(stop));
    ASSERT_TRUE(watchtest::WaitUntil([] { return watchtest::HostLogLines().Contains("stop event set"); }));
    Touch(dir.path() + "a.db");
    EXPECT_TRUE(recorder.StaysAt(1));

    const auto start = Clock::now();
    watcher.reset();
    EXPECT_LT(Clock::now() - start, 300ms);
    EXPECT_EQ(platform::WaitForSingleObject(stop, 0), platform::WAIT_OBJECT_0) << "the stop event stays set";
}

TEST_F(FileWatcherTest, CallbackMayDestroyItsOwnWatcher) {
    std::mutex mutex;
    std::unique_ptr<FileWatcher> watcher;
    std::atomic<int> calls{0};
    std::atomic<bool> destroyed{false};
    {
        std::lock_guard<std::mutex> lock(mutex);
        watcher = std::make_unique<FileWatcher>(
            Wide(dir.path()), std::list<std::wstring>{L"a.db", L"b.db"},
            [&](const std::wstring&) {
                calls.fetch_add(1);
                {
                    std::lock_guard<std::mutex> inner(mutex);
                    watcher.reset();
                }
                destroyed.store(true);  // the last touch of test state
            },
            false, nullptr);
    }
    Touch(dir.path() + "a.db");
    Touch(dir.path() + "b.db");  // due in the same pass: must not be reported after the reset
    ASSERT_TRUE(watchtest::WaitUntil([&] { return destroyed.load(); }));
    Touch(dir.path() + "a.db");
    EXPECT_FALSE(watchtest::WaitUntil([&] { return calls.load() > 1; }, 250ms));
}

}  // namespace
