// The database cache: one handle per file whatever the spelling, no file created for readers,
// busy waits instead of failures, cache eviction by file and by folder, the integrity check
// after MarkIntegrityCheckAll, and the process-wide instance switches.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
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

TEST_F(ManagerTest, MissingFileWithoutCreateGivesEmptyHandleAndNoFile) {
    const std::string path = temp.path() + "missing.sqlite3";
    EXPECT_EQ(Get(path, false, true), nullptr);
    EXPECT_EQ(Get(path, false, false), nullptr);
    EXPECT_EQ(Get(temp.path() + "no-folder/missing.sqlite3", false, true), nullptr);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(manager.Get(L"", true, false), nullptr);
}

TEST_F(ManagerTest, CreateOpensNewFileAndCachesIt) {
    const std::string path = temp.path() + "new.sqlite3";
    DatabasePtr first = Get(path);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(first->path(), W(path));
    EXPECT_EQ(Get(path, false, true), first);
    first->execDML("CREATE TABLE t(x)");
    EXPECT_TRUE(first->tableExists("t"));
}

TEST_F(ManagerTest, CreateInMissingFolderGivesEmptyHandleAndLogs) {
    EXPECT_EQ(Get(temp.path() + "no-folder/x.sqlite3"), nullptr);
    EXPECT_TRUE(logs.Contains("no-folder/x.sqlite3", "host.log"));
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
    EXPECT_EQ(SqliteDatabaseManager::CacheKey(W(temp.path() + "dir/x/../a.sqlite3")), path);
}

TEST_F(ManagerTest, FileThatIsNoDatabaseGivesEmptyHandle) {
    const std::string path = temp.path() + "garbage.sqlite3";
    std::ofstream(path) << std::string(8192, 'g');
    EXPECT_EQ(Get(path, false, true), nullptr);
    EXPECT_TRUE(logs.Contains(path, "host.log"));
    EXPECT_TRUE(logs.Contains("file is not a database", "host.log"));
}

TEST_F(ManagerTest, WriteProtectedFileStillOpensForReaders) {
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores file permissions";
    const std::string path = temp.path() + "ro.sqlite3";
    {
        DatabasePtr writer = Get(path);
        ASSERT_NE(writer, nullptr);
        writer->execDML("CREATE TABLE t(x); INSERT INTO t VALUES(1)");
    }
    manager.CloseCachedDatabaseAtPath(W(path));
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    DatabasePtr reader = Get(path, false, true);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->execScalar("SELECT count(*) FROM t"), 1);
    EXPECT_THROW(reader->execDML("INSERT INTO t VALUES(2)"), CppSQLite3Exception);
}

// A writer in another process holds the lock for ~200 ms; the cached handle's busy timeout
// makes the read wait for it.
TEST_F(ManagerTest, WriterInAnotherProcessDelaysRead) {
    const std::string path = temp.path() + "locked.sqlite3";
    DatabasePtr database = Get(path);
    ASSERT_NE(database, nullptr);
    database->execDML("CREATE TABLE t(x)");

    int signal[2];
    ASSERT_EQ(::pipe(signal), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(signal[0]);
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) ::_exit(2);
        if (sqlite3_exec(db, "BEGIN EXCLUSIVE; INSERT INTO t VALUES(1)", nullptr, nullptr, nullptr) !=
            SQLITE_OK)
            ::_exit(3);
        if (::write(signal[1], "x", 1) != 1) ::_exit(4);
        ::usleep(200 * 1000);
        if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) ::_exit(5);
        sqlite3_close(db);
        ::_exit(0);
    }
    ::close(signal[1]);
    char byte = 0;
    const ssize_t got = ::read(signal[0], &byte, 1);
    ::close(signal[0]);

    const auto start = std::chrono::steady_clock::now();
    long long rows = -1;
    EXPECT_NO_THROW(rows = database->execScalar("SELECT count(*) FROM t"));
    const auto waited = std::chrono::steady_clock::now() - start;
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(got, 1);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(rows, 1);
    EXPECT_GE(waited, std::chrono::milliseconds(100));
}

