// ZEL::Database: table creation that tolerates an existing table, and ExecSql that reports
// failures as false plus a host.log line naming the file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "datasync/host/DataStore.h"
#include "datasync/host/StringUtil.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

constexpr const char* kItemEventTable =
    "Create table ItemEvent(id integer primary key autoincrement, log_index LONGVARCHAR, data TEXT NOT "
    "NULL,logtime date)";

class DatabaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = temp.path() + "db.sqlite3";
        database = std::make_shared<ZEL::Database>(ZEL::String::UTF8ToUTF16(path));
        database->open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    }

    testsupport::LogCapture logs;
    testsupport::TempDir temp;
    std::string path;
    ZEL::DatabasePtr database;
};

TEST_F(DatabaseTest, CreateTableCreatesOnceAndKeepsRows) {
    EXPECT_EQ(database->path(), ZEL::String::UTF8ToUTF16(path));
    ASSERT_TRUE(database->CreateTable("ItemEvent", kItemEventTable));
    database->execDML("INSERT INTO ItemEvent(data) VALUES('{}')");
    EXPECT_TRUE(database->CreateTable("ItemEvent", kItemEventTable));
    EXPECT_TRUE(database->CreateTable("itemevent", kItemEventTable));
    EXPECT_EQ(database->execScalar("SELECT count(*) FROM ItemEvent"), 1);
    EXPECT_TRUE(logs.Lines().empty());
}

TEST_F(DatabaseTest, CreateTableFailureIsFalseAndLogged) {
    EXPECT_FALSE(database->CreateTable("Broken", "CREATE TABLE Broken("));
    EXPECT_TRUE(logs.Contains("Broken", "host.log"));
    EXPECT_TRUE(logs.Contains(path, "host.log"));
    EXPECT_TRUE(logs.Contains("incomplete input", "host.log"));

    ZEL::Database closed(L"/nowhere.sqlite3");
    EXPECT_FALSE(closed.CreateTable("T", "CREATE TABLE T(x)"));
    EXPECT_FALSE(closed.ExecSql(L"SELECT 1"));
}

TEST_F(DatabaseTest, CreateTableOnReadOnlyConnectionFails) {
    ZEL::Database reader(ZEL::String::UTF8ToUTF16(path));
    reader.open(path, SQLITE_OPEN_READONLY);
    EXPECT_FALSE(reader.CreateTable("ItemEvent", kItemEventTable));
    EXPECT_TRUE(logs.Contains("readonly"));
}

TEST_F(DatabaseTest, ExecSqlRunsWideSqlAsUtf8) {
    ASSERT_TRUE(database->CreateTable("ItemEvent", kItemEventTable));
    EXPECT_TRUE(
        database->ExecSql(L"INSERT INTO ItemEvent(data, logtime) VALUES('caf\u00e9 \U0001F600', 'x')"));
    CppSQLite3Query query = database->execQuery("SELECT data, length(data) FROM ItemEvent");
    ASSERT_FALSE(query.eof());
    EXPECT_STREQ(query.fieldValue(0), "caf\xC3\xA9 \xF0\x9F\x98\x80");
    EXPECT_EQ(query.getIntField(1), 6);
}

TEST_F(DatabaseTest, ExecSqlFailureIsFalseAndLoggedWithPath) {
    EXPECT_FALSE(database->ExecSql(L"DELETE FROM Missing WHERE 1"));
    EXPECT_TRUE(logs.Contains(path, "host.log"));
    EXPECT_TRUE(logs.Contains("no such table: Missing", "host.log"));
}

}  // namespace
