// Bookmarks (shared-folder ownership is checked as root in TelemetryFlowTest).
#include <gtest/gtest.h>

#include <filesystem>

#include "datasync/common/StringUtil.h"
#include "linuxhost/HostFolders.h"
#include "linuxhost/datastore/BookmarkTable.h"
#include "linuxhost/datastore/SyncPointBookmarks.h"
#include "linuxhost/datastore/SyncPointDao.h"
#include "support/LogCapture.h"
#include "support/LogonUser.h"
#include "support/TelemetryWriter.h"
#include "support/TempDir.h"

namespace ZEL {
namespace linuxhost {
namespace {

namespace fs = std::filesystem;

class SyncPointDaoTest : public ::testing::Test {
protected:
    void SetUp() override {
        linuxhost::InstallHostFolders({m_dir.sub("service"), m_dir.sub("shared"), m_dir.sub("local"), "", ""});
    }
    void TearDown() override {
        DatabaseManager::GetInstance()->CloseCachedDatabasesUnderPath(m_dir.wpath());
        linuxhost::InstallHostFolders({});
    }
    bool Exists(const std::string& file) { return fs::exists(m_dir.path() + file); }

    testsupport::LogCapture m_logs;
    testsupport::TempDir m_dir;
    testsupport::LogonUser m_user;  // files in the shared folder need one
};

TEST_F(SyncPointDaoTest, SetInsertsOnceThenUpdatesWhateverTheTypeSpellingAndGuidsTouchOnlyTheirOwnRow) {
    SyncPointDao dao(utility::DB_PATH_INTERNAL, L"SyncPoint.sqlite3");
    std::int64_t id = 77;
    EXPECT_FALSE(dao.Get(id, L"ds-1", L"ItemEvent"));
    EXPECT_EQ(id, 77) << "a missing pair leaves the id alone";
    EXPECT_TRUE(dao.Set({L"ds-1", L"class ItemEvent", 11}) && dao.Set({L"ds-1", L"ItemEvent", 25}));
    const std::wstring hostile = L"y\" or \"1\"=\"1\"; DROP TABLE SyncPoint; --";
    EXPECT_TRUE(dao.Set({hostile, L"ItemEvent", 9}) && dao.Set({hostile, L"ItemEvent", 4}));
    std::string logtime;
    ASSERT_TRUE(dao.Get(id, logtime, L"ds-1", L"class ItemEvent"));
    EXPECT_EQ(id, 25);
    EXPECT_EQ(logtime.size(), 25u) << logtime;  // local time with offset
    ASSERT_TRUE(dao.Get(id, hostile, L"ItemEvent"));
    EXPECT_EQ(id, 4);
    ASSERT_TRUE(dao.Set({L"", L"DeviceContext", 0}));
    EXPECT_TRUE(dao.Get(id, L"", L"class DeviceContext"));
    EXPECT_EQ(id, 0) << "zero is a valid bookmark";
    testsupport::TelemetryWriter file(m_dir.path() + "service/SyncPoint.sqlite3", "Unused");
    EXPECT_EQ(file.Scalar("select count(*) from SyncPoint"), 3);
    file.Exec("insert into SyncPoint(id,type,guid,logtime) values(5,'ItemEvent','g',NULL)");
    logtime = "stale";
    ASSERT_TRUE(dao.Get(id, logtime, L"g", L"ItemEvent"));
    EXPECT_EQ(std::pair(id, logtime), std::pair(std::int64_t{5}, std::string())) << "a NULL logtime reads as empty";
}

TEST_F(SyncPointDaoTest, RootsFollowTheConstructorAndTheHelperAndFailedOpensAreTriedAgain) {
    SyncPointDao(utility::DB_PATH_DEFAULT, L"a.sqlite3");
    SyncPointDao(utility::DB_PATH_INTERNAL, L"b.sqlite3");
    SyncPointBookmarks::Open(utility::DB_PATH_LOCAL, L"c.sqlite3");
    SyncPointBookmarks::Open(utility::DB_PATH_USER_SHARED, L"e.sqlite3");
    for (const char* file : {"shared/a.sqlite3", "service/b.sqlite3", "service/c.sqlite3", "shared/e.sqlite3"})
        EXPECT_TRUE(Exists(file)) << file;
    // A failed open is tried again under the same root, a failed table set-up on the next use.
    fs::remove_all(m_dir.path() + "shared");  // the shared folder is not there yet
    SyncPointDao shared(utility::DB_PATH_USER_SHARED, L"SyncPoint.sqlite3");
    std::int64_t id = 0;
    EXPECT_FALSE(shared.Get(id, L"g", L"ItemEvent"));
    fs::create_directories(m_dir.path() + "shared");
    ASSERT_TRUE(shared.Set({L"g", L"ItemEvent", 42}) && shared.Get(id, L"g", L"ItemEvent"));
    EXPECT_EQ(id, 42);
    EXPECT_TRUE(Exists("shared/SyncPoint.sqlite3") && !Exists("service/SyncPoint.sqlite3"));
    // The shared handle refuses writes for the first set-up, as a lock held too long would.
    DatabasePtr handle =
        EventDataLogging::GetInstance()->GetDatabase(m_dir.wpath() + L"service/SyncPoint.sqlite3", true, false);
    ASSERT_TRUE(handle);
    handle->execDML("PRAGMA query_only=1");
    EXPECT_FALSE(SyncPointDao(utility::DB_PATH_INTERNAL, L"SyncPoint.sqlite3").Set({L"g", L"ItemEvent", 7}));
    handle->execDML("PRAGMA query_only=0");
    SyncPointDao dao(utility::DB_PATH_INTERNAL, L"SyncPoint.sqlite3");
    ASSERT_TRUE(dao.Set({L"g", L"ItemEvent", 7}) && dao.Get(id, L"g", L"ItemEvent"));
    EXPECT_EQ(id, 7);
}

// What a read gives back after a write is what the file holds: after a write the file refused,
// after a clear, and after the file was replaced by another one.
TEST_F(SyncPointDaoTest, ReadsAfterWritesAgreeWithTheFileAfterRefusedWritesClearsAndReplacements) {
    const std::string path = m_dir.path() + "service/SyncPoint.sqlite3";
    SyncPointDao dao(utility::DB_PATH_INTERNAL, L"SyncPoint.sqlite3");
    DatabasePtr handle = EventDataLogging::GetInstance()->GetDatabase(String::UTF8ToUTF16(path), true, false);
    ASSERT_TRUE(handle && dao.Set({L"g", L"ItemEvent", 5}));
    std::int64_t id = 0;
    handle->execDML("PRAGMA query_only=1");
    EXPECT_FALSE(dao.Set({L"g", L"ItemEvent", 9}));
    handle->execDML("PRAGMA query_only=0");
    EXPECT_TRUE(dao.Get(id, L"g", L"ItemEvent") && id == 5) << "a refused write: " << id;
    EXPECT_EQ(dao.Clear(), 1);
    EXPECT_EQ(dao.Read(id, L"g", L"ItemEvent"), BookmarkRead::Missing);
    ASSERT_TRUE(dao.Set({L"g", L"ItemEvent", 6}));
    {
        testsupport::TelemetryWriter other(path + ".new", "Unused");
        other.Exec(kBookmarkCreate);
        other.Exec("insert into SyncPoint(id,type,guid,logtime) values(3,'ItemEvent','g',NULL)");
    }
    for (const char* sidecar : {"-wal", "-shm"}) fs::remove(path + sidecar);  // as a purge would
    fs::rename(path + ".new", path);
    handle.reset();
    EXPECT_TRUE(SyncPointDao(utility::DB_PATH_INTERNAL, L"SyncPoint.sqlite3").Get(id, L"g", L"ItemEvent") && id == 3)
        << "a replaced file: " << id;
}

}  // namespace
}  // namespace linuxhost
}  // namespace ZEL
