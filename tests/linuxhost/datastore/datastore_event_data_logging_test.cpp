// The data-store service: file naming, row-id bounds and the newest logtime of telemetry
// tables, the newest device context, and delegation to the database cache.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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
using ZEL::utility::DB_PATH_INTERNAL;
using ZEL::utility::DB_PATH_USER_SHARED;

class EventDataLoggingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ZEL::linuxhost::HostFolders folders;
        folders.service_db_dir = temp.sub("service");
        folders.shared_db_dir = temp.sub("shared");
        folders.local_db_dir = temp.sub("local");
        folders.log_dir = temp.sub("log");
        folders.state_dir = temp.sub("state");
        ZEL::linuxhost::InstallHostFolders(folders);
        ZEL::DatabaseManager::SetInstance(&manager);
        service = temp.path() + "service/";
        shared = temp.path() + "shared/";
    }
    void TearDown() override {
        ZEL::DatabaseManager::SetInstance(nullptr);
        ZEL::linuxhost::InstallHostFolders(ZEL::linuxhost::HostFolders());
    }

    testsupport::LogCapture logs;
    testsupport::TempDir temp;
    ZEL::linuxhost::SqliteDatabaseManager manager;
    ZEL::linuxhost::SqliteEventDataLogging store;
    std::string service;
    std::string shared;
};

TEST_F(EventDataLoggingTest, FileNamesAndDatasetIds) {
    EXPECT_EQ(store.ToDbFile(L"ds1", L"ItemEvent"), L"ds1_ItemEvent.sqlite3");
    EXPECT_EQ(store.ToDbFile(L"", L"DeviceContext"), L"DeviceContext.sqlite3");
    EXPECT_EQ(store.GetDatasetId(L"ds1_ItemEvent.sqlite3"), L"ds1");
    EXPECT_EQ(store.GetDatasetId(L"a_b_DatasetContext.sqlite3"), L"a_b");
    EXPECT_EQ(store.GetDatasetId(L"/var/x_y/ds2_ItemEvent.sqlite3"), L"ds2");
    EXPECT_EQ(store.GetDatasetId(L"C:\\data\\x_y\\ds3_ItemEvent.sqlite3"), L"ds3");
    EXPECT_EQ(store.GetDatasetId(L"/var/x_y/DeviceContext.sqlite3"), L"");
    EXPECT_EQ(store.GetDatasetId(L"DeviceContext.sqlite3"), L"");
    EXPECT_EQ(store.GetDatasetId(L"_ItemEvent.sqlite3"), L"");
    EXPECT_EQ(store.GetDatasetId(L""), L"");
}

TEST_F(EventDataLoggingTest, MissingFileGivesMinusOneAndCreatesNothing) {
    EXPECT_EQ(store.GetFirstID(L"ds1", L"ItemEvent", DB_PATH_DEFAULT), -1);
    EXPECT_EQ(store.GetLastID(L"ds1", L"ItemEvent", DB_PATH_INTERNAL), -1);
    EXPECT_EQ(store.GetLastLogtime(L"ds1", L"ItemEvent", DB_PATH_DEFAULT), "");
    EXPECT_FALSE(fs::exists(service + "ds1_ItemEvent.sqlite3"));
    EXPECT_TRUE(fs::is_empty(service));
}

TEST_F(EventDataLoggingTest, EmptyTableGivesZero) {
    testsupport::TelemetryWriter writer(service + "ds1_ItemEvent.sqlite3", "ItemEvent");
    EXPECT_EQ(store.GetFirstID(L"ds1", L"ItemEvent", DB_PATH_DEFAULT), 0);
    EXPECT_EQ(store.GetLastID(L"ds1", L"ItemEvent", DB_PATH_DEFAULT), 0);
    EXPECT_EQ(store.GetLastLogtime(L"ds1", L"ItemEvent", DB_PATH_DEFAULT), "");
}