TEST_F(ManagerTest, CloseAtPathDropsOnlyThatEntry) {
    const std::string a = temp.path() + "a.sqlite3";
    const std::string b = temp.path() + "b.sqlite3";
    DatabasePtr first = Get(a);
    DatabasePtr other = Get(b);
    manager.CloseCachedDatabaseAtPath(W(temp.path() + "./a.sqlite3"));
    DatabasePtr second = Get(a);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(Get(b), other);
    // A holder of the dropped handle keeps a working connection.
    EXPECT_EQ(first->execScalar("SELECT 7"), 7);
    manager.CloseCachedDatabaseAtPath(W(temp.path() + "never-opened.sqlite3"));
}

TEST_F(ManagerTest, CloseUnderPathMatchesWholeFolderNames) {
    const std::string inside = temp.sub("a/b") + "x.sqlite3";
    const std::string deeper = temp.sub("a/b/deep") + "y.sqlite3";
    const std::string sibling = temp.sub("a/bc") + "x.sqlite3";
    const std::string beside = temp.sub("a") + "b.sqlite3";
    for (const std::string& folder : {temp.path() + "a/b", temp.path() + "a/b/", temp.path() + "a/x/../b"}) {
        DatabasePtr insideHandle = Get(inside);
        DatabasePtr deeperHandle = Get(deeper);
        DatabasePtr siblingHandle = Get(sibling);
        DatabasePtr besideHandle = Get(beside);
        manager.CloseCachedDatabasesUnderPath(W(folder));
        EXPECT_NE(Get(inside), insideHandle) << folder;
        EXPECT_NE(Get(deeper), deeperHandle) << folder;
        EXPECT_EQ(Get(sibling), siblingHandle) << folder;
        EXPECT_EQ(Get(beside), besideHandle) << folder;
    }
}

TEST_F(ManagerTest, IntegrityCheckRunsOnceOnNextGetOfMarkedFiles) {
    const std::string marked = temp.path() + "marked.sqlite3";
    const std::string later = temp.path() + "later.sqlite3";
    DatabasePtr handle = Get(marked);
    manager.MarkIntegrityCheckAll();
    logs.Clear();

    EXPECT_EQ(Get(later), Get(later));
    EXPECT_FALSE(logs.Contains("quick_check"));
    EXPECT_EQ(Get(marked, false, true), handle);
    EXPECT_TRUE(logs.Contains("quick_check ok: " + marked, "host.log"));
    logs.Clear();
    EXPECT_EQ(Get(marked), handle);
    EXPECT_FALSE(logs.Contains("quick_check"));
}

TEST_F(ManagerTest, IntegrityFailureIsLoggedAndHandleStillReturned) {
    const std::string path = temp.path() + "corrupt.sqlite3";
    DatabasePtr handle = Get(path);
    ASSERT_NE(handle, nullptr);
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
    logs.Clear();
    EXPECT_EQ(Get(path, false, true), handle);
    EXPECT_TRUE(logs.Contains("quick_check failed: " + path, "host.log"));
    const auto lines = logs.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().level, ZEL::LogLevel::Error);
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

TEST(DatabaseManagerInstance, DefaultInstalledAndRestored) {
    ZEL::DatabaseManager* fallback = ZEL::DatabaseManager::GetInstance();
    ASSERT_NE(fallback, nullptr);
    EXPECT_NE(dynamic_cast<SqliteDatabaseManager*>(fallback), nullptr);
    SqliteDatabaseManager mine;
    ZEL::DatabaseManager::SetInstance(&mine);
    EXPECT_EQ(ZEL::DatabaseManager::GetInstance(), &mine);
    ZEL::DatabaseManager::SetInstance(nullptr);
    EXPECT_EQ(ZEL::DatabaseManager::GetInstance(), fallback);
}

TEST(DatabaseManagerInstance, SyncPointResetSuppression) {
    EXPECT_FALSE(ZEL::DatabaseManager::IsSyncPointResetSuppressed());
    ZEL::DatabaseManager::SuppressSyncPointResetDuringPurge(true);
    EXPECT_TRUE(ZEL::DatabaseManager::IsSyncPointResetSuppressed());
    ZEL::DatabaseManager::SuppressSyncPointResetDuringPurge(false);
    EXPECT_FALSE(ZEL::DatabaseManager::IsSyncPointResetSuppressed());
}

}  // namespace
