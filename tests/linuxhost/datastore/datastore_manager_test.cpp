// The database cache: one handle per file whatever the spelling, no file created for readers,
// busy waits instead of failures, cache eviction by file and by folder, the integrity check
// after MarkIntegrityCheckAll; and ZEL::Database's table creation and ExecSql, which report
// failures as false plus a host.log line naming the file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "datasync/host/DataStore.h"
#include "datasync/host/StringUtil.h"
#include "linuxhost/datastore/SqliteDatabaseManager.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using ZEL::DatabasePtr;
using ZEL::linuxhost::SqliteDatabaseManager;

std::wstring W(const std::string& text) {
    return ZEL::String::UTF8ToUTF16(text);
}

class ManagerTest : public ::testing::Test {
protected:
    DatabasePtr Get(const std::string& path, bool create = true, bool reader = false) {
        return manager.Get(W(path), create, reader);
    }

    testsupport::LogCapture logs;
    testsupport::TempDir temp;
    SqliteDatabaseManager manager;
};

TEST_F(ManagerTest, CreatesOnlyWhenAskedAndRefusesWhatItCannotOpen) {
    const std::string path = temp.path() + "new.sqlite3";
    EXPECT_EQ(Get(path, false, true), nullptr);
    EXPECT_EQ(Get(path, false, false), nullptr);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(manager.Get(L"", true, false), nullptr);

    DatabasePtr created = Get(path);
    ASSERT_NE(created, nullptr);
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(Get(path, false, true), created);

    EXPECT_EQ(Get(temp.path() + "no-folder/x.sqlite3"), nullptr);
    EXPECT_TRUE(logs.Contains("no-folder/x.sqlite3", "host.log"));
    const std::string garbage = temp.path() + "garbage.sqlite3";
    std::ofstream(garbage) << std::string(8192, 'g');
    EXPECT_EQ(Get(garbage, false, true), nullptr);
    EXPECT_TRUE(logs.Contains("file is not a database", "host.log"));
}

TEST_F(ManagerTest, TwoSpellingsOfOnePathShareOneHandle) {
    const std::string path = temp.sub("dir") + "a.sqlite3";
    DatabasePtr plain = Get(path);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(Get(temp.path() + "dir/./other/../a.sqlite3"), plain);
    EXPECT_EQ(Get(temp.path() + "/dir//a.sqlite3", false, true), plain);
    const fs::path relative = fs::path(path).lexically_relative(fs::current_path());
    ASSERT_FALSE(relative.empty());
    EXPECT_EQ(Get(relative.string()), plain);
}

TEST_F(ManagerTest, WriteProtectedFileStillOpensForReaders) {
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores file permissions";
    const std::string path = temp.path() + "ro.sqlite3";
    Get(path)->execDML("CREATE TABLE t(x); INSERT INTO t VALUES(1)");
    manager.CloseCachedDatabaseAtPath(W(path));
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    DatabasePtr reader = Get(path, false, true);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->execScalar("SELECT count(*) FROM t"), 1);
    EXPECT_THROW(reader->execDML("INSERT INTO t VALUES(2)"), CppSQLite3Exception);
}

// Another connection holds the write lock for ~200 ms; the cached handle's busy timeout makes
// the read wait for it instead of failing.
TEST_F(ManagerTest, LockHeldElsewhereDelaysRead) {
    const std::string path = temp.path() + "locked.sqlite3";
    DatabasePtr database = Get(path);
    ASSERT_NE(database, nullptr);
    database->execDML("CREATE TABLE t(x)");
    std::promise<void> locked;
    std::thread holder([&] {
        CppSQLite3DB writer;
        writer.open(path, SQLITE_OPEN_READWRITE);
        writer.execDML("BEGIN EXCLUSIVE; INSERT INTO t VALUES(1)");
        locked.set_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        writer.execDML("COMMIT");
    });
    locked.get_future().wait();
    const auto start = std::chrono::steady_clock::now();
    long long rows = -1;
    EXPECT_NO_THROW(rows = database->execScalar("SELECT count(*) FROM t"));
    const auto waited = std::chrono::steady_clock::now() - start;
    holder.join();
    EXPECT_EQ(rows, 1);
    EXPECT_GE(waited, std::chrono::milliseconds(100));
}

