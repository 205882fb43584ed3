// The SQLite wrapper: failures become exceptions that say what went wrong, values travel as
// bound data, NULLs are reported as such, cursors behave, locks held elsewhere delay a read
// within the busy timeout, and threads sharing a connection get their own change counts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "datasync/host/SQLiteWrapper.h"
#include "support/TempDir.h"

namespace {

using testing::HasSubstr;

constexpr int kCreate = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;

class WrapperTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = temp.path() + "wrapper.sqlite3";
        db.open(path, kCreate);
        db.execDML("CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, n INTEGER)");
    }

    std::string ScalarText(const std::string& sql) {
        CppSQLite3Query query = db.execQuery(sql);
        if (query.eof() || query.fieldValue(0) == nullptr) return "<none>";
        return query.fieldValue(0);
    }

    testsupport::TempDir temp;
    std::string path;
    CppSQLite3DB db;
};

// Runs `body` and returns the exception it throws (fails the test when it throws none).
template <typename Body>
CppSQLite3Exception Thrown(Body body) {
    try {
        body();
    } catch (const CppSQLite3Exception& error) {
        return error;
    }
    ADD_FAILURE() << "no CppSQLite3Exception thrown";
    return CppSQLite3Exception(0, "");
}

TEST_F(WrapperTest, OpenFailureNamesPathAndSqliteError) {
    CppSQLite3DB other;
    const std::string missing = temp.path() + "no-such-folder/x.sqlite3";
    const CppSQLite3Exception error = Thrown([&] { other.open(missing, kCreate); });
    EXPECT_EQ(error.errorCode(), SQLITE_CANTOPEN);
    EXPECT_THAT(error.errorMessage(), HasSubstr(missing));
    EXPECT_THAT(error.errorMessage(), HasSubstr("unable to open database file"));
    EXPECT_FALSE(other.isOpen());
}

TEST_F(WrapperTest, OpenWithoutCreateRefusesMissingFile) {
    CppSQLite3DB other;
    EXPECT_THROW(other.open(temp.path() + "missing.sqlite3", SQLITE_OPEN_READWRITE), CppSQLite3Exception);
    EXPECT_FALSE(std::filesystem::exists(temp.path() + "missing.sqlite3"));
}

TEST_F(WrapperTest, SyntaxErrorNamesErrorAndSql) {
    const CppSQLite3Exception error = Thrown([&] { db.execDML("CREATE TABL broken(x)"); });
    EXPECT_EQ(error.errorCode(), SQLITE_ERROR);
    EXPECT_THAT(error.errorMessage(), HasSubstr("syntax error"));
    EXPECT_THAT(error.errorMessage(), HasSubstr("CREATE TABL broken(x)"));
    EXPECT_STREQ(error.what(), error.errorMessage());
}

TEST_F(WrapperTest, MissingTableNamesTable) {
    const CppSQLite3Exception error = Thrown([&] { db.execQuery("SELECT * FROM nope"); });
    EXPECT_THAT(error.errorMessage(), HasSubstr("no such table: nope"));
    EXPECT_THROW(db.compileStatement("DELETE FROM nope"), CppSQLite3Exception);
    EXPECT_THROW(db.execScalar("SELECT max(id) FROM nope"), CppSQLite3Exception);
}

TEST_F(WrapperTest, ConstraintFailureThrowsAndStatementStaysUsable) {
    db.execDML("CREATE TABLE strict(v TEXT NOT NULL)");
    CppSQLite3Statement insert = db.compileStatement("INSERT INTO strict(v) VALUES(?)");
    insert.bindNull(1);
    const CppSQLite3Exception error = Thrown([&] { insert.execDML(); });
    EXPECT_EQ(error.errorCode(), SQLITE_CONSTRAINT);
    EXPECT_THAT(error.errorMessage(), HasSubstr("NOT NULL constraint failed: strict.v"));
    EXPECT_THAT(error.errorMessage(), HasSubstr("INSERT INTO strict"));

    insert.bind(1, "fine");
    EXPECT_EQ(insert.execDML(), 1);
    EXPECT_EQ(db.execScalar("SELECT count(*) FROM strict"), 1);
}

