#include <algorithm>
#include <filesystem>
#include <functional>
#include <list>

#include "datasync/common/StringUtil.h"
#include "linuxhost/watch/watch_test_support.h"
#include "support/TelemetryWriter.h"
#include "support/TempDir.h"

namespace {

using namespace watchtest;
using ZEL::FileWatcher;
// Looks for a missing folder far more often than the default (500 ms).
const ZEL::FileWatcherOptions kQuick{20ms};

class FileWatcherTest : public ::testing::Test {
protected:
    std::unique_ptr<FileWatcher> Watch(const std::string& folder, std::list<std::wstring> names,
                                       platform::HANDLE stop = nullptr,
                                       ZEL::FileWatcherOptions every = kQuick) {
        return std::make_unique<FileWatcher>(ZEL::String::UTF8ToUTF16(folder), names, recorder.Callback(),
                                             false, stop, every);
    }
    testsupport::TempDir dir;
    ChangeRecorder recorder;  // outlives every watcher of a test
};

// A write to the file (a burst of them within one window gives one report), to its -wal sidecar,
// a replacement by rename and a creation are each reported under "<folder>/<listed name>"; other
// files, other sidecars and reads are not.
TEST_F(FileWatcherTest, ListedFilesAndTheirWalAreReportedOnceUnderFolderSlashNameAndNothingElse) {
    // A folder name outside ASCII: the reported paths are the UTF-8 path read back as wide text.
    const std::string folder = dir.sub("Ger\xc3\xa4te");  // ends with '/'
    Touch(folder + "e.db");
    auto watcher = Watch(folder.substr(0, folder.size() - 1), {L"a.db", L"b.db", L"c.db", L"d.db", L"e.db"});
    for (const char* name : {"e.db-shm", "e.db-journal", "x.db", "x.db-wal", "e.dbx", "xe.db", "e.db-wal.bak"})
        Touch(folder + name);
    std::filesystem::create_directory(folder + "e.db-wal.d");
    ::close(::open((folder + "e.db").c_str(), O_RDWR | O_CLOEXEC));  // IN_OPEN and IN_CLOSE_WRITE only
    for (int i = 0; i < 30; ++i) Touch(folder + "a.db");
    Touch(folder + "b.db-wal");
    Touch(folder + "c.db.tmp");
    ASSERT_EQ(::rename((folder + "c.db.tmp").c_str(), (folder + "c.db").c_str()), 0);
    ::close(::open((folder + "d.db").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));  // no write
    ASSERT_TRUE(recorder.WaitForCount(4));
    EXPECT_TRUE(recorder.StaysAt(4));
    std::vector<std::wstring> paths, expected;
    for (const auto& report : recorder.Reports()) paths.push_back(report.path);
    for (const char* name : {"a.db", "b.db", "c.db", "d.db"})
        expected.push_back(ZEL::String::UTF8ToUTF16(folder + name));
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, expected);
}

// Writes are watched on the files themselves: the watches follow each name through renames,
// deletions and re-creations, and never report a file that no longer has the listed name.
TEST_F(FileWatcherTest, WritesAreFollowedToWhatTheNameNamesAfterRenamesAndDeletions) {
    const std::string a = dir.path() + "a.db";
    Touch(a);
    Touch(a + "-wal");
    auto watcher = Watch(dir.path(), {L"a.db"});
    const struct {
        const char* name;
        std::function<void()> change;
        std::size_t reports;
    } steps[] = {
        {"a write", [&] { Touch(a); }, 1},
        {"renamed away, then the old file written", [&] { std::filesystem::rename(a, a + ".old"); }, 0},
        {"", [&] { Touch(a + ".old"); }, 0},
        {"a new file renamed in",
         [&] {
             Touch(a + ".new");
             std::filesystem::rename(a + ".new", a);
         },
         1},
        {"the new file written", [&] { Touch(a); }, 1},
        {"the -wal deleted and created again", [&] { std::filesystem::remove(a + "-wal"); }, 0},
        {"", [&] { Touch(a + "-wal"); }, 1},
        {"the new -wal written", [&] { Touch(a + "-wal"); }, 1},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        const std::size_t before = recorder.Count();
        step.change();
        ASSERT_TRUE(recorder.WaitForCount(before + step.reports));
        EXPECT_TRUE(recorder.StaysAt(before + step.reports, 150ms));
    }
}

// A collector writes rows in WAL mode, one transaction each. Like the agent, each report reads
// the database: the last report must see the last row, and the burst gives few reports. The first
// report's callback throws: that is logged and the watch goes on.
TEST_F(FileWatcherTest, QuickBurstGivesFewReportsTheLastOneSeesEveryRowAndAThrowingCallbackIsSurvived) {
    const std::string db = dir.path() + "events.db";
    testsupport::TelemetryWriter writer(db, "events", /*wal=*/true), reader(db, "events");
    std::atomic<std::int64_t> rowsSeen{-1};
    FileWatcher watcher(
        ZEL::String::UTF8ToUTF16(dir.path()), {L"events.db"},
        [&](const std::wstring& path) {
            const std::int64_t rows = reader.Scalar("SELECT count(*) FROM events");
            recorder.Record(path);  // before the count: the test reads the reports once it sees it
            rowsSeen.store(rows);
            if (recorder.Count() == 1) throw std::runtime_error("handler-broke-7f3a");
        },
        false, nullptr);
    const auto first = Clock::now();
    for (int i = 0; i < 50; ++i) writer.Insert(testsupport::ItemEventJson("ds", "i"));
    const auto windows = (Clock::now() - first) / 100ms;
    ASSERT_TRUE(WaitUntil([&] { return rowsSeen.load() == 50; })) << "the last report saw " << rowsSeen.load();
    // At most one report per 100 ms window of the burst, plus the window after it.
    EXPECT_LE(recorder.Count(), static_cast<std::size_t>(windows) + 2) << "the burst took " << windows;
    EXPECT_LT(recorder.Count(), 50u);
    EXPECT_GE(recorder.Reports()[0].at - first, 90ms) << "reported before its window closed";
    for (const auto& report : recorder.Reports()) EXPECT_EQ(report.path, ZEL::String::UTF8ToUTF16(db));
    writer.Insert(testsupport::ItemEventJson("ds", "i"));
    EXPECT_TRUE(WaitUntil([&] { return rowsSeen.load() == 51; }));
    EXPECT_TRUE(HostLogLines().Contains("handler-broke-7f3a"));
}

