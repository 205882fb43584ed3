#include <gtest/gtest.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "datasync/common/StringUtil.h"
#include "linuxhost/datastore/DataStore.h"
#include "datasync/store/RecordCodec.h"
#include "linuxhost/datastore/SQLiteWrapper.h"
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

constexpr int kCreate = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;

class WrapperTest : public ::testing::Test {
protected:
    void SetUp() override {
        db.open(path, kCreate);
        db.execDML("CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, n INTEGER)");
    }
    testsupport::TempDir temp;
    std::string path = temp.path() + "wrapper.sqlite3";
    CppSQLite3DB db;
};

// Runs `body` and returns the exception it throws (fails the test when it throws none).
template <typename Body>
CppSQLite3Exception Thrown(Body body) {
    try { body(); } catch (const CppSQLite3Exception& error) { return error; }
    ADD_FAILURE() << "no CppSQLite3Exception thrown";
    return CppSQLite3Exception(0, "");
}

TEST_F(WrapperTest, FailuresThrowWithTheirCodeAndStatementsStayUsable) {
    CppSQLite3DB other;
    EXPECT_EQ(Thrown([&] { other.open(temp.path() + "no-such-folder/x.sqlite3", kCreate); }).errorCode(),
              SQLITE_CANTOPEN);
    EXPECT_THROW(other.execDML("SELECT 1"), CppSQLite3Exception);
    EXPECT_EQ(Thrown([&] { db.execDML("CREATE TABL broken(x)"); }).errorCode(), SQLITE_ERROR);
    db.execDML("CREATE TABLE strict(v TEXT NOT NULL)");
    CppSQLite3Statement insert = db.compileStatement("INSERT INTO strict(v) VALUES(?)");
    insert.bindNull(1);
    EXPECT_THROW(insert.execDML(), CppSQLite3Exception);
    insert.bind(1, "fine");
    EXPECT_EQ(insert.execDML(), 1);
}

TEST_F(WrapperTest, NullsAreReportedAsNullCursorsStopAtTheEndAndTableNamesAreData) {
    EXPECT_TRUE(db.tableExists("T"));
    EXPECT_FALSE(db.tableExists("t' OR '1'='1"));
    db.execDML("INSERT INTO t(id, name, n) VALUES(1, NULL, NULL), (2, '', 9000000000)");
    CppSQLite3Query query = db.execQuery("SELECT name, n FROM t ORDER BY id");
    ASSERT_FALSE(query.eof());
    EXPECT_EQ(query.fieldValue(0), nullptr);
    EXPECT_TRUE(query.fieldIsNull(1));
    EXPECT_EQ(query.getInt64Field(1, -5), -5);
    query.nextRow();
    EXPECT_STREQ(query.fieldValue(0), "");  // not NULL
    EXPECT_EQ(query.getInt64Field(1, -5), 9000000000LL);
    query.nextRow();
    query.nextRow();  // past the end stays at the end rather than restarting
    EXPECT_TRUE(query.eof());
    EXPECT_THROW(query.fieldValue(0), CppSQLite3Exception);
    EXPECT_EQ(db.execScalar("SELECT NULL", 77), 77);
    EXPECT_EQ(db.execScalar("SELECT n FROM t WHERE id = 99", 13), 13);
}

TEST_F(WrapperTest, ChangeCountsBelongToTheStatement) {
    const std::pair<const char*, int> cases[] = {
        {"INSERT INTO t(name, n) VALUES('a', 1), ('b', 1), ('c', 2)", 3}, {"UPDATE t SET name = 'x' WHERE n = 1", 2},
        // statements that change no rows must not repeat the previous statement's count
        {"CREATE TABLE other(x)", 0}, {"UPDATE t SET name = 'y' WHERE n = 99", 0}, {"PRAGMA user_version = 3", 0},
        {"DELETE FROM t WHERE n = 1; DELETE FROM t WHERE n = 2", 3}, {"", 0}};
    for (const auto& [sql, changed] : cases) EXPECT_EQ(db.execDML(sql), changed) << sql;
}