TEST_F(WrapperTest, ClosedOrEmptyObjectsThrowInsteadOfCrashing) {
    CppSQLite3DB closed;
    EXPECT_THAT(Thrown([&] { closed.execDML("SELECT 1"); }).errorMessage(), HasSubstr("not open"));
    EXPECT_THROW(closed.setBusyTimeout(10), CppSQLite3Exception);
    EXPECT_THROW(closed.lastRowId(), CppSQLite3Exception);
    CppSQLite3Statement statement;
    EXPECT_THROW(statement.bind(1, 5), CppSQLite3Exception);
    EXPECT_THROW(statement.execDML(), CppSQLite3Exception);
    CppSQLite3Query query;
    EXPECT_TRUE(query.eof());
    EXPECT_THROW(query.fieldValue(0), CppSQLite3Exception);
    EXPECT_THROW(db.execQuery("   -- only a comment"), CppSQLite3Exception);
}

TEST_F(WrapperTest, BoundValuesStayData) {
    const std::string hostile = "O'Brien\"; DROP TABLE t; -- ? ?1 :x \xC3\xA9\xF0\x9F\x98\x80";
    CppSQLite3Statement insert = db.compileStatement("INSERT INTO t(name, n) VALUES(?, ?)");
    insert.bind(1, hostile);
    insert.bind(2, 7);
    EXPECT_EQ(insert.execDML(), 1);
    insert.reset();
    insert.bind(1, std::string("with\0nul", 8));
    insert.bind(2, 8LL);
    EXPECT_EQ(insert.execDML(), 1);

    EXPECT_TRUE(db.tableExists("t"));
    CppSQLite3Statement select = db.compileStatement("SELECT name, length(name) FROM t WHERE n = ?");
    select.bind(1, 7);
    CppSQLite3Query query = select.execQuery();
    ASSERT_FALSE(query.eof());
    EXPECT_EQ(std::string(query.fieldValue(0)), hostile);
    EXPECT_EQ(db.execScalar("SELECT count(*) FROM t WHERE name = 'with' || char(0) || 'nul'"), 1);
}

TEST_F(WrapperTest, NullsAreReportedAsNull) {
    CppSQLite3Statement insert = db.compileStatement("INSERT INTO t(id, name, n) VALUES(?, ?, ?)");
    insert.bind(1, 1);
    insert.bind(2, static_cast<const char*>(nullptr));
    insert.bindNull(3);
    insert.execDML();
    insert.bind(1, 2);
    insert.bind(2, "");
    insert.bind(3, 9000000000LL);
    insert.execDML();

    CppSQLite3Query query = db.execQuery("SELECT name, n FROM t ORDER BY id");
    ASSERT_FALSE(query.eof());
    EXPECT_EQ(query.fieldValue(0), nullptr);
    EXPECT_TRUE(query.fieldIsNull(1));
    EXPECT_EQ(query.getIntField(1, 42), 42);
    EXPECT_EQ(query.getInt64Field(1, -5), -5);
    query.nextRow();
    ASSERT_FALSE(query.eof());
    ASSERT_NE(query.fieldValue(0), nullptr);
    EXPECT_STREQ(query.fieldValue(0), "");
    EXPECT_FALSE(query.fieldIsNull(0));
    EXPECT_EQ(query.getInt64Field(1, -5), 9000000000LL);
    EXPECT_EQ(db.execScalar("SELECT NULL", 77), 77);
    EXPECT_EQ(db.execScalar("SELECT n FROM t WHERE id = 99", 13), 13);
}

TEST_F(WrapperTest, CursorWalksRowsAndStopsAtEnd) {
    db.execDML("INSERT INTO t(name, n) VALUES('a', 1), ('b', 2), ('c', 3)");
    EXPECT_TRUE(db.execQuery("SELECT name FROM t WHERE n > 10").eof());

    CppSQLite3Query query = db.execQuery("SELECT name, n FROM t ORDER BY n");
    EXPECT_EQ(query.numFields(), 2);
    std::string names;
    for (; !query.eof(); query.nextRow()) names += query.fieldValue(0);
    EXPECT_EQ(names, "abc");
    query.nextRow();  // past the end stays at the end rather than restarting
    EXPECT_TRUE(query.eof());
    EXPECT_THAT(Thrown([&] { query.fieldValue(0); }).errorMessage(), HasSubstr("no current row"));
    query.finalize();
    EXPECT_THROW(query.nextRow(), CppSQLite3Exception);
}

