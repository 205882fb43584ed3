// The NAVP uploader's own ways; the road every family shares is BatchPipelineTest's.
#include <gtest/gtest.h>

#include "datasync/upload/NavpSyncAgent.h"
#include "datasync/upload/UploadFixture.h"

namespace ZEL::DataSync {
namespace {

using uploadtest::kDatasetW, uploadtest::TableOf;

const wchar_t* const kNavpFile = FamilyOf(SyncEP::SyncEP_NAVP).bookmarkFile;

class NavpSyncAgentTest : public uploadtest::UploadFixture {
protected:
    int Post(_NavpSyncType type = NAVP_ITEM_EVENT) {
        return NavpSyncAgent(kDatasetW, L"https://navp.test/collect", type, utility::DB_PATH_INTERNAL).doPost();
    }
};

TEST_F(NavpSyncAgentTest, ItemEventBatchGoesUnderOneHeaderAsFormText) {
    AddEvents(1, 12);
    EXPECT_EQ(Post(), 0);
    const uploadtest::Request request = m_transport.Requests().back();
    EXPECT_EQ(request.url, "https://navp.test/collect");
    EXPECT_EQ(request.body.rfind("json=", 0), 0u);
    EXPECT_TRUE(request.headers.empty() && request.auth == ZELCore::HTTP_AUTH_NONE && request.flag);
    const Json::Value body = LastBody();
    EXPECT_EQ(body["app_info"]["a_name"].asString(), "") << "item events carry no source component here";
    EXPECT_TRUE(body.isMember("device_info"));
    EXPECT_EQ(body["events"][0]["e_data"]["device_id"].asString(), "device-1") << "the host's device id";
}

TEST_F(NavpSyncAgentTest, ItemDataOverridesFixedKeysButNotInDatasetContextsAndItemContextsAreNeverPosted) {
    m_host.tables.Add(TableOf(kDatasetW),
                      testsupport::MakeItemEvent(kDatasetW, L"i1", {{L"item_id", L"mine"}, {L"n", L"5"}}));
    EXPECT_EQ(Post(), 0);
    const Json::Value data = LastBody()["events"][0]["e_data"];
    EXPECT_EQ(data["item_id"].asString(), "mine");
    EXPECT_EQ(data["n"], Json::Value("5")) << "values stay strings";

    DatasetContext context;
    context.set_dataset_id(L"x"), context.set_dataset_name(L"CPU"), context.set_dataset_type(L"t");
    context.set_source_component(L"app"), context.set_item_data({{L"dataset_id", L"mine"}, {L"k", L"v"}});
    m_host.tables.Add(TableOf<DatasetContext>(kDatasetW), context);
    EXPECT_EQ(Post(NAVP_DATASET_CONTEXT), 0);
    const Json::Value body = LastBody();
    EXPECT_EQ(body["app_info"]["a_name"].asString(), "app");
    const Json::Value& event = body["events"][0];
    EXPECT_EQ(event["e_name"].asString(), "CPU context updated");
    EXPECT_EQ(event["e_data"]["dataset_id"].asString(), "x") << "the record's own dataset id wins";
    EXPECT_EQ(event["e_data"]["k"].asString(), "v");

    m_host.tables.Add(TableOf<ItemContext>(kDatasetW), ItemContext());
    EXPECT_EQ(Post(NAVP_ITEM_CONTEXT), 0);
    EXPECT_EQ(m_transport.Requests().size(), 2u);
}

TEST_F(NavpSyncAgentTest, DeviceContextPostNeverMovesTheBookmarkBackwards) {
    for (int id = 2; id <= 8; ++id) WriteDeviceContext(m_host.tables, L"dc-" + std::to_wstring(id), id);
    NavpHeader header(&m_host.tables);
    EXPECT_EQ(NavpSyncAgent(header, L"").PostDeviceContext(7), 5) << "no NAVP URL in the policy";
    EXPECT_TRUE(m_transport.Requests().empty());

    SetIncludeEvents({L"ALL"}, L"https://navp.test/collect");
    for (auto [before, after] : {std::pair{12, 12}, {3, 8}}) {
        SetBookmark(kNavpFile, L"DeviceContext", before, L"");
        EXPECT_EQ(NavpSyncAgent(header, L"").PostDeviceContext(7), 0);
        EXPECT_EQ(LastBody()["events"][0]["e_subcat"].asString(), "dc-7");
        EXPECT_EQ(Bookmark(kNavpFile, L"DeviceContext", L""), after);
    }
    EXPECT_EQ(m_transport.Requests().size(), 2u);
    EXPECT_EQ(NavpSyncAgent(header, L"").PostDeviceContext(99), 1) << "no such row";
}

TEST_F(NavpSyncAgentTest, HaveData2SyncReadsTheNavpBookmarks) {
    NavpSyncAgent agent(kDatasetW, L"https://navp.test/collect", NAVP_ITEM_EVENT, utility::DB_PATH_INTERNAL);
    EXPECT_FALSE(agent.HaveData2Sync(utility::DB_PATH_INTERNAL));
    AddEvents(1, 2);
    EXPECT_TRUE(agent.HaveData2Sync(utility::DB_PATH_INTERNAL));
    EXPECT_EQ(Post(), 0);
    EXPECT_FALSE(agent.HaveData2Sync(utility::DB_PATH_INTERNAL));
}

}  // namespace
}  // namespace ZEL::DataSync