// A compiled statement that ended goes back to its connection for the next compile of the same text: it
// must come back with no binding left and no read lock held, even when its query stopped halfway.
TEST_F(WrapperTest, AReusedStatementStartsUnboundAndItsEndedQueryHoldsNoLock) {
    db.execDML("INSERT INTO t(name, n) VALUES('a', 1), ('b', 2)");
    for (int round = 0; round < 2; ++round) {
        CppSQLite3Statement statement = db.compileStatement("SELECT count(*) FROM t WHERE n = ?1 OR ?1 IS NULL");
        if (round == 0) statement.bind(1, 1);
        EXPECT_EQ(statement.execQuery().getInt64Field(0), round == 0 ? 1 : 2) << "round " << round;
    }
    {
        CppSQLite3Statement rows = db.compileStatement("SELECT name FROM t ORDER BY id");
        CppSQLite3Query query = rows.execQuery();
        ASSERT_FALSE(query.eof());  // ends here, on its first row
    }
    CppSQLite3DB writer;
    writer.open(path, SQLITE_OPEN_READWRITE);
    EXPECT_NO_THROW(writer.execDML("BEGIN EXCLUSIVE; COMMIT"));
}

// Threads share one connection; each must see the change count of its own statement ((owner + 1) * 3 rows),
// plain text and a bound statement in turn, never that of a statement another thread completed in between.
TEST(WrapperThreads, ConcurrentExecDmlReportsOwnChangeCounts) {
    CppSQLite3DB shared;
    shared.open(":memory:", kCreate);
    shared.execDML("CREATE TABLE t(owner INTEGER, v INTEGER)");
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int owner = 0; owner < 4; ++owner) {
        for (int row = 0; row < (owner + 1) * 3; ++row) shared.execDML("INSERT INTO t VALUES(" + std::to_string(owner) + ", 0)");
        threads.emplace_back([&, owner] {
            const std::string sql = "UPDATE t SET v = v + 1 WHERE owner = ";
            CppSQLite3Statement update = shared.compileStatement(sql + "?");
            for (int i = 0; i < 300; ++i) {
                update.bind(1, owner);
                if ((i % 2 ? update.execDML() : shared.execDML(sql + std::to_string(owner))) != (owner + 1) * 3) ++wrong;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(shared.execScalar("SELECT count(*) FROM t WHERE v <> 300"), 0);
}

class ManagerTest : public ::testing::Test {
protected:
    DatabasePtr Get(const std::string& path, bool create = true, bool reader = false) {
        return manager.Get(ZEL::String::UTF8ToUTF16(path), create, reader);
    }
    testsupport::LogCapture logs;
    testsupport::TempDir temp;
    SqliteDatabaseManager manager;
};

TEST_F(ManagerTest, CreatesOnlyWhenAskedSharesOneHandlePerFileAndSaysWhyItCannotOpen) {
    const std::string path = temp.sub("dir") + "a.sqlite3";
    EXPECT_TRUE(!Get(path, false, true) && !Get(path, false, false) && !fs::exists(path));
    DatabasePtr created = Get(path);
    ASSERT_NE(created, nullptr);
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(Get(temp.path() + "/dir/./other/..//a.sqlite3", false, true), created) << "another spelling";
    EXPECT_EQ(Get(temp.path() + "no-folder/x.sqlite3"), nullptr);
    EXPECT_TRUE(logs.Contains("no-folder/x.sqlite3", "host.log"));
    std::ofstream(temp.path() + "garbage.sqlite3") << std::string(8192, 'g');
    EXPECT_EQ(Get(temp.path() + "garbage.sqlite3", false, true), nullptr);
    EXPECT_TRUE(logs.Contains("file is not a database", "host.log"));
}

// A key names a file one way: absolute, without empty, "." or ".." names (a trailing '/' stays).
TEST(CacheKey, EverySpellingOfAPathGivesOneKey) {
    const std::string cwd = fs::current_path().string();
    const std::pair<std::wstring, std::string> cases[] = {
        {L"/data/a.sqlite3", "/data/a.sqlite3"},
        {L"/data/", "/data/"},
        {L"/data/.x/..y/...", "/data/.x/..y/..."},
        {L"/data//a", "/data/a"},
        {L"//data/a", "/data/a"},
        {L"/data/./a", "/data/a"},
        {L"/data/b/../a", "/data/a"},
        {L"/data/b/..", "/data/"},
        {L"/data/.", "/data/"},
        {L"/data/Gr\u00f6\u00df", "/data/Gr\xc3\xb6\xc3\x9f"},
        {L"a.sqlite3", cwd + "/a.sqlite3"},
        {L"", ""},
        {std::wstring(L"/data/a\0b", 9), ""},
    };
    for (const auto& [path, key] : cases)
        EXPECT_EQ(SqliteDatabaseManager::CacheKey(path), key) << ZEL::String::UTF16ToUTF8(path);
}

// Another connection holds the write lock for ~200 ms; the cached handle's busy timeout makes the read wait.
TEST_F(ManagerTest, LockHeldElsewhereDelaysRead) {
    const std::string path = temp.path() + "locked.sqlite3";
    Get(path)->execDML("CREATE TABLE t(x)");
    std::promise<void> locked;
    auto holder = std::async(std::launch::async, [&] {  // its end waits for the writer
        CppSQLite3DB writer;
        writer.open(path, SQLITE_OPEN_READWRITE);
        writer.execDML("BEGIN EXCLUSIVE; INSERT INTO t VALUES(1)");
        locked.set_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        writer.execDML("COMMIT");
    });
    ASSERT_EQ(locked.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready) << "no lock taken";
    EXPECT_EQ(Get(path)->execScalar("SELECT count(*) FROM t"), 1);
}

TEST_F(ManagerTest, EvictionByFileAndByWholeFolderName) {
    const std::string a = temp.path() + "a.sqlite3";
    DatabasePtr first = Get(a);
    manager.CloseCachedDatabaseAtPath(ZEL::String::UTF8ToUTF16(temp.path() + "./a.sqlite3"));
    EXPECT_NE(Get(a), first);
    EXPECT_EQ(first->execScalar("SELECT 7"), 7) << "a holder of the dropped handle keeps a working connection";
    // Files in the folder and below it go; a sibling sharing the name's prefix and a file beside stay.
    const std::string files[] = {temp.sub("a/b") + "x.sqlite3", temp.sub("a/b/deep") + "y.sqlite3",
                                 temp.sub("a/bc") + "x.sqlite3", temp.sub("a") + "b.sqlite3"};
    for (const std::string& folder : {temp.path() + "a/b", temp.path() + "a/b/", temp.path() + "a/x/../b"}) {
        DatabasePtr before[4];
        for (int i = 0; i < 4; ++i) before[i] = Get(files[i]);
        manager.CloseCachedDatabasesUnderPath(ZEL::String::UTF8ToUTF16(folder));
        for (int i = 0; i < 4; ++i) EXPECT_EQ(Get(files[i]) == before[i], i >= 2) << folder << " " << files[i];
    }
}

// Closing an idle WAL handle leaves its file and WAL alone (no checkpoint a file watcher would take for a change).
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

TEST_F(ManagerTest, ASweepClosesTheIdleHandlesNobodyTookSinceThePreviousSweep) {
    DatabasePtr held = Get(temp.path() + "held.sqlite3");
    std::weak_ptr<ZEL::Database> used = Get(temp.path() + "used.sqlite3");
    std::weak_ptr<ZEL::Database> unused = Get(temp.path() + "unused.sqlite3");
    manager.CloseHandlesUnusedSinceLastCall();
    EXPECT_FALSE(used.expired() || unused.expired()) << "both were taken since the cache began";
    EXPECT_EQ(Get(temp.path() + "used.sqlite3"), used.lock());
    manager.CloseHandlesUnusedSinceLastCall();
    EXPECT_FALSE(used.expired());
    EXPECT_TRUE(unused.expired());
    manager.CloseHandlesUnusedSinceLastCall();
    EXPECT_TRUE(used.expired());
    EXPECT_EQ(Get(temp.path() + "held.sqlite3"), held) << "a held handle is never dropped";
}

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

TEST_F(ManagerTest, ConcurrentGetsShareOneHandle) {
    std::vector<DatabasePtr> handles(6);
    std::vector<std::thread> threads;
    for (DatabasePtr& slot : handles) threads.emplace_back([&, at = &slot] { *at = Get(temp.path() + "shared.sqlite3"); });
    for (std::thread& thread : threads) thread.join();
    for (const DatabasePtr& handle : handles) EXPECT_EQ(handle, handles[0]);
}

TEST_F(ManagerTest, DatabaseCreateTableKeepsAnExistingTableAndReportsFailuresWithThePath) {
    const std::string path = temp.path() + "db.sqlite3";
    constexpr const char* kTable = "Create table ItemEvent(id integer primary key, data TEXT NOT NULL)";
    ZEL::Database database(ZEL::String::UTF8ToUTF16(path));
    database.open(path, kCreate);
    ASSERT_TRUE(database.CreateTable("ItemEvent", kTable));
    database.execDML("INSERT INTO ItemEvent(data) VALUES('kept')");
    EXPECT_TRUE(database.CreateTable("itemevent", kTable));  // an existing table is kept with its rows
    EXPECT_EQ(database.execScalar("SELECT count(*) FROM ItemEvent"), 1);
    EXPECT_TRUE(logs.Lines().empty());
    EXPECT_FALSE(database.CreateTable("Broken", "CREATE TABLE Broken("));
    EXPECT_TRUE(logs.Contains(path, "host.log"));
}

using ZEL::utility::DB_PATH_USER_SHARED;

class EventDataLoggingTest : public ManagerTest {
protected:
    void SetUp() override {
        ZEL::linuxhost::InstallHostFolders(
            {temp.sub("service"), temp.sub("shared"), temp.sub("local"), temp.sub("log"), temp.sub("state")});
        ZEL::DatabaseManager::SetInstance(&manager);
    }
    void TearDown() override { ZEL::DatabaseManager::SetInstance(nullptr), ZEL::linuxhost::InstallHostFolders({}); }
    // First id, last id and newest logtime of one of ds1's tables.
    std::string Bounds(const std::wstring& table = L"ItemEvent",
                       ZEL::utility::EGetDBPathMethod where = ZEL::utility::DB_PATH_DEFAULT) {
        return std::to_string(store.GetFirstID(L"ds1", table, where)) + " " +
               std::to_string(store.GetLastID(L"ds1", table, where)) + " '" +
               store.GetLastLogtime(L"ds1", table, where) + "'";
    }
    ZEL::linuxhost::SqliteEventDataLogging store;
    const std::string service = temp.path() + "service/";
};

// Dates the database and its -wal (when there is one) a minute back.
void LeftAloneForAMinute(const std::string& database) {
    const timespec aMinuteAgo[2] = {{::time(nullptr) - 60, 0}, {::time(nullptr) - 60, 0}};
    for (const std::string& file : {database, database + "-wal"}) {
        if (fs::exists(file)) {
            ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), aMinuteAgo, 0), 0) << file;
        }
    }
}