TEST_F(ManagerTest, EvictionByFileAndByWholeFolderName) {
    const std::string a = temp.path() + "a.sqlite3";
    DatabasePtr first = Get(a);
    manager.CloseCachedDatabaseAtPath(W(temp.path() + "./a.sqlite3"));
    EXPECT_NE(Get(a), first);
    // A holder of the dropped handle keeps a working connection.
    EXPECT_EQ(first->execScalar("SELECT 7"), 7);

    const std::string inside = temp.sub("a/b") + "x.sqlite3";
    const std::string deeper = temp.sub("a/b/deep") + "y.sqlite3";
    const std::string sibling = temp.sub("a/bc") + "x.sqlite3";
    const std::string beside = temp.sub("a") + "b.sqlite3";
    for (const std::string& folder : {temp.path() + "a/b", temp.path() + "a/b/", temp.path() + "a/x/../b"}) {
        SCOPED_TRACE(folder);
        DatabasePtr insideHandle = Get(inside);
        DatabasePtr deeperHandle = Get(deeper);
        DatabasePtr siblingHandle = Get(sibling);
        DatabasePtr besideHandle = Get(beside);
        manager.CloseCachedDatabasesUnderPath(W(folder));
        EXPECT_NE(Get(inside), insideHandle);
        EXPECT_NE(Get(deeper), deeperHandle);
        EXPECT_EQ(Get(sibling), siblingHandle);
        EXPECT_EQ(Get(beside), besideHandle);
    }
}

// After MarkIntegrityCheckAll the next Get of each open file runs one quick check; a failed one
// is logged as an error and the handle is still returned.
TEST_F(ManagerTest, IntegrityCheckRunsOnceOnTheNextGetOfMarkedFiles) {
    const std::string path = temp.path() + "corrupt.sqlite3";
    DatabasePtr handle = Get(path);
    ASSERT_NE(handle, nullptr);
    manager.MarkIntegrityCheckAll();
    logs.Clear();
    EXPECT_EQ(Get(path, false, true), handle);
    EXPECT_TRUE(logs.Contains("quick_check ok: " + path, "host.log"));
    logs.Clear();
    EXPECT_EQ(Get(path), handle);
    EXPECT_FALSE(logs.Contains("quick_check"));

    handle->execDML(
        "CREATE TABLE t(v TEXT); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
        "WHERE i < 300) INSERT INTO t SELECT printf('%0200d', i) FROM n");
    const long long pageSize = handle->execScalar("PRAGMA page_size");
    ASSERT_GE(handle->execScalar("PRAGMA page_count"), 8);
    manager.MarkIntegrityCheckAll();
    {
        // Overwrite a table page and bump the change counter, so the connection rereads.
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(4 * pageSize);
        const std::string junk(static_cast<std::size_t>(pageSize), '\xFF');
        file.write(junk.data(), static_cast<std::streamsize>(junk.size()));
        file.seekg(24);
        char counter[4];
        file.read(counter, 4);
        counter[3] = static_cast<char>(counter[3] + 1);
        file.seekp(24);
        file.write(counter, 4);
    }
    EXPECT_EQ(Get(path, false, true), handle);
    EXPECT_TRUE(logs.Contains("quick_check failed: " + path, "host.log"));
    ASSERT_FALSE(logs.Lines().empty());
    EXPECT_EQ(logs.Lines().back().level, ZEL::LogLevel::Error);
}

TEST_F(ManagerTest, ConcurrentGetsShareOneHandleWhileClosesRun) {
    const std::string path = temp.path() + "shared.sqlite3";
    constexpr int kThreads = 6;
    std::vector<DatabasePtr> handles(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back([&, i] { handles[i] = Get(path); });
    for (std::thread& thread : threads) thread.join();
    for (const DatabasePtr& handle : handles) EXPECT_EQ(handle, handles[0]);

    threads.clear();
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < 40; ++round) {
                if (i == 0) {
                    manager.CloseCachedDatabasesUnderPath(W(temp.path()));
                } else if (i == 1) {
                    manager.MarkIntegrityCheckAll();
                } else {
                    DatabasePtr handle = Get(path, false, true);
                    if (handle) handle->execScalar("SELECT count(*) FROM sqlite_master");
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_NE(Get(path, false, true), nullptr);
}

TEST_F(ManagerTest, DatabaseCreateTableAndExecSqlReportFailuresWithThePath) {
    const std::string path = temp.path() + "db.sqlite3";
    constexpr const char* kTable = "Create table ItemEvent(id integer primary key, data TEXT NOT NULL)";
    ZEL::Database database(W(path));
    database.open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    ASSERT_TRUE(database.CreateTable("ItemEvent", kTable));
    EXPECT_TRUE(database.ExecSql(L"INSERT INTO ItemEvent(data) VALUES('caf\u00e9 \U0001F600')"));
    EXPECT_TRUE(database.CreateTable("itemevent", kTable));  // an existing table is kept with its rows
    EXPECT_EQ(database.execScalar("SELECT length(data) FROM ItemEvent"), 6);
    EXPECT_TRUE(logs.Lines().empty());
    EXPECT_FALSE(database.CreateTable("Broken", "CREATE TABLE Broken("));
    EXPECT_FALSE(database.ExecSql(L"DELETE FROM Missing WHERE 1"));
    EXPECT_TRUE(logs.Contains(path + ": no such table: Missing", "host.log") ||
                (logs.Contains(path, "host.log") && logs.Contains("no such table: Missing", "host.log")));
    EXPECT_FALSE(ZEL::Database(L"/nowhere.sqlite3").ExecSql(L"SELECT 1"));
}

}  // namespace
