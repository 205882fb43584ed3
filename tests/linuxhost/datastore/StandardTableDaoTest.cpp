#include <gtest/gtest.h>

#include <filesystem>

#include "linuxhost/HostFolders.h"
#include "linuxhost/datastore/DataStore.h"
#include "linuxhost/datastore/SqliteTelemetryTables.h"
#include "support/LogCapture.h"
#include "support/TelemetryWriter.h"
#include "support/TempDir.h"

namespace ZEL {
namespace linuxhost {
namespace {

using DataSync::ReadStatus;

using testsupport::ItemEventJson;
using testsupport::LocalLogtime;
using testsupport::TelemetryWriter;

const std::string kDataset = "6F1C2D3E-0000-4000-8000-000000000001";
const std::wstring kDatasetW(kDataset.begin(), kDataset.end());

class StandardTableDaoTest : public ::testing::Test {
protected:
    void SetUp() override { linuxhost::InstallHostFolders({m_dir.sub("service"), m_dir.sub("shared"), "", "", ""}); }
    void TearDown() override {
        DatabaseManager::GetInstance()->CloseCachedDatabasesUnderPath(m_dir.wpath());
        linuxhost::InstallHostFolders({});
    }
    // Reads up to `count` records from `start` on: the row ids read, then the next start (-1: none).
    template <typename Record = ItemEvent>
    std::string Read(std::int64_t start, std::list<Record>& into,
                     utility::EGetDBPathMethod method = utility::DB_PATH_INTERNAL) {
        into.clear();
        const DataSync::TableRead read = m_tables.Read({kDatasetW, Record::TypeName(), method}, start, 10, into);
        const bool none = read.status != ReadStatus::Rows;
        start = none ? -1 : read.lastId;
        std::string ids;
        for (const Record& record : into) ids += std::to_string(record.row_id()) + " ";
        return ids + (none ? "none " : "") + std::to_string(start);
    }
    std::string ItemEventPath() const { return m_dir.path() + "service/" + kDataset + "_ItemEvent.sqlite3"; }

    SqliteTelemetryTables m_tables;
    testsupport::LogCapture m_logs;
    testsupport::TempDir m_dir;
};

TEST_F(StandardTableDaoTest, RangeReadSkipsMissingIdsAndEndsWithNoData) {
    std::list<ItemEvent> events;
    EXPECT_EQ(Read(1, events), "none -1");
    EXPECT_FALSE(std::filesystem::exists(ItemEventPath())) << "a reader created the missing file";
    TelemetryWriter writer(ItemEventPath(), "ItemEvent");
    for (std::int64_t id : {3, 7, 9, 20}) writer.Insert(ItemEventJson(kDataset, "item" + std::to_string(id)), "", id);
    EXPECT_EQ(Read(5, events), "7 9 9");
    EXPECT_EQ(Read(INT64_MAX - 3, events), "none -1") << "the end of the range must not overflow";
    TelemetryWriter(m_dir.path() + "shared/" + kDataset + "_ItemContext.sqlite3", "ItemContext")
        .Insert("{\"item_id\":\"ctx\",\"item_data\":{\"k\":\"v\"}}");
    std::list<ItemContext> contexts;
    EXPECT_EQ(Read(1, contexts, utility::DB_PATH_USER_SHARED), "1 1");
    EXPECT_EQ(contexts.front().item_data().at(L"k"), L"v");
}

TEST_F(StandardTableDaoTest, UndecodableOrNullRowsAreLoggedAndSkipped) {
    TelemetryWriter(ItemEventPath(), "Other")
        .Exec("CREATE TABLE ItemEvent(id integer primary key autoincrement, log_index, data, logtime);"
              "INSERT INTO ItemEvent(data) VALUES(NULL)");
    TelemetryWriter writer(ItemEventPath(), "ItemEvent");
    for (const std::string& data : {ItemEventJson(kDataset, "second"), std::string("not json at all"),
                                    std::string("[1,2,3]"), ItemEventJson(kDataset, "fifth"), std::string("{broken")})
        writer.Insert(data);
    std::list<ItemEvent> events;
    EXPECT_EQ(Read(2, events), "2 5 6") << "the last id read covers the bad trailing row";
    EXPECT_EQ(events.front().item_id(), L"second");
}

// What "sendTelemetry" sends again: the newest row with a new id, its index, time and data unchanged.
TEST_F(StandardTableDaoTest, TheNewestRowIsCopiedExactly) {
    TelemetryWriter writer(ItemEventPath(), "ItemEvent");
    for (int n = 1; n <= 3; ++n)
        writer.Insert(ItemEventJson(kDataset, "i"), "2026-12-06T10:00:0" + std::to_string(n), 0,
                      "idx-" + std::to_string(n));
    EXPECT_TRUE(m_tables.DuplicateNewest({kDatasetW, ItemEvent::TypeName(), utility::DB_PATH_INTERNAL}));
    EXPECT_EQ(
        writer.Scalar("select count(*) from ItemEvent a join ItemEvent b on b.id = 3 where a.id = 4 and "
                      "a.log_index = b.log_index and a.logtime = b.logtime and a.data = b.data"),
        1);
    EXPECT_EQ(writer.Scalar("select count(*) from ItemEvent"), 4);
}

// A writer in another process holds the file open in WAL mode meanwhile: the windowed delete by
// date takes only dated rows, the rows the writer adds stay, and the file stays whole.
TEST_F(StandardTableDaoTest, DatedRowsGoByTheCutoffUnderAWriterHeldOpenAndUndatedRowsMarkTheRestart) {
    constexpr std::time_t kCutoff = 1796554800;
    const auto cutoff = std::chrono::system_clock::from_time_t(kCutoff);
    const DataSync::TableRef table{kDatasetW, ItemEvent::TypeName(), utility::DB_PATH_INTERNAL};
    TelemetryWriter writer(ItemEventPath(), "ItemEvent", /*wal=*/true);
    writer.Insert(ItemEventJson(kDataset, "r"), LocalLogtime(kCutoff - 1));
    writer.Insert(ItemEventJson(kDataset, "undated"), "yesterday");
    writer.Insert(ItemEventJson(kDataset, "r"), LocalLogtime(kCutoff));
    writer.Insert(ItemEventJson(kDataset, "r"), LocalLogtime(kCutoff - 1), 5000);  // in a later window of ids
    writer.Insert(ItemEventJson(kDataset, "r"), LocalLogtime(kCutoff + 1));
    EXPECT_EQ(m_tables.DeleteDatedRows(table, cutoff, DataSync::CutoffBound::Before, [] { return true; }), 0)
        << "a stop before the first step";
    EXPECT_EQ(m_tables.DeleteDatedRows(table, cutoff, DataSync::CutoffBound::Before, nullptr), 2);
    EXPECT_EQ(m_tables.DeleteDatedRows(table, cutoff, DataSync::CutoffBound::UpToItsSecond, nullptr), 1);
    writer.Insert(ItemEventJson(kDataset, "after the purge"), LocalLogtime(kCutoff + 2));
    const std::optional<DataSync::UploadRestart> restart = m_tables.FindUploadRestart(table, cutoff);
    ASSERT_TRUE(restart);
    EXPECT_EQ(restart->firstId, 5001);
    EXPECT_EQ(restart->heldRows, 1) << "the undated row";
    EXPECT_EQ(writer.Scalar("select count(*) from ItemEvent"), 3)
        << "the undated, the second after and the new row";
    EXPECT_EQ(writer.Scalar("select count(*) from pragma_integrity_check where integrity_check = 'ok'"), 1);
}

}  // namespace
}  // namespace linuxhost
}  // namespace ZEL
