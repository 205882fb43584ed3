// The KTA/NAVS uploader: batches, bookmarks, answers and their report, recovery, filtering, device context.
#include <gmock/gmock.h>

#include "datasync/host/CriticalEvents.h"
#include "datasync/upload/SyncAgentsHelper.h"
#include "datasync/upload/UploadFixture.h"
#include "support/ManualClock.h"
#include "support/ScopedTimeZone.h"

namespace ZEL::DataSync {
namespace {

using uploadtest::kDataset;
using uploadtest::kDatasetW;

const char* const kKtaFile = "SyncPoint.sqlite3";

class SyncAgentsHelperTest : public uploadtest::UploadFixture {
protected:
    int Post(SyncTypes type = SYNC_ITEM_EVENT, const std::wstring& dataset = kDatasetW, bool purgeBlocks = false) {
        SyncAgentsHelper helper(dataset, L"https://kta.test/v1/", type, L"KTA", utility::DB_PATH_INTERNAL);
        helper.SetSyncBlocked([purgeBlocks] { return purgeBlocks; });
        ZELCore::InvokeHttpResponse response;
        return helper.doPost(response);
    }
    std::int64_t EventBookmark(const std::string& dataset = kDataset) { return Bookmark(kKtaFile, "ItemEvent", dataset); }
    std::vector<std::string> LastIds() { return ItemIds(m_collector.Requests().back().body); }
    static std::vector<std::string> Ids(std::int64_t first, std::int64_t last) {
        std::vector<std::string> ids;
        for (std::int64_t id = first; id <= last; ++id) ids.push_back("i" + std::to_string(id));
        return ids;
    }
};

// A batch is ten rows; KTA reports a failure in the registry value and as an active critical event
// (1017, status), and a 2xx answer clears every such event.
TEST_F(SyncAgentsHelperTest, EachAnswerMovesOrKeepsTheBookmarkPastTheBatchAndIsReported) {
    const struct { const char* name; int status; const char* body; int noAnswer, result; std::int64_t bookmark; } cases[] = {
        {"500 retried", 500, "", 0, 500, 1},
        {"200 accepted", 200, "", 0, 0, 11},
        {"429 retried", 429, "", 0, 429, 1},
        {"299 accepted", 299, "", 0, 0, 11},
        {"404 dropped for good", 404, "", 0, 0, 11},
        {"400 dropped for good", 400, "", 0, 0, 11},
        {"401 dropped for good", 401, "", 0, 0, 11},
        {"plain 403 dropped for good", 403, R"({"errorCode":"Forbidden"})", 0, 0, 11},
        {"403 device missing retried", 403, R"({"errorCode":"DeviceMissing"})", 0, 403, 1},
        {"refused connection", 0, "", ZELCore::TransportResult::CANNOT_CONNECT, 12029, 1},
        {"unresolved host", 0, "", ZELCore::TransportResult::HOST_NOT_RESOLVED, 12007, 1},
    };
    AddEvents(1, 12);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetBookmark(kKtaFile, "ItemEvent", 1);
        c.status ? m_collector.QueueStatus(c.status, c.body) : m_collector.QueueNoAnswer(c.noAnswer);
        EXPECT_EQ(Post(), c.result);
        EXPECT_EQ(EventBookmark(), c.bookmark);
        const int reported = c.status ? c.status : c.result;
        const bool failed = reported < 200 || reported > 299;
        long registry = -1;
        EXPECT_TRUE(utility::ReadRegistryValue(L"syncRVSError", registry) && registry == failed);
        int active = 0;
        for (const auto& [event, value] : CriticalEventLogger::Active()) active += event == 1017;
        EXPECT_EQ(active > 0, failed) << "a 2xx answer clears every failure";
        EXPECT_EQ(CriticalEventLogger::Active().count({1017, reported}), failed ? 1u : 0u);
    }
    const uploadtest::Request last = m_collector.Requests().back();
    EXPECT_TRUE(last.url == "https://kta.test/v1/events-data" && last.auth == ZELCore::HTTP_AUTH_MTLS);
    EXPECT_EQ(last.headers, (std::map<std::string, std::string>{{"Content-Type", "application/json"}}));
    EXPECT_EQ(ItemIds(last.body), Ids(1, 10));
}

TEST_F(SyncAgentsHelperTest, RecoveryRestartsWhereUnsentRowsAreAndNeverSkipsAny) {
    // `sent` empty: nothing posted; `deleted`: the rows deleted after they were written.
    const struct { const char* name; std::int64_t bookmark; std::vector<std::pair<std::int64_t, std::int64_t>> rows;
                   int result; std::vector<std::string> sent; std::int64_t after; const char* deleted = nullptr; } cases[] = {
        {"rows before the bookmark deleted", 40, {{60, 70}}, 0, Ids(60, 69), 70},
        {"rows waiting after a gap", 40, {{1, 30}, {60, 100}}, 0, Ids(60, 69), 70},
        {"table recreated below the bookmark", 500, {{1, 20}}, 0, Ids(1, 10), 11},
        {"newest rows deleted after they were sent", 31, {{1, 30}}, 1, {}, 31, "id > 20"},
        {"everything sent", 501, {{1, 500}}, 1, {}, 501},
        {"empty table", 7, {}, 1, {}, 7},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dataset = uploadtest::OtherDataset(n++);
        testsupport::TelemetryWriter table(ServicePath(dataset + "_ItemEvent.sqlite3"), "ItemEvent");
        table.Exec("BEGIN");  // one transaction: one sync to disk, not one per row
        for (const auto& range : c.rows) AddEvents(table, dataset, range.first, range.second);
        table.Exec("COMMIT");
        if (c.deleted != nullptr) table.Exec(std::string("delete from ItemEvent where ") + c.deleted);
        SetBookmark(kKtaFile, "ItemEvent", c.bookmark, dataset);
        const std::size_t before = m_collector.Requests().size();
        EXPECT_EQ(Post(SYNC_ITEM_EVENT, String::UTF8ToUTF16(dataset)), c.result);
        ASSERT_EQ(m_collector.Requests().size(), before + !c.sent.empty());
        EXPECT_EQ(c.sent.empty() ? c.sent : LastIds(), c.sent);
        EXPECT_EQ(EventBookmark(dataset), c.after);
    }
}

TEST_F(SyncAgentsHelperTest, UploadsThatCannotOrMayNotBeMadeKeepTheBatchAndABaseUrlGetsItsSlash) {
    AddEvents(1, 3);
    SyncAgentsHelper slashless(kDatasetW, L"https://kta.test/v1", SYNC_ITEM_EVENT, L"KTA", utility::DB_PATH_INTERNAL);
    ZELCore::InvokeHttpResponse response;
    m_config->ChangePolicy([](TelemetryPolicy& policy) { policy.datasets.clear(); });
    EXPECT_EQ(slashless.doPost(response), 1) << "no include list known for the dataset: the batch waits";
    SetIncludeEvents({L"ALL"});
    ZEL::CoreUtility::SetInstance(nullptr);
    EXPECT_EQ(slashless.doPost(response), 5) << "no transport";
    ZEL::CoreUtility::SetInstance(&m_collector);
    EXPECT_EQ(Post(SYNC_ITEM_EVENT, kDatasetW, true), 1) << "a purge blocks the post";
    EXPECT_EQ(Post(SYNC_NONE), 0);
    EXPECT_TRUE(m_collector.Requests().empty());
    EXPECT_EQ(EventBookmark(), 0);
    EXPECT_EQ(slashless.doPost(response), 0);
    AddEvents(4, 4);
    Post(SYNC_ALL_ITEM_KINDS);
    ASSERT_EQ(m_collector.Requests().size(), 2u) << "no dataset or item context rows";
    for (const uploadtest::Request& request : m_collector.Requests()) EXPECT_EQ(request.url, "https://kta.test/v1/events-data");
    EXPECT_EQ(LastIds(), Ids(4, 4));
}

TEST_F(SyncAgentsHelperTest, ABatchUnderTwoDeviceContextsEndsAtTheLastRowOfTheFirst) {
    for (int id = 1; id <= 6; ++id)
        Events().Insert(testsupport::ItemEventJson(kDataset, "i" + std::to_string(id),
                                                   std::string("\"device_context_id\":\"dc-") + "aaaabb"[id - 1] + "\""),
                        "2026-12-06T10:00:00", id);
    for (auto [ids, bookmark, context] : {std::tuple{Ids(1, 4), 5, "dc-a"}, {Ids(5, 6), 7, "dc-b"}}) {
        EXPECT_EQ(Post(), 0);
        EXPECT_EQ(LastIds(), ids);
        EXPECT_EQ(EventBookmark(), bookmark);
        EXPECT_THAT(m_collector.Requests().back().body, testing::HasSubstr("\"device_context_id\":\"" + std::string(context)));
    }
}

TEST_F(SyncAgentsHelperTest, NewestRowOnlyDatasetSendsJustItsNewestRow) {
    const std::string dataset = "1118F4A1-5F72-4175-8CCD-36F64DBE5133";
    m_config->ChangePolicy([&](TelemetryPolicy& policy) { policy.datasets.front().set_dataset_id(String::UTF8ToUTF16(dataset)); });
    testsupport::TelemetryWriter table(ServicePath(dataset + "_ItemEvent.sqlite3"), "ItemEvent");
    for (int id = 1; id <= 30; ++id) table.Insert(testsupport::ItemEventJson(dataset, "i" + std::to_string(id)));
    EXPECT_EQ(Post(SYNC_ITEM_EVENT, String::UTF8ToUTF16(dataset)), 0);
    EXPECT_EQ(LastIds(), std::vector<std::string>{"i30"});
    EXPECT_EQ(EventBookmark(dataset), 31);
}

TEST_F(SyncAgentsHelperTest, DeviceContextGoesOneRowAtATimeToGlobalContext) {
    WriteDeviceContext(L"dc-2");
    EXPECT_EQ(Post(SYNC_DEVICE_CONTEXT, L""), 0);
    ASSERT_EQ(m_collector.Requests().size(), 1u);
    EXPECT_EQ(m_collector.Requests()[0].url, "https://kta.test/v1/global-context");
    EXPECT_THAT(m_collector.Requests()[0].body, testing::HasSubstr("\"device_context_id\":\"dc-1\""));
    EXPECT_EQ(Bookmark(kKtaFile, "DeviceContext", ""), 2);
    EXPECT_TRUE(SyncAgentsHelper::IsDeviceContextSyncSuccess(L"SyncPoint.sqlite3"));
    EXPECT_FALSE(SyncAgentsHelper::IsDeviceContextSyncSuccess(L"Navs_SyncPoint.sqlite3"));
}

TEST_F(SyncAgentsHelperTest, FilteredAndUndecodableBatchesMoveTheBookmarkWithoutPosting) {
    SetIncludeEvents({L"keep"});
    AddEvents(1, 3, "drop");
    EXPECT_EQ(Post(), 2);
    EXPECT_EQ(EventBookmark(), 4);
    EXPECT_TRUE(m_collector.Requests().empty());
    AddEvents(4, 5, "keep");
    AddEvents(6, 6, "drop");
    EXPECT_EQ(Post(), 0);
    EXPECT_EQ(LastIds(), (std::vector<std::string>{"keep", "keep"}));
    for (int id = 7; id <= 9; ++id) Events().Insert("not json", "2026-12-06T10:00:00", id);
    EXPECT_EQ(Post(), 2) << "rows that cannot be decoded are passed, not read for ever";
    EXPECT_EQ(EventBookmark(), 10);
}

TEST_F(SyncAgentsHelperTest, HaveData2SyncComparesTheNextRowWithTheLastId) {
    SyncAgentsHelper helper(kDatasetW, L"https://kta.test/v1/", SYNC_ITEM_EVENT, L"KTA", utility::DB_PATH_INTERNAL);
    const auto waiting = [&](std::int64_t bookmark) {
        SetBookmark(kKtaFile, "ItemEvent", bookmark);
        return helper.HaveData2Sync(utility::DB_PATH_INTERNAL);
    };
    Events();
    EXPECT_FALSE(waiting(0)) << "empty table, bookmark 0";
    AddEvents(1, 3);
    EXPECT_TRUE(waiting(0) && waiting(3));
    EXPECT_FALSE(waiting(4));
    EXPECT_TRUE(waiting(9)) << "rows up to 8 were sent, then the table was created again below the bookmark";
    AddEvents(4, 8);
    Events().Exec("DELETE FROM ItemEvent WHERE id > 3");
    EXPECT_FALSE(waiting(9)) << "newest rows deleted after they were sent";

    // A scheduled dataset waits out its frequency after the newest row it sent (the rows were logged at 10:00).
    testsupport::ManualClock clock(std::chrono::system_clock::from_time_t(1796554800));  // 11:00 UTC
    testsupport::ScopedTimeZone utc("UTC");
    testsupport::TelemetryWriter(ServicePath(kKtaFile), "SyncPoint_probe").Exec("DELETE FROM SyncPoint");
    std::string logtime;
    EXPECT_TRUE(helper.HaveData2SyncEx(utility::DB_PATH_INTERNAL, 60, logtime)) << "no bookmark, rows an hour old";
    EXPECT_EQ(logtime, "2026-12-06T10:00:00");
    ASSERT_EQ(Post(), 0);
    AddEvents(4, 4);
    EXPECT_FALSE(helper.HaveData2SyncEx(utility::DB_PATH_INTERNAL, 60, logtime));
    clock.SetWall(std::chrono::system_clock::from_time_t(1796554800 + 61));
    EXPECT_TRUE(helper.HaveData2SyncEx(utility::DB_PATH_INTERNAL, 60, logtime));
}

}  // namespace
}  // namespace ZEL::DataSync
