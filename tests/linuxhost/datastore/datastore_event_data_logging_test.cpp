// The data-store service: file naming, row-id bounds and the newest logtime of telemetry
// tables, the newest device context, and the database cache behind it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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
using ZEL::utility::DB_PATH_DEFAULT;
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
                       ZEL::utility::EGetDBPathMethod where = DB_PATH_DEFAULT) {
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

// SQL injection: the table name goes into the statement, so only plain identifiers pass.
TEST_F(EventDataLoggingTest, TableNamesMustBePlainIdentifiers) {
    testsupport::TelemetryWriter writer(service + "ds1_ItemEvent.sqlite3", "ItemEvent");
    writer.Insert("{}");
    for (const wchar_t* table : {L"ItemEvent; DROP TABLE ItemEvent", L"1Item", L"", L"Item-Event",
                                 L"Item\u00e9", L"ItemEvent\"", L"ItemEvent --"}) {
        EXPECT_EQ(Bounds(table), "-1 -1 ''") << ZEL::String::UTF16ToUTF8(table);
    }
    EXPECT_EQ(writer.Scalar("SELECT count(*) FROM ItemEvent"), 1);
    // A keyword is a plain identifier, quoted in the statement.
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

    writer.Insert(ContextRow(L"old"), "t", 5);
    writer.Insert(ContextRow(L"new"), "t", 9);
    writer.Insert(ContextRow(L"middle"), "t", 7);
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
