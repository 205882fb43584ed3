// The KTA/NAVS uploader's own ways; the road every family shares is BatchPipelineTest's.
#include <gmock/gmock.h>

#include "datasync/upload/SyncAgentsHelper.h"
#include "datasync/upload/UploadFixture.h"
#include "support/ManualClock.h"
#include "support/ScopedTimeZone.h"

namespace ZEL::DataSync {
namespace {

using uploadtest::kDatasetW, uploadtest::TableOf;

const wchar_t* const kKtaFile = SyncAgentsHelper::kDefaultSyncPointFile;

class SyncAgentsHelperTest : public uploadtest::UploadFixture {
protected:
    int Post(SyncTypes type = SYNC_ITEM_EVENT, const std::wstring& dataset = kDatasetW, bool purgeBlocks = false) {
        SyncAgentsHelper helper(dataset, L"https://kta.test/v1/", type, L"KTA", utility::DB_PATH_INTERNAL);
        helper.SetSyncBlocked([purgeBlocks] { return purgeBlocks; });
        ZELCore::InvokeHttpResponse response;
        return helper.doPost(response);
    }
};

TEST_F(SyncAgentsHelperTest, UploadsThatCannotOrMayNotBeMadeKeepTheBatchAndABaseUrlGetsItsSlash) {
    AddEvents(1, 3);
    SyncAgentsHelper slashless(kDatasetW, L"https://kta.test/v1", SYNC_ITEM_EVENT, L"KTA", utility::DB_PATH_INTERNAL);
    ZELCore::InvokeHttpResponse response;
    ZEL::CoreUtility::SetInstance(nullptr);
    EXPECT_EQ(slashless.doPost(response), ZELCore::TransportResult::OTHER_FAILURE) << "no transport";
    ZEL::CoreUtility::SetInstance(&m_transport);
    EXPECT_EQ(Post(SYNC_ITEM_EVENT, kDatasetW, true), 1) << "a purge blocks the post";
    EXPECT_EQ(Post(SYNC_NONE), 0);
    EXPECT_EQ(slashless.doPost(response), 0);
    AddEvents(4, 4);
    Post(SYNC_ALL_ITEM_KINDS);
    ASSERT_EQ(m_transport.Requests().size(), 2u) << "no dataset or item context rows";
    for (const uploadtest::Request& request : m_transport.Requests()) {
        EXPECT_TRUE(request.url == "https://kta.test/v1/events-data" && request.auth == ZELCore::HTTP_AUTH_MTLS);
        EXPECT_EQ(request.headers, (std::map<std::string, std::string>{{"Content-Type", "application/json"}}));
    }
    EXPECT_EQ(LastIds(), Ids(4, 4));
}

TEST_F(SyncAgentsHelperTest, ABatchUnderTwoDeviceContextsEndsAtTheLastRowOfTheFirst) {
    for (int id = 1; id <= 6; ++id) {
        ItemEvent event = testsupport::MakeItemEvent(kDatasetW, L"i" + std::to_wstring(id));
        event.set_device_context_id(std::wstring(L"dc-") + L"aaaabb"[id - 1]);
        m_host.tables.Add(TableOf(kDatasetW), event);
    }
    for (auto [ids, bookmark, context] : {std::tuple{Ids(1, 4), 5, "dc-a"}, {Ids(5, 6), 7, "dc-b"}}) {
        EXPECT_EQ(Post(), 0);
        EXPECT_EQ(LastIds(), ids);
        EXPECT_EQ(Bookmark(kKtaFile, L"ItemEvent"), bookmark);
        EXPECT_THAT(m_transport.Requests().back().body, testing::HasSubstr("\"device_context_id\":\"" + std::string(context)));
    }
}

TEST_F(SyncAgentsHelperTest, NewestRowOnlyDatasetSendsJustItsNewestRow) {
    const std::wstring dataset = L"1118F4A1-5F72-4175-8CCD-36F64DBE5133";
    m_config->ChangePolicy([&](TelemetryPolicy& policy) { policy.datasets.front().set_dataset_id(dataset); });
    AddEvents(m_host.tables, dataset, 1, 30);
    EXPECT_EQ(Post(SYNC_ITEM_EVENT, dataset), 0);
    EXPECT_EQ(LastIds(), std::vector<std::string>{"i30"});
    EXPECT_EQ(Bookmark(kKtaFile, L"ItemEvent", dataset), 31);
}

TEST_F(SyncAgentsHelperTest, DeviceContextGoesOneRowAtATimeToGlobalContext) {
    WriteDeviceContext(m_host.tables, L"dc-2", 2);
    EXPECT_EQ(Post(SYNC_DEVICE_CONTEXT, L""), 0);
    ASSERT_EQ(m_transport.Requests().size(), 1u);
    EXPECT_EQ(m_transport.Requests()[0].url, "https://kta.test/v1/global-context");
    EXPECT_THAT(m_transport.Requests()[0].body, testing::HasSubstr("\"device_context_id\":\"dc-1\""));
    EXPECT_EQ(Bookmark(kKtaFile, L"DeviceContext", L""), 2);
    EXPECT_TRUE(SyncAgentsHelper::IsDeviceContextSyncSuccess(kKtaFile));
    EXPECT_FALSE(SyncAgentsHelper::IsDeviceContextSyncSuccess(FamilyOf(SyncEP::SyncEP_NAVS).bookmarkFile));
}

TEST_F(SyncAgentsHelperTest, HaveData2SyncComparesTheNextRowWithTheLastId) {
    SyncAgentsHelper helper(kDatasetW, L"https://kta.test/v1/", SYNC_ITEM_EVENT, L"KTA", utility::DB_PATH_INTERNAL);
    const auto waiting = [&](std::int64_t bookmark) {
        SetBookmark(kKtaFile, L"ItemEvent", bookmark);
        return helper.HaveData2Sync(utility::DB_PATH_INTERNAL);
    };
    EXPECT_FALSE(waiting(0)) << "empty table, bookmark 0";
    AddEvents(1, 3);
    EXPECT_TRUE(waiting(0) && waiting(3));
    EXPECT_FALSE(waiting(4));
    EXPECT_TRUE(waiting(9)) << "rows up to 8 were sent, then the table was created again below the bookmark";
    AddEvents(4, 8);
    m_host.tables.Remove(TableOf(kDatasetW), 4, 8);
    EXPECT_FALSE(waiting(9)) << "newest rows deleted after they were sent";

    // A scheduled dataset waits out its frequency after the newest row it sent (the rows were logged at 10:00).
    testsupport::ManualClock clock(std::chrono::system_clock::from_time_t(1796554800));  // 11:00 UTC
    testsupport::ScopedTimeZone utc("UTC");
    m_host.bookmarks.Clear({kKtaFile, utility::DB_PATH_INTERNAL, L"", L""});  // the file's every bookmark
    m_host.bookmarks.SetWriteTime("2026-12-06T11:00:00+00:00");  // what the store records: when it wrote
    std::string logtime;
    EXPECT_TRUE(helper.HaveData2SyncEx(utility::DB_PATH_INTERNAL, 60, logtime)) << "no bookmark, rows an hour old";
    EXPECT_EQ(logtime, "2026-12-06T10:00:00");
    ASSERT_EQ(Post(), 0);
    AddEvents(9, 9);  // the next row: ids 4..8 were used
    EXPECT_FALSE(helper.HaveData2SyncEx(utility::DB_PATH_INTERNAL, 60, logtime));
    clock.SetWall(std::chrono::system_clock::from_time_t(1796554800 + 61));
    EXPECT_TRUE(helper.HaveData2SyncEx(utility::DB_PATH_INTERNAL, 60, logtime));
}

}  // namespace
}  // namespace ZEL::DataSync
