// The SQLite wrapper: failures become exceptions that say what went wrong, values travel as bound
// data, NULLs and cursors behave, and each statement reports its own change count.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <thread>

#include "datasync/host/SQLiteWrapper.h"
#include "support/TempDir.h"

namespace {

using testing::HasSubstr;
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
    try {
        body();
    } catch (const CppSQLite3Exception& error) {
        return error;
    }
    ADD_FAILURE() << "no CppSQLite3Exception thrown";
    return CppSQLite3Exception(0, "");
}

TEST_F(WrapperTest, FailuresThrowWithCodeErrorTextAndSqlAndStatementsStayUsable) {
    CppSQLite3DB other;
    const std::string missing = temp.path() + "no-such-folder/x.sqlite3";
    CppSQLite3Exception error = Thrown([&] { other.open(missing, kCreate); });
    EXPECT_EQ(error.errorCode(), SQLITE_CANTOPEN);
    EXPECT_THAT(error.errorMessage(), HasSubstr(missing));
    EXPECT_THROW(other.open(temp.path() + "missing.sqlite3", SQLITE_OPEN_READWRITE), CppSQLite3Exception);
    EXPECT_FALSE(std::filesystem::exists(temp.path() + "missing.sqlite3"));
    error = Thrown([&] { db.execDML("CREATE TABL broken(x)"); });
    EXPECT_EQ(error.errorCode(), SQLITE_ERROR);
    EXPECT_THAT(error.errorMessage(), HasSubstr("syntax error"));
    EXPECT_THAT(error.errorMessage(), HasSubstr("CREATE TABL broken(x)"));
    db.execDML("CREATE TABLE strict(v TEXT NOT NULL)");
    CppSQLite3Statement insert = db.compileStatement("INSERT INTO strict(v) VALUES(?)");
    insert.bindNull(1);
    EXPECT_THAT(Thrown([&] { insert.execDML(); }).errorMessage(), HasSubstr("NOT NULL constraint failed: strict.v"));
    insert.bind(1, "fine");
    EXPECT_EQ(insert.execDML(), 1);
    EXPECT_EQ(Thrown([&] { insert.bind(2, "x"); }).errorCode(), SQLITE_RANGE);
}

TEST_F(WrapperTest, ClosedOrEmptyObjectsThrowInsteadOfCrashingAndStatementsKeepTheConnectionOpen) {
    CppSQLite3DB closed;
    EXPECT_THAT(Thrown([&] { closed.execDML("SELECT 1"); }).errorMessage(), HasSubstr("not open"));
    EXPECT_THROW(closed.lastRowId(), CppSQLite3Exception);
    EXPECT_THROW(CppSQLite3Statement().execDML(), CppSQLite3Exception);
    CppSQLite3Query empty;
    EXPECT_TRUE(empty.eof());
    EXPECT_THROW(empty.fieldValue(0), CppSQLite3Exception);
    EXPECT_THROW(db.execQuery("   -- only a comment"), CppSQLite3Exception);
    // Statements and queries keep the connection open after its object closed.
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

// SQL injection: values and table names travel as data, never as statement text.
TEST_F(WrapperTest, BoundValuesAndTableNamesStayData) {
    const std::string hostile = "O'Brien\"; DROP TABLE t; -- ? ?1 :x \xC3\xA9\xF0\x9F\x98\x80";
    CppSQLite3Statement insert = db.compileStatement("INSERT INTO t(name, n) VALUES(?, ?)");
    insert.bind(1, hostile);
    insert.bind(2, 7);
    EXPECT_EQ(insert.execDML(), 1);
    insert.reset();
    insert.bind(1, std::string("with\0nul", 8));
    insert.bind(2, 8LL);
    EXPECT_EQ(insert.execDML(), 1);
    EXPECT_EQ(db.lastRowId(), 2);
    EXPECT_STREQ(db.execQuery("SELECT name FROM t WHERE n = 7").fieldValue(0), hostile.c_str());
    EXPECT_EQ(db.execScalar("SELECT count(*) FROM t WHERE name = 'with' || char(0) || 'nul'"), 1);
    EXPECT_TRUE(db.tableExists("T"));
    EXPECT_FALSE(db.tableExists("t' OR '1'='1"));
}

TEST_F(WrapperTest, NullsAreReportedAsNullAndCursorsStopAtTheEnd) {
    db.execDML("INSERT INTO t(id, name, n) VALUES(1, NULL, NULL), (2, '', 9000000000)");
    CppSQLite3Query query = db.execQuery("SELECT name, n FROM t ORDER BY id");
    EXPECT_THROW(query.fieldValue(2), CppSQLite3Exception);
    ASSERT_FALSE(query.eof());
    EXPECT_EQ(query.fieldValue(0), nullptr);
    EXPECT_TRUE(query.fieldIsNull(1));
    EXPECT_EQ(query.getInt64Field(1, -5), -5);
    query.nextRow();
    ASSERT_NE(query.fieldValue(0), nullptr);
    EXPECT_STREQ(query.fieldValue(0), "");
    EXPECT_EQ(query.getInt64Field(1, -5), 9000000000LL);
    query.nextRow();
    query.nextRow();  // past the end stays at the end rather than restarting
    EXPECT_TRUE(query.eof());
    EXPECT_THAT(Thrown([&] { query.fieldValue(0); }).errorMessage(), HasSubstr("no current row"));
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

// A lock held past the busy timeout fails as busy. A compiled statement that ended goes back to
// its connection for the next compile of the same text: it must come back with no binding left
// and no read lock held, even when its query stopped halfway.
TEST_F(WrapperTest, LocksFailAsBusyAndAReusedStatementStartsUnboundAndItsEndedQueryHoldsNoLock) {
    std::promise<void> locked, release;
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
    writer.setBusyTimeout(0);
    EXPECT_NO_THROW(writer.execDML("BEGIN EXCLUSIVE; COMMIT"));
}

// Threads share one serialized connection; each must see the row count of its own statement
// ((owner + 1) * 3 rows), plain text and a bound statement in turn, never that of a statement
// another thread completed in between.
TEST(WrapperThreads, ConcurrentExecDmlReportsOwnChangeCounts) {
    CppSQLite3DB shared;
    shared.open(":memory:", kCreate);
    shared.execDML("CREATE TABLE t(owner INTEGER, v INTEGER)");
    for (int owner = 0; owner < 4; ++owner)
        for (int row = 0; row < (owner + 1) * 3; ++row) shared.execDML("INSERT INTO t VALUES(" + std::to_string(owner) + ", 0)");
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int owner = 0; owner < 4; ++owner) {
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

}  // namespace