TEST_F(EventDataLoggingTest, BoundsFollowInsertsAndDeletes) {
    testsupport::TelemetryWriter writer(shared + "ds1_ItemEvent.sqlite3", "ItemEvent");
    for (int i = 0; i < 5; ++i) writer.Insert("{}", "2026-12-06T10:00:0" + std::to_string(i));
    writer.Exec("DELETE FROM ItemEvent WHERE id <= 2");
    EXPECT_EQ(store.GetFirstID(L"ds1", L"ItemEvent", DB_PATH_USER_SHARED), 3);
    EXPECT_EQ(store.GetLastID(L"ds1", L"ItemEvent", DB_PATH_USER_SHARED), 5);
    EXPECT_EQ(store.GetLastLogtime(L"ds1", L"ItemEvent", DB_PATH_USER_SHARED), "2026-12-06T10:00:04");
    // The same dataset under the service root is another file, which does not exist.
    EXPECT_EQ(store.GetLastID(L"ds1", L"ItemEvent", DB_PATH_DEFAULT), -1);

    writer.Insert("{}", "2026-12-07T00:00:00", 40);
    EXPECT_EQ(store.GetLastID(L"ds1", L"ItemEvent", DB_PATH_USER_SHARED), 40);
    EXPECT_EQ(store.GetLastLogtime(L"ds1", L"ItemEvent", DB_PATH_USER_SHARED), "2026-12-07T00:00:00");
    writer.Exec("UPDATE ItemEvent SET logtime = NULL WHERE id = 40");
    EXPECT_EQ(store.GetLastLogtime(L"ds1", L"ItemEvent", DB_PATH_USER_SHARED), "");
}

TEST_F(EventDataLoggingTest, DatasetlessFileAndOtherKinds) {
    testsupport::TelemetryWriter writer(service + "DatasetContext.sqlite3", "DatasetContext");
    writer.Insert("{}", "t", 7);
    EXPECT_EQ(store.GetFirstID(L"", L"DatasetContext", DB_PATH_DEFAULT), 7);
    EXPECT_EQ(store.GetLastID(L"", L"DatasetContext", DB_PATH_INTERNAL), 7);
}

TEST_F(EventDataLoggingTest, MissingTableGivesMinusOne) {
    testsupport::TelemetryWriter writer(service + "ds1_ItemEvent.sqlite3", "SomethingElse");
    EXPECT_EQ(store.GetFirstID(L"ds1", L"ItemEvent", DB_PATH_DEFAULT), -1);
    EXPECT_EQ(store.GetLastID(L"ds1", L"ItemEvent", DB_PATH_DEFAULT), -1);
    EXPECT_EQ(store.GetLastLogtime(L"ds1", L"ItemEvent", DB_PATH_DEFAULT), "");
    EXPECT_TRUE(logs.Contains("no such table", "host.log"));
}

TEST_F(EventDataLoggingTest, TableNamesMustBePlainIdentifiers) {
    testsupport::TelemetryWriter writer(service + "ds1_ItemEvent.sqlite3", "ItemEvent");
    writer.Insert("{}");
    for (const wchar_t* table : {L"ItemEvent; DROP TABLE ItemEvent", L"1Item", L"", L"Item-Event",
                                 L"Item\u00e9", L"ItemEvent\"", L"ItemEvent --"}) {
        EXPECT_EQ(store.GetFirstID(L"ds1", table, DB_PATH_DEFAULT), -1);
        EXPECT_EQ(store.GetLastID(L"ds1", table, DB_PATH_DEFAULT), -1);
        EXPECT_EQ(store.GetLastLogtime(L"ds1", table, DB_PATH_DEFAULT), "");
    }
    EXPECT_EQ(writer.Scalar("SELECT count(*) FROM ItemEvent"), 1);
    EXPECT_TRUE(ZEL::linuxhost::SqliteEventDataLogging::IsPlainIdentifier(L"_Item_Event2"));
    EXPECT_FALSE(ZEL::linuxhost::SqliteEventDataLogging::IsPlainIdentifier(L"2x"));
}

TEST_F(EventDataLoggingTest, KeywordTableNameIsQuoted) {
    testsupport::TelemetryWriter writer(service + "ds1_Order.sqlite3", "\"Order\"");
    writer.Insert("{}", "t", 3);
    EXPECT_EQ(store.GetLastID(L"ds1", L"Order", DB_PATH_DEFAULT), 3);
}

