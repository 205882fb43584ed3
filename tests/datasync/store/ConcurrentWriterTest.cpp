// A collecting component in another process writes in WAL mode while the stores read and move
// a bookmark: every row is read exactly once and no read fails on the writer's locks.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>

#include "datasync/store/StandardTableDao.h"
#include "datasync/store/SyncPointDao.h"
#include "linuxhost/HostFolders.h"
#include "support/TelemetryWriter.h"
#include "support/TempDir.h"

namespace ZEL {
namespace DataSync {
namespace {

const std::string kDataset = "6F1C2D3E-0000-4000-8000-0000000000AA";
const std::wstring kDatasetW(kDataset.begin(), kDataset.end());
constexpr int kRows = 400;

// Runs in the child: small transactions, each holding the write lock for a moment.
[[noreturn]] void WriteRows(const std::string& path) {
    try {
        testsupport::TelemetryWriter writer(path, "ItemEvent", /*wal=*/true);
        for (int row = 1; row <= kRows; ++row) {
            writer.Exec("BEGIN IMMEDIATE");
            writer.Insert(testsupport::ItemEventJson(kDataset, "item-" + std::to_string(row)));
            if (row % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            writer.Exec("COMMIT");
        }
        _exit(0);
    } catch (...) {
        _exit(1);
    }
}

TEST(ConcurrentWriterTest, ReadsFollowAWalWriterInAnotherProcess) {
    testsupport::TempDir dir;
    linuxhost::InstallHostFolders({dir.sub("service"), "", "", "", ""});
    const std::string path = dir.path() + "service/" + kDataset + "_ItemEvent.sqlite3";
    { testsupport::TelemetryWriter create(path, "ItemEvent", /*wal=*/true); }

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) WriteRows(path);

    std::set<std::wstring> seen;
    int duplicates = 0;
    SyncPointDao bookmarks(utility::DB_PATH_INTERNAL, L"SyncPoint.sqlite3");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (seen.size() < static_cast<size_t>(kRows) && std::chrono::steady_clock::now() < deadline) {
        std::int64_t next = 1;
        bookmarks.Get(next, kDatasetW, L"class ItemEvent");
        std::int64_t cursor = next;
        std::list<ItemEvent> batch;
        if (GetEvents(EventDataLogging::GetInstance(), kDatasetW, cursor, 10, batch, utility::DB_PATH_INTERNAL)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        for (const ItemEvent& event : batch) {
            if (!seen.insert(event.item_id()).second) ++duplicates;
        }
        ASSERT_TRUE(bookmarks.Set({kDatasetW, L"class ItemEvent", cursor + 1}));
    }

    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the writer failed";
    EXPECT_EQ(seen.size(), static_cast<size_t>(kRows));
    EXPECT_EQ(duplicates, 0);

    DatabaseManager::GetInstance()->CloseCachedDatabasesUnderPath(dir.wpath());
    linuxhost::InstallHostFolders({});
}

}  // namespace
}  // namespace DataSync
}  // namespace ZEL
