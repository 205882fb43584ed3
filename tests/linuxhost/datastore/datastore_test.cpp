// The database cache (one handle per file, eviction, busy waits, the integrity check,
// ZEL::Database's failures reported with the file) and the data-store service on top of it.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "datasync/host/DataStore.h"
#include "datasync/host/JsonSerialize.h"
#include "datasync/host/StringUtil.h"
#include "linuxhost/HostFolders.h"
#include "linuxhost/datastore/SqliteDatabaseManager.h"
#include "linuxhost/datastore/SqliteEventDataLogging.h"
#include "support/LogCapture.h"
#include "support/TelemetryWriter.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using ZEL::DatabasePtr;
using ZEL::linuxhost::SqliteDatabaseManager;
std::wstring W(const std::string& text) { return ZEL::String::UTF8ToUTF16(text); }

class ManagerTest : public ::testing::Test {
protected:
    DatabasePtr Get(const std::string& path, bool create = true, bool reader = false) {
        return manager.Get(W(path), create, reader);
    }
    testsupport::LogCapture logs;
    testsupport::TempDir temp;
    SqliteDatabaseManager manager;
};

TEST_F(ManagerTest, CreatesOnlyWhenAskedSharesOneHandlePerFileAndSaysWhyItCannotOpen) {
    const std::string path = temp.sub("dir") + "a.sqlite3";
    EXPECT_EQ(Get(path, false, true), nullptr);
    EXPECT_EQ(Get(path, false, false), nullptr);
    EXPECT_FALSE(fs::exists(path));
    DatabasePtr created = Get(path);
    ASSERT_NE(created, nullptr);
    EXPECT_TRUE(fs::exists(path));
    for (const std::string& spelling : {path, temp.path() + "dir/./other/../a.sqlite3", temp.path() + "/dir//a.sqlite3",
                                        fs::path(path).lexically_relative(fs::current_path()).string()})
        EXPECT_EQ(Get(spelling, false, true), created) << spelling;
    EXPECT_EQ(manager.Get(L"", true, false), nullptr);
    EXPECT_EQ(Get(temp.path() + "no-folder/x.sqlite3"), nullptr);
    EXPECT_TRUE(logs.Contains("no-folder/x.sqlite3", "host.log"));
    std::ofstream(temp.path() + "garbage.sqlite3") << std::string(8192, 'g');
    EXPECT_EQ(Get(temp.path() + "garbage.sqlite3", false, true), nullptr);
    EXPECT_TRUE(logs.Contains("file is not a database", "host.log"));
}

// Another connection holds the write lock for ~200 ms; the cached handle's busy timeout makes
// the read wait for it instead of failing.
TEST_F(ManagerTest, LockHeldElsewhereDelaysRead) {
    const std::string path = temp.path() + "locked.sqlite3";
    Get(path)->execDML("CREATE TABLE t(x)");
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
    long long rows = -1;
    EXPECT_NO_THROW(rows = Get(path)->execScalar("SELECT count(*) FROM t"));
    holder.join();
    EXPECT_EQ(rows, 1);
}

TEST_F(ManagerTest, EvictionByFileAndByWholeFolderName) {
    const std::string a = temp.path() + "a.sqlite3";
    DatabasePtr first = Get(a);
    manager.CloseCachedDatabaseAtPath(W(temp.path() + "./a.sqlite3"));
    EXPECT_NE(Get(a), first);
    EXPECT_EQ(first->execScalar("SELECT 7"), 7) << "a holder of the dropped handle keeps a working connection";
    // Files in the folder and below it go; a sibling sharing the name's prefix and a file beside stay.
    const std::string files[] = {temp.sub("a/b") + "x.sqlite3", temp.sub("a/b/deep") + "y.sqlite3",
                                 temp.sub("a/bc") + "x.sqlite3", temp.sub("a") + "b.sqlite3"};
    for (const std::string& folder : {temp.path() + "a/b", temp.path() + "a/b/", temp.path() + "a/x/../b"}) {
        DatabasePtr before[4];
        for (int i = 0; i < 4; ++i) before[i] = Get(files[i]);
        manager.CloseCachedDatabasesUnderPath(W(folder));
        for (int i = 0; i < 4; ++i) EXPECT_EQ(Get(files[i]) == before[i], i >= 2) << folder << " " << files[i];
    }
}