TEST_F(WrapperTest, BadColumnOrParameterIndexThrows) {
    db.execDML("INSERT INTO t(name, n) VALUES('a', 1)");
    CppSQLite3Query query = db.execQuery("SELECT name, n FROM t");
    EXPECT_EQ(Thrown([&] { query.fieldValue(2); }).errorCode(), SQLITE_RANGE);
    EXPECT_THROW(query.fieldValue(-1), CppSQLite3Exception);
    EXPECT_THROW(query.getIntField(5), CppSQLite3Exception);
    EXPECT_THROW(query.getInt64Field(5), CppSQLite3Exception);

    CppSQLite3Statement statement = db.compileStatement("SELECT ? + 1");
    const CppSQLite3Exception error = Thrown([&] { statement.bind(2, "x"); });
    EXPECT_EQ(error.errorCode(), SQLITE_RANGE);
    EXPECT_THAT(error.errorMessage(), HasSubstr("parameter 2"));
}

TEST_F(WrapperTest, ChangeCountsBelongToTheStatement) {
    EXPECT_EQ(db.execDML("INSERT INTO t(name, n) VALUES('a', 1), ('b', 1), ('c', 2)"), 3);
    EXPECT_EQ(db.execDML("UPDATE t SET name = 'x' WHERE n = 1"), 2);
    // Statements that change no rows must not repeat the previous statement's count.
    EXPECT_EQ(db.execDML("CREATE TABLE other(x)"), 0);
    EXPECT_EQ(db.execDML("UPDATE t SET name = 'y' WHERE n = 99"), 0);
    EXPECT_EQ(db.execDML("PRAGMA user_version = 3"), 0);
    EXPECT_EQ(db.execDML("DELETE FROM t WHERE n = 1; DELETE FROM t WHERE n = 2"), 3);
    EXPECT_EQ(db.execDML(""), 0);
    EXPECT_EQ(db.execScalar("PRAGMA user_version"), 3);
}

TEST_F(WrapperTest, ScalarsTablesAndRowIds) {
    db.execDML("INSERT INTO t(id, name) VALUES(41, 'a')");
    EXPECT_EQ(db.lastRowId(), 41);
    EXPECT_EQ(db.execScalar("SELECT max(id) FROM t"), 41);
    EXPECT_TRUE(db.tableExists("t"));
    EXPECT_TRUE(db.tableExists("T"));
    EXPECT_FALSE(db.tableExists("missing"));
    EXPECT_FALSE(db.tableExists("t' OR '1'='1"));
    EXPECT_EQ(ScalarText("SELECT name FROM t"), "a");
}

TEST_F(WrapperTest, StatementIsReusableAndHandsItsStatementToAQuery) {
    CppSQLite3Statement insert = db.compileStatement("INSERT INTO t(name) VALUES(?)");
    for (const char* name : {"a", "b", "c"}) {
        insert.bind(1, name);
        EXPECT_EQ(insert.execDML(), 1);
    }
    CppSQLite3Statement select = db.compileStatement("SELECT count(*) FROM t WHERE name <> ?");
    select.bind(1, "b");
    CppSQLite3Query query = select.execQuery();
    ASSERT_FALSE(query.eof());
    EXPECT_EQ(query.getIntField(0), 2);
    EXPECT_THROW(select.bind(1, "a"), CppSQLite3Exception);
}

TEST_F(WrapperTest, StatementsKeepTheConnectionOpen) {
    CppSQLite3Statement insert = db.compileStatement("INSERT INTO t(name) VALUES('late')");
    CppSQLite3Query query = db.execQuery("SELECT 5");
    db.close();
    EXPECT_FALSE(db.isOpen());
    EXPECT_EQ(insert.execDML(), 1);
    EXPECT_EQ(query.getIntField(0), 5);
    insert.finalize();
    query.finalize();

    db.open(path, SQLITE_OPEN_READWRITE);
    EXPECT_EQ(db.execScalar("SELECT count(*) FROM t WHERE name = 'late'"), 1);
}