TEST_F(EventDataLoggingTest, BoundsFollowInsertsAndDeletesAndAreMinusOneWithoutATable) {
    EXPECT_EQ(Bounds(), "-1 -1 ''");
    EXPECT_TRUE(fs::is_empty(service)) << "a reader creates no file";
    testsupport::TelemetryWriter other(service + "ds1_ItemEvent.sqlite3", "SomethingElse");
    EXPECT_EQ(Bounds(), "-1 -1 ''");
    EXPECT_TRUE(logs.Contains("no such table", "host.log"));
    // A writer in WAL mode keeps the WAL open: the cached reader must still see each commit.
    testsupport::TelemetryWriter writer(temp.path() + "shared/ds1_ItemEvent.sqlite3", "ItemEvent", /*wal=*/true);
    EXPECT_EQ(Bounds(L"ItemEvent", DB_PATH_USER_SHARED), "0 0 ''");
    for (int i = 0; i < 5; ++i) writer.Insert("{}", "2026-12-06T10:00:0" + std::to_string(i));
    writer.Exec("DELETE FROM ItemEvent WHERE id <= 2");
    EXPECT_EQ(Bounds(L"ItemEvent", DB_PATH_USER_SHARED), "3 5 '2026-12-06T10:00:04'");
    writer.Insert("{}", "2026-12-07T00:00:00", 40);
    writer.Exec("UPDATE ItemEvent SET logtime = NULL WHERE id = 40");
    EXPECT_EQ(Bounds(L"ItemEvent", DB_PATH_USER_SHARED), "3 40 ''");
    // A file left alone for a while may be answered from its last read, until the next commit.
    LeftAloneForAMinute(temp.path() + "shared/ds1_ItemEvent.sqlite3");
    EXPECT_EQ(Bounds(L"ItemEvent", DB_PATH_USER_SHARED), "3 40 ''");
    EXPECT_EQ(Bounds(L"ItemEvent", DB_PATH_USER_SHARED), "3 40 ''");
    writer.Insert("{}", "t", 41);
    EXPECT_EQ(Bounds(L"ItemEvent", DB_PATH_USER_SHARED), "3 41 't'");
}

// The table name goes into the statement, so only plain identifiers pass; a keyword is one, quoted.
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

std::string ContextRow(const std::wstring& id) {  // the codec's text of a device context
    ZEL::DeviceContext context;
    context.set_device_id(id);
    context.mutable_device_info().set_os_name(L"Linux \u00e9");
    std::wstring json;
    ZEL::JsonSerialize::Serialize(context, json);
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
    // The same row rewritten in place, in a file left alone for a while before (its last read
    // may then be served again), is not served from the previous decode.
    LeftAloneForAMinute(service + "DeviceContext.sqlite3");
    ASSERT_EQ(store.GetLastDeviceContext(&context, 1), 0);
    ASSERT_EQ(store.GetLastDeviceContext(&context, 1), 0);
    EXPECT_EQ(context.device_id(), L"new");
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