// The cache keeps a bounded number of idle handles: the least recently used close first, a
// handle a caller holds stays, and closing an idle WAL handle leaves its file and WAL as they
// are (no checkpoint that a file watcher would take for a change).
TEST_F(ManagerTest, IdleHandlesBeyondTheLimitCloseLeastRecentlyUsedFirstAndTouchNoFile) {
    const std::string wal = temp.path() + "wal.sqlite3";
    std::weak_ptr<ZEL::Database> walHandle = Get(wal);
    walHandle.lock()->execDML("PRAGMA journal_mode=WAL; CREATE TABLE t(x); INSERT INTO t VALUES(1)");
    DatabasePtr held = Get(temp.path() + "held.sqlite3");
    std::vector<std::weak_ptr<ZEL::Database>> idle;
    for (std::size_t n = 0; n <= SqliteDatabaseManager::kMaxIdleHandles; ++n)
        idle.push_back(Get(temp.path() + std::to_string(n) + ".sqlite3"));
    EXPECT_TRUE(walHandle.expired()) << "the least recently used idle handle closed";
    EXPECT_TRUE(fs::exists(wal + "-wal")) << "and its WAL was neither checkpointed nor removed";
    for (const auto& handle : idle) EXPECT_FALSE(handle.expired());
    EXPECT_EQ(Get(temp.path() + "held.sqlite3"), held);
    EXPECT_EQ(Get(wal)->execScalar("SELECT count(*) FROM t"), 1);
}

// After MarkIntegrityCheckAll the next Get of each open file runs one quick check; a failed one
// is logged as an error and the handle is still returned.
TEST_F(ManagerTest, IntegrityCheckRunsOnceOnTheNextGetOfMarkedFiles) {
    const std::string path = temp.path() + "corrupt.sqlite3";
    DatabasePtr handle = Get(path);
    manager.MarkIntegrityCheckAll();
    logs.Clear();
    EXPECT_EQ(Get(path, false, true), handle);
    EXPECT_TRUE(logs.Contains("quick_check ok: " + path, "host.log"));
    logs.Clear();
    EXPECT_EQ(Get(path), handle);
    EXPECT_FALSE(logs.Contains("quick_check"));
    handle->execDML("CREATE TABLE t(v TEXT); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                    "WHERE i < 300) INSERT INTO t SELECT printf('%0200d', i) FROM n");
    const long long pageSize = handle->execScalar("PRAGMA page_size");
    manager.MarkIntegrityCheckAll();
    {   // Overwrite a table page and bump the change counter's low byte, so the connection rereads.
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(4 * pageSize);
        file << std::string(static_cast<std::size_t>(pageSize), '\xFF');
        file.seekg(27);
        const char counter = static_cast<char>(file.get() + 1);
        file.seekp(27);
        file.put(counter);
    }
    EXPECT_EQ(Get(path, false, true), handle);
    EXPECT_TRUE(logs.Contains("quick_check failed: " + path, "host.log"));
    ASSERT_FALSE(logs.Lines().empty());
    EXPECT_EQ(logs.Lines().back().level, ZEL::LogLevel::Error);
}