// Another connection writes in WAL mode and keeps its connection (and the WAL) open; the
// cached reader handle sees each commit.
TEST_F(EventDataLoggingTest, SeesWalCommitsOfAnotherConnection) {
    testsupport::TelemetryWriter writer(service + "ds1_ItemEvent.sqlite3", "ItemEvent", /*wal=*/true);
    writer.Insert("{}", "t1");
    ASSERT_TRUE(fs::exists(service + "ds1_ItemEvent.sqlite3-wal"));
    writer.Insert("{}", "t2");
    EXPECT_EQ(store.GetFirstID(L"ds1", L"ItemEvent", DB_PATH_DEFAULT), 1);
    EXPECT_EQ(store.GetLastID(L"ds1", L"ItemEvent", DB_PATH_DEFAULT), 2);
    writer.Insert("{}", "t3");
    writer.Exec("DELETE FROM ItemEvent WHERE id = 1");
    EXPECT_EQ(store.GetFirstID(L"ds1", L"ItemEvent", DB_PATH_DEFAULT), 2);
    EXPECT_EQ(store.GetLastID(L"ds1", L"ItemEvent", DB_PATH_DEFAULT), 3);
    EXPECT_EQ(store.GetLastLogtime(L"ds1", L"ItemEvent", DB_PATH_DEFAULT), "t3");
}

TEST_F(EventDataLoggingTest, FileThatIsNoDatabaseGivesMinusOne) {
    std::ofstream(service + "ds1_ItemEvent.sqlite3") << std::string(4096, 'x');
    EXPECT_EQ(store.GetFirstID(L"ds1", L"ItemEvent", DB_PATH_DEFAULT), -1);
}

TEST_F(EventDataLoggingTest, UnconfiguredFolderGivesMinusOne) {
    ZEL::linuxhost::InstallHostFolders(ZEL::linuxhost::HostFolders());
    EXPECT_EQ(store.GetLastID(L"ds1", L"ItemEvent", DB_PATH_DEFAULT), -1);
    ZEL::DeviceContext context;
    EXPECT_EQ(store.GetLastDeviceContext(&context, 1), 1);
}

ZEL::DeviceContext SampleContext(const std::wstring& id) {
    ZEL::DeviceContext context;
    context.set_device_id(id);
    context.set_device_context_id(L"ctx-" + id);
    context.mutable_device_info().set_os_name(L"Linux \u00e9");
    context.mutable_zel_info().mutable_zel_installed_packages()[L"pkg"] = L"1.0";
    return context;
}

std::string Encoded(const ZEL::DeviceContext& context) {
    std::wstring json;
    EXPECT_TRUE(ZEL::JsonSerialize::Serialize(context, json));
    return ZEL::String::UTF16ToUTF8(json);
}

TEST_F(EventDataLoggingTest, LastDeviceContextNoneWithoutFileOrRows) {
    ZEL::DeviceContext context;
    EXPECT_EQ(store.GetLastDeviceContext(&context, 1), 1);
    EXPECT_FALSE(fs::exists(service + "DeviceContext.sqlite3"));
    EXPECT_EQ(store.GetLastDeviceContext(nullptr, 0), 1);

    testsupport::TelemetryWriter writer(service + "DeviceContext.sqlite3", "DeviceContext");
    EXPECT_EQ(store.GetLastDeviceContext(&context, 0), 1);
}

TEST_F(EventDataLoggingTest, LastDeviceContextIsTheNewestRow) {
    testsupport::TelemetryWriter writer(service + "DeviceContext.sqlite3", "DeviceContext");
    writer.Insert(Encoded(SampleContext(L"old")), "t", 5);
    writer.Insert(Encoded(SampleContext(L"new")), "t", 9);
    writer.Insert(Encoded(SampleContext(L"middle")), "t", 7);
    ZEL::DeviceContext context;
    ASSERT_EQ(store.GetLastDeviceContext(&context, 1), 0);
    EXPECT_EQ(context.device_id(), L"new");
    EXPECT_EQ(context.device_context_id(), L"ctx-new");
    EXPECT_EQ(context.device_info().os_name(), L"Linux \u00e9");
    EXPECT_EQ(context.zel_info().zel_installed_packages().at(L"pkg"), L"1.0");
    EXPECT_EQ(context.row_id(), 9);
}