// A missing folder is watched as soon as it appears, however deep under what exists and however
// long the retry for a folder that cannot be looked for at all.
TEST_F(FileWatcherTest, FolderCreatedLateOrCreatedAgainIsWatched) {
    const auto start = Clock::now();
    Watch(dir.path() + "never/", {L"a.db"}, nullptr, {}).reset();
    EXPECT_LT(Clock::now() - start, 300ms) << "destroying a watcher that waits for its folder";
    const std::string top = dir.path() + "later/", folder = top + "deeper/";
    auto watcher = Watch(folder, {L"a.db"}, nullptr, ZEL::FileWatcherOptions{1h});
    std::filesystem::create_directories(folder);
    // Put in place whole: a write that lags its creation by a window is rightly a second report.
    Touch(folder + "a.db.tmp");
    std::filesystem::rename(folder + "a.db.tmp", folder + "a.db");
    ASSERT_TRUE(recorder.WaitForCount(1));
    EXPECT_EQ(recorder.Reports()[0].path, ZEL::String::UTF8ToUTF16(folder + "a.db"));
    ASSERT_TRUE(recorder.StaysAt(1, 150ms));
    std::filesystem::remove_all(top);
    std::filesystem::create_directories(folder);
    Touch(folder + "a.db-wal");
    EXPECT_TRUE(recorder.WaitForCount(2));
}

// A watcher of removals (as the policy watcher is) also reports a listed file deleted or renamed
// away, and every listed file when the folder goes away and when it is back.
TEST_F(FileWatcherTest, AWatcherOfRemovalsReportsFilesThatWentAndEveryFileWhenTheFolderGoesOrComes) {
    const std::string folder = dir.sub("removals");
    Touch(folder + "a.db");
    Touch(folder + "b.db");
    auto watcher = Watch(folder, {L"a.db", L"b.db"}, nullptr, ZEL::FileWatcherOptions{20ms, true});
    const std::wstring a = ZEL::String::UTF8ToUTF16(folder + "a.db"),
                       b = ZEL::String::UTF8ToUTF16(folder + "b.db");
    const struct {
        const char* name;
        std::function<void()> change;
        std::vector<std::wstring> reported;
    } steps[] = {
        {"deleted", [&] { std::filesystem::remove(folder + "a.db"); }, {a}},
        {"renamed away", [&] { std::filesystem::rename(folder + "b.db", folder + "b.db.old"); }, {b}},
        {"the folder deleted", [&] { std::filesystem::remove_all(folder); }, {a, b}},
        {"the folder created again", [&] { std::filesystem::create_directory(folder); }, {a, b}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        const std::size_t before = recorder.Count();
        step.change();
        ASSERT_TRUE(recorder.WaitForCount(before + step.reported.size()));
        EXPECT_TRUE(recorder.StaysAt(before + step.reported.size()));
        std::vector<std::wstring> paths;
        for (const auto& report : recorder.Reports()) paths.push_back(report.path);
        paths.erase(paths.begin(), paths.begin() + static_cast<std::ptrdiff_t>(before));
        std::sort(paths.begin(), paths.end());
        EXPECT_EQ(paths, step.reported);
    }
}

TEST_F(FileWatcherTest, SteadyWritesAreReportedAndDestructionIsPromptAndFinalWhileTheyGoOn) {
    std::atomic<bool> writing{true};
    const std::string wal = dir.path() + "a.db-wal";
    Touch(wal);
    std::thread writer([&] {
        const int fd = ::open(wal.c_str(), O_WRONLY | O_CLOEXEC);
        while (writing.load() && ::pwrite(fd, "y", 1, 0) == 1) continue;
        ::close(fd);
    });
    auto watcher = Watch(dir.path(), {L"a.db"});
    ASSERT_TRUE(recorder.WaitForCount(3));
    const auto start = Clock::now();
    watcher.reset();
    const auto took = Clock::now() - start;
    EXPECT_TRUE(recorder.StaysAt(recorder.Count(), 200ms));
    writing.store(false);
    writer.join();
    EXPECT_LT(took, 500ms);
}

TEST_F(FileWatcherTest, SettingTheStopEventEndsWatching) {
    platform::HANDLE stop = platform::CreateEventW(true, false);
    HostLogLines().Clear();
    auto watcher = Watch(dir.path(), {L"a.db"}, stop);
    Touch(dir.path() + "a.db");
    ASSERT_TRUE(recorder.WaitForCount(1)) << "watching works before the stop";
    ASSERT_TRUE(platform::SetEvent(stop));
    ASSERT_TRUE(WaitUntil([] { return HostLogLines().Contains("stop event set"); }));
    Touch(dir.path() + "a.db");
    EXPECT_TRUE(recorder.StaysAt(1, 150ms));
    watcher.reset();
    EXPECT_EQ(platform::WaitForSingleObject(stop, 0), platform::WAIT_OBJECT_0) << "the stop event stays set";
}

}  // namespace