TEST_F(ManagerTest, ConcurrentGetsShareOneHandleWhileClosesRun) {
    const std::string path = temp.path() + "shared.sqlite3";
    std::vector<DatabasePtr> handles(6);
    std::vector<std::thread> threads;
    for (DatabasePtr& handle : handles) threads.emplace_back([&, slot = &handle] { *slot = Get(path); });
    for (std::thread& thread : threads) thread.join();
    for (const DatabasePtr& handle : handles) EXPECT_EQ(handle, handles[0]);
    threads.clear();
    for (int i = 0; i < 6; ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < 40; ++round) {
                if (i == 0) manager.CloseCachedDatabasesUnderPath(W(temp.path()));
                if (i == 1) manager.MarkIntegrityCheckAll();
                DatabasePtr handle = i > 1 ? Get(path, false, true) : nullptr;
                if (handle) handle->execScalar("SELECT count(*) FROM sqlite_master");
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
    EXPECT_TRUE(logs.Contains(path, "host.log"));
    EXPECT_TRUE(logs.Contains("no such table: Missing", "host.log"));
    EXPECT_FALSE(ZEL::Database(L"/nowhere.sqlite3").ExecSql(L"SELECT 1"));
}

using ZEL::utility::DB_PATH_USER_SHARED;

class EventDataLoggingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ZEL::linuxhost::InstallHostFolders(
            {temp.sub("service"), temp.sub("shared"), temp.sub("local"), temp.sub("log"), temp.sub("state")});
        ZEL::DatabaseManager::SetInstance(&manager);
    }
    void TearDown() override {
        ZEL::DatabaseManager::SetInstance(nullptr);
        ZEL::linuxhost::InstallHostFolders(ZEL::linuxhost::HostFolders());
    }
    // First id, last id and newest logtime of one of ds1's tables.
    std::string Bounds(const std::wstring& table = L"ItemEvent",
                       ZEL::utility::EGetDBPathMethod where = ZEL::utility::DB_PATH_DEFAULT) {
        return std::to_string(store.GetFirstID(L"ds1", table, where)) + " " +
               std::to_string(store.GetLastID(L"ds1", table, where)) + " '" +
               store.GetLastLogtime(L"ds1", table, where) + "'";
    }
    testsupport::LogCapture logs;
    testsupport::TempDir temp;
    ZEL::linuxhost::SqliteDatabaseManager manager;
    ZEL::linuxhost::SqliteEventDataLogging store;
    const std::string service = temp.path() + "service/";
};

// The dataset id is the file name's text before its last '_'; folder names do not count.
TEST_F(EventDataLoggingTest, DatasetIdOfAFileName) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"a_b_DatasetContext.sqlite3", L"a_b"}, {L"/var/x_y/ds2_ItemEvent.sqlite3", L"ds2"},
        {L"/var/x_y/DeviceContext.sqlite3", L""}, {L"_ItemEvent.sqlite3", L""}};
    for (const auto& c : cases) EXPECT_EQ(store.GetDatasetId(c.first), c.second) << c.first;
}

TEST_F(EventDataLoggingTest, BoundsFollowInsertsAndDeletesAndAreMinusOneWithoutATable) {
    EXPECT_EQ(Bounds(), "-1 -1 ''");
    EXPECT_TRUE(fs::is_empty(service)) << "a reader creates no file";
    testsupport::TelemetryWriter other(service + "ds1_ItemEvent.sqlite3", "SomethingElse");
    EXPECT_EQ(Bounds(), "-1 -1 ''");
    EXPECT_TRUE(logs.Contains("no such table", "host.log"));
    testsupport::TelemetryWriter writer(temp.path() + "shared/ds1_ItemEvent.sqlite3", "ItemEvent");
    EXPECT_EQ(Bounds(L"ItemEvent", DB_PATH_USER_SHARED), "0 0 ''");
    for (int i = 0; i < 5; ++i) writer.Insert("{}", "2026-12-06T10:00:0" + std::to_string(i));
    writer.Exec("DELETE FROM ItemEvent WHERE id <= 2");
    EXPECT_EQ(Bounds(L"ItemEvent", DB_PATH_USER_SHARED), "3 5 '2026-12-06T10:00:04'");
    writer.Insert("{}", "2026-12-07T00:00:00", 40);
    writer.Exec("UPDATE ItemEvent SET logtime = NULL WHERE id = 40");
    EXPECT_EQ(Bounds(L"ItemEvent", DB_PATH_USER_SHARED), "3 40 ''");
}