TEST_F(WrapperTest, ReadOnlyConnectionRefusesWrites) {
    CppSQLite3DB reader;
    reader.open(path, SQLITE_OPEN_READONLY);
    const CppSQLite3Exception error = Thrown([&] { reader.execDML("INSERT INTO t(name) VALUES('x')"); });
    EXPECT_EQ(error.errorCode(), SQLITE_READONLY);
    EXPECT_THAT(error.errorMessage(), HasSubstr("readonly"));
}

// Another connection holds the write lock for ~200 ms: a read waits for it instead of failing.
TEST_F(WrapperTest, LockHeldElsewhereDelaysReadWithinBusyTimeout) {
    db.execDML("INSERT INTO t(name) VALUES('before')");
    std::promise<void> locked;
    std::thread holder([&] {
        CppSQLite3DB writer;
        writer.open(path, SQLITE_OPEN_READWRITE);
        writer.execDML("BEGIN EXCLUSIVE");
        writer.execDML("INSERT INTO t(name) VALUES('during')");
        locked.set_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        writer.execDML("COMMIT");
    });
    locked.get_future().wait();
    db.setBusyTimeout(5000);
    const auto start = std::chrono::steady_clock::now();
    const long long rows = db.execScalar("SELECT count(*) FROM t");
    const auto waited = std::chrono::steady_clock::now() - start;
    holder.join();
    EXPECT_EQ(rows, 2);
    EXPECT_GE(waited, std::chrono::milliseconds(100));
}

TEST_F(WrapperTest, LockHeldBeyondBusyTimeoutThrowsBusy) {
    std::promise<void> locked;
    std::promise<void> release;
    std::thread holder([&] {
        CppSQLite3DB writer;
        writer.open(path, SQLITE_OPEN_READWRITE);
        writer.execDML("BEGIN EXCLUSIVE");
        locked.set_value();
        release.get_future().wait();
        writer.execDML("COMMIT");
    });
    locked.get_future().wait();
    db.setBusyTimeout(30);
    const CppSQLite3Exception error = Thrown([&] { db.execQuery("SELECT count(*) FROM t"); });
    release.set_value();
    holder.join();
    EXPECT_EQ(error.errorCode(), SQLITE_BUSY);
    EXPECT_THAT(error.errorMessage(), HasSubstr("database is locked"));
}

// Threads share one serialized connection; each must see the row count of its own statement,
// never that of a statement another thread completed in between.
TEST(WrapperThreads, ConcurrentExecDmlReportsOwnChangeCounts) {
    CppSQLite3DB shared;
    shared.open(":memory:", kCreate);
    shared.execDML("CREATE TABLE t(owner INTEGER, v INTEGER)");
    constexpr int kThreads = 4;
    constexpr int kIterations = 300;
    CppSQLite3Statement insert = shared.compileStatement("INSERT INTO t(owner, v) VALUES(?, 0)");
    for (int owner = 0; owner < kThreads; ++owner) {
        for (int row = 0; row < (owner + 1) * 3; ++row) {
            insert.bind(1, owner);
            insert.execDML();
        }
    }
    insert.finalize();

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int owner = 0; owner < kThreads; ++owner) {
        threads.emplace_back([&, owner] {
            const int expected = (owner + 1) * 3;
            CppSQLite3Statement update = shared.compileStatement("UPDATE t SET v = v + 1 WHERE owner = ?");
            for (int i = 0; i < kIterations; ++i) {
                int changed;
                if (i % 2 == 0) {
                    changed = shared.execDML("UPDATE t SET v = v + 1 WHERE owner = " + std::to_string(owner));
                } else {
                    update.bind(1, owner);
                    changed = update.execDML();
                }
                if (changed != expected) ++wrong;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(shared.execScalar("SELECT count(*) FROM t WHERE v <> " + std::to_string(kIterations)), 0);
}

}  // namespace