TEST_F(EventDataLoggingTest, UndecodableNewestDeviceContextIsNone) {
    testsupport::TelemetryWriter writer(service + "DeviceContext.sqlite3", "DeviceContext");
    writer.Insert(Encoded(SampleContext(L"good")), "t", 1);
    writer.Insert("not json", "t", 2);
    ZEL::DeviceContext context = SampleContext(L"caller's");
    EXPECT_EQ(store.GetLastDeviceContext(&context, 1), 1);
    EXPECT_EQ(context.device_id(), L"caller's");
    EXPECT_TRUE(logs.Contains("cannot be decoded", "host.log"));

    writer.Exec("UPDATE DeviceContext SET data = '[1, 2]' WHERE id = 2");
    EXPECT_EQ(store.GetLastDeviceContext(&context, 0), 1);
}

// Records every call, so that delegation can be checked without a database.
class RecordingManager : public ZEL::DatabaseManager {
public:
    ZEL::DatabasePtr Get(const std::wstring& path, bool create, bool reader) override {
        calls.push_back(ZEL::String::UTF16ToUTF8(path) + (create ? " create" : "") +
                        (reader ? " reader" : ""));
        return result;
    }
    void CloseCachedDatabaseAtPath(const std::wstring&) override {}
    void CloseCachedDatabasesUnderPath(const std::wstring&) override {}
    void MarkIntegrityCheckAll() override { ++marks; }

    std::vector<std::string> calls;
    ZEL::DatabasePtr result;
    int marks = 0;
};

TEST_F(EventDataLoggingTest, GetDatabaseDelegatesToTheInstalledCache) {
    RecordingManager recording;
    recording.result = std::make_shared<ZEL::Database>(L"/x.sqlite3");
    ZEL::DatabaseManager::SetInstance(&recording);
    EXPECT_EQ(store.GetDatabase(L"/x.sqlite3", true, false), recording.result);
    EXPECT_EQ(store.GetDatabase(L"/y.sqlite3", false, true), recording.result);
    store.mark_integrity_check_all();
    ZEL::DatabaseManager::SetInstance(&manager);
    EXPECT_THAT(recording.calls, testing::ElementsAre("/x.sqlite3 create", "/y.sqlite3 reader"));
    EXPECT_EQ(recording.marks, 1);
    EXPECT_TRUE(logs.Contains("mark_integrity_check_all", "host.log"));
}

TEST_F(EventDataLoggingTest, GetDatabaseUsesTheCache) {
    const std::wstring path = ZEL::String::UTF8ToUTF16(service + "x.sqlite3");
    ZEL::DatabasePtr writer = store.GetDatabase(path, true, false);
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(store.GetDatabase(path, false, true), writer);
    EXPECT_EQ(store.GetDatabase(path + L"-missing", false, true), nullptr);
}

TEST_F(EventDataLoggingTest, UpdateItemDataEncrytedLogsItsArguments) {
    EXPECT_TRUE(store.UpdateItemDataEncryted(12, 9000000000LL, 0));
    EXPECT_TRUE(logs.Contains("first_id=12 last_id=9000000000 method=0", "host.log"));
}

TEST(EventDataLoggingInstance, DefaultInstalledAndRestored) {
    ZEL::EventDataLogging* fallback = ZEL::EventDataLogging::GetInstance();
    ASSERT_NE(fallback, nullptr);
    EXPECT_NE(dynamic_cast<ZEL::linuxhost::SqliteEventDataLogging*>(fallback), nullptr);
    ZEL::linuxhost::SqliteEventDataLogging mine;
    ZEL::EventDataLogging::SetInstance(&mine);
    EXPECT_EQ(ZEL::EventDataLogging::GetInstance(), &mine);
    ZEL::EventDataLogging::SetInstance(nullptr);
    EXPECT_EQ(ZEL::EventDataLogging::GetInstance(), fallback);
}

}  // namespace