// SQL injection: the table name goes into the statement, so only plain identifiers pass; a
// keyword is a plain identifier, quoted in the statement.
TEST_F(EventDataLoggingTest, TableNamesMustBePlainIdentifiers) {
    testsupport::TelemetryWriter writer(service + "ds1_ItemEvent.sqlite3", "ItemEvent");
    writer.Insert("{}");
    for (const wchar_t* table : {L"ItemEvent; DROP TABLE ItemEvent", L"1Item", L"", L"Item-Event", L"Item\u00e9",
                                 L"ItemEvent\"", L"ItemEvent --"})
        EXPECT_EQ(Bounds(table), "-1 -1 ''") << ZEL::String::UTF16ToUTF8(table);
    EXPECT_EQ(writer.Scalar("SELECT count(*) FROM ItemEvent"), 1);
    testsupport::TelemetryWriter keyword(service + "ds1_Order.sqlite3", "\"Order\"");
    keyword.Insert("{}", "t", 3);
    EXPECT_EQ(Bounds(L"Order"), "3 3 't'");
}

// Another connection writes in WAL mode and keeps its connection (and the WAL) open; the
// cached reader handle sees each commit.
TEST_F(EventDataLoggingTest, SeesWalCommitsOfAnotherConnection) {
    testsupport::TelemetryWriter writer(service + "ds1_ItemEvent.sqlite3", "ItemEvent", /*wal=*/true);
    writer.Insert("{}", "t1");
    ASSERT_TRUE(fs::exists(service + "ds1_ItemEvent.sqlite3-wal"));
    EXPECT_EQ(Bounds(), "1 1 't1'");
    writer.Insert("{}", "t2");
    writer.Exec("DELETE FROM ItemEvent WHERE id = 1");
    EXPECT_EQ(Bounds(), "2 2 't2'");
}

// The codec's text of a device context.
std::string ContextRow(const std::wstring& id) {
    ZEL::DeviceContext context;
    context.set_device_id(id);
    context.mutable_device_info().set_os_name(L"Linux \u00e9");
    std::wstring json;
    EXPECT_TRUE(ZEL::JsonSerialize::Serialize(context, json));
    return ZEL::String::UTF16ToUTF8(json);
}

TEST_F(EventDataLoggingTest, LastDeviceContextIsTheNewestRowDecodedAgainWhenItChanges) {
    ZEL::DeviceContext context;
    EXPECT_EQ(store.GetLastDeviceContext(&context, 1), 1);
    EXPECT_FALSE(fs::exists(service + "DeviceContext.sqlite3"));
    testsupport::TelemetryWriter writer(service + "DeviceContext.sqlite3", "DeviceContext");
    EXPECT_EQ(store.GetLastDeviceContext(&context, 0), 1);
    for (const auto& [id, row] : {std::pair{L"old", 5}, {L"new", 9}, {L"middle", 7}})
        writer.Insert(ContextRow(id), "t", row);
    ASSERT_EQ(store.GetLastDeviceContext(&context, 1), 0);
    EXPECT_EQ(context.device_id(), L"new");
    EXPECT_EQ(context.device_info().os_name(), L"Linux \u00e9");
    EXPECT_EQ(context.row_id(), 9);
    // The same row rewritten in place is not served from the previous decode.
    writer.Exec("UPDATE DeviceContext SET data = '" + ContextRow(L"rewritten") + "' WHERE id = 9");
    ASSERT_EQ(store.GetLastDeviceContext(&context, 1), 0);
    EXPECT_EQ(context.device_id(), L"rewritten");
    // An undecodable newest row is none, and the caller's record is left alone.
    writer.Insert("not json", "t", 10);
    EXPECT_EQ(store.GetLastDeviceContext(&context, 1), 1);
    EXPECT_EQ(context.device_id(), L"rewritten");
    EXPECT_TRUE(logs.Contains("cannot be decoded", "host.log"));
}

}  // namespace
