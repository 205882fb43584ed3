// Telemetry table access: id-range reads, undecodable rows, deletion by cutoff (the copy of the
// newest row is checked with the duplication in HousekeepingTest).
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>

#include "datasync/store/StandardTableDao.h"
#include "linuxhost/HostFolders.h"
#include "support/LogCapture.h"
#include "support/TelemetryWriter.h"
#include "support/TempDir.h"

namespace ZEL {
namespace DataSync {
namespace {

namespace fs = std::filesystem;
using testsupport::ItemEventJson;
using testsupport::TelemetryWriter;
using testsupport::TempDir;

const std::string kDataset = "6F1C2D3E-0000-4000-8000-000000000001";
const std::wstring kDatasetW(kDataset.begin(), kDataset.end());

class StandardTableDaoTest : public ::testing::Test {
protected:
    void SetUp() override {
        linuxhost::InstallHostFolders({m_dir.sub("service"), m_dir.sub("shared"), "", "", ""});
    }
    void TearDown() override {
        DatabaseManager::GetInstance()->CloseCachedDatabasesUnderPath(m_dir.wpath());
        linuxhost::InstallHostFolders({});
    }
    std::string ItemEventPath() const { return m_dir.path() + "service/" + kDataset + "_ItemEvent.sqlite3"; }

    testsupport::LogCapture m_logs;
    TempDir m_dir;
};

TEST_F(StandardTableDaoTest, RangeReadSkipsMissingIdsAndEndsWithNoData) {
    std::list<ItemEvent> events;
    std::int64_t start = 1;
    EXPECT_TRUE(GetEvents(EventDataLogging::GetInstance(), kDatasetW, start, 10, events, utility::DB_PATH_INTERNAL));
    EXPECT_EQ(start, -1);
    EXPECT_FALSE(fs::exists(ItemEventPath())) << "a reader created the missing file";

    TelemetryWriter writer(ItemEventPath(), "ItemEvent");
    for (std::int64_t id : {3, 7, 9, 20}) writer.Insert(ItemEventJson(kDataset, "item" + std::to_string(id)), "", id);
    start = 5;
    EXPECT_FALSE(GetEvents(EventDataLogging::GetInstance(), kDatasetW, start, 10, events, utility::DB_PATH_INTERNAL));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events.front().item_id(), L"item7");
    EXPECT_EQ(events.front().row_id(), 7);
    EXPECT_EQ(events.back().row_id(), 9);
    EXPECT_EQ(start, 9);

    std::list<ItemEvent> navpEvents;
    start = 20;
    EXPECT_FALSE(navp::GetEvents(EventDataLogging::GetInstance(), kDatasetW, start, 1, navpEvents,
                                 utility::DB_PATH_INTERNAL));
    ASSERT_EQ(navpEvents.size(), 1u);
    EXPECT_EQ(navpEvents.front().item_id(), L"item20");

    start = 21;
    EXPECT_TRUE(GetEvents(EventDataLogging::GetInstance(), kDatasetW, start, 10, events, utility::DB_PATH_INTERNAL));
    EXPECT_EQ(start, -1);
    start = INT64_MAX - 3;  // the end of the range must not overflow
    EXPECT_TRUE(GetEvents(EventDataLogging::GetInstance(), kDatasetW, start, 10, events, utility::DB_PATH_INTERNAL));

    TelemetryWriter contexts(m_dir.path() + "shared/" + kDataset + "_ItemContext.sqlite3", "ItemContext");
    contexts.Insert("{\"item_id\":\"ctx\",\"item_data\":{\"k\":\"v\"}}");
    std::list<ItemContext> read;
    start = 1;
    EXPECT_FALSE(GetEvents(EventDataLogging::GetInstance(), kDatasetW, start, 10, read, utility::DB_PATH_USER_SHARED));
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read.front().item_data().at(L"k"), L"v");
}

TEST_F(StandardTableDaoTest, UndecodableOrNullRowsAreLoggedAndSkipped) {
    {
        TelemetryWriter writer(ItemEventPath(), "Other");
        writer.Exec("CREATE TABLE ItemEvent(id integer primary key autoincrement, log_index, data, logtime)");
        writer.Exec("INSERT INTO ItemEvent(data) VALUES(NULL)");
    }
    TelemetryWriter writer(ItemEventPath(), "ItemEvent");
    writer.Insert(ItemEventJson(kDataset, "second"));
    writer.Insert("not json at all");
    writer.Insert("[1,2,3]");
    writer.Insert(ItemEventJson(kDataset, "fifth"));
    writer.Insert("{broken");

    std::list<ItemEvent> events;
    std::int64_t start = 2;
    EXPECT_FALSE(GetEvents(EventDataLogging::GetInstance(), kDatasetW, start, 10, events, utility::DB_PATH_INTERNAL));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events.front().item_id(), L"second");
    EXPECT_EQ(events.back().row_id(), 5);
    EXPECT_EQ(start, 6) << "the last id read covers the bad trailing row";

    StandardTableDao dao(kDatasetW, L"class ItemEvent", utility::DB_PATH_INTERNAL);
    events.clear();
    EXPECT_EQ(dao.GetListForSync(events, "select id,data from ItemEvent where id < 3 order by id asc"), 2);
    ASSERT_EQ(events.size(), 1u);
}

TEST_F(StandardTableDaoTest, DelRemovesRowsLoggedBeforeTheCutoff) {
    const auto now = std::chrono::system_clock::now();
    TelemetryWriter writer(ItemEventPath(), "ItemEvent");
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    writer.Insert(ItemEventJson(kDataset, "old"), testsupport::LocalLogtime(seconds - 48 * 3600) + ".123+01:00");
    writer.Insert(ItemEventJson(kDataset, "recent"), testsupport::LocalLogtime(seconds - 300));

    StandardTableDao dao(kDatasetW, L"class ItemEvent", utility::DB_PATH_INTERNAL);
    ASSERT_TRUE(dao.Del(now - std::chrono::hours(24)));
    EXPECT_EQ(writer.Scalar("select count(*) from ItemEvent"), 1);
    EXPECT_EQ(writer.Scalar("select count(*) from ItemEvent where data like '%recent%'"), 1);
}

}  // namespace
}  // namespace DataSync
}  // namespace ZEL
