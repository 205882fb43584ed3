// Both uploaders through the real transport against the collector over mutual TLS on loopback,
// with real SQLite files: every row is accepted once, a failed answer is retried with the same
// batch, and NAVP bodies arrive as "json=" text without a client certificate.
#include <gmock/gmock.h>

#include "collector/CollectorTestSupport.h"
#include "datasync/upload/NavpSyncAgent.h"
#include "datasync/upload/SyncAgentsHelper.h"
#include "datasync/upload/UploadFixture.h"
#include "linuxhost/transport/CurlTransport.h"

namespace ZEL {
namespace DataSync {
namespace {

using uploadtest::kDatasetW;

class UploadCollectorTest : public uploadtest::UploadFixture {
protected:
    void SetUp() override {
        UploadFixture::SetUp();
        m_server = collectortest::StartCollector(collectortest::TlsOptions(m_recordFile, true));
        CoreUtility::SetInstance(&m_curl);
    }
    std::wstring Url(const std::string& path) {
        return String::UTF8ToUTF16(collectortest::BaseUrl(*m_server) + path);
    }
    std::vector<std::string> RecordedItemIds(const std::string& family) {
        std::vector<std::string> ids;
        for (const Json::Value& record : collectortest::ReadRecords(m_recordFile)) {
            if (record["family"].asString() != family || record["status"].asInt() != 200) continue;
            for (const Json::Value& element : record["body"]["dataset_items_log"])
                for (const Json::Value& item : element["item_events_log"]) ids.push_back(item["item_id"].asString());
        }
        return ids;
    }

    collectortest::ScopedTlsSettings m_tls{collectortest::MutualTls()};
    std::string m_recordFile = m_dir.path() + "record.jsonl";
    std::unique_ptr<collector::Collector> m_server;
    linuxhost::CurlTransport m_curl;
};

TEST_F(UploadCollectorTest, KtaRowsArriveOnceAndAFailedBatchIsSentAgain) {
    AddEvents(1, 25);
    std::string error;
    ASSERT_TRUE(m_server->Faults().Replace({"kta=503x1"}, error)) << error;
    SyncAgentsHelper helper(kDatasetW, Url("/kta/"), SYNC_ITEM_EVENT, L"KTA", utility::DB_PATH_INTERNAL);
    ZELCore::InvokeHttpResponse response;
    EXPECT_EQ(helper.doPost(response), 503);
    EXPECT_EQ(Bookmark("SyncPoint.sqlite3", "ItemEvent"), 0);

    int posts = 0;
    while (helper.doPost(response) == 0) ++posts;
    EXPECT_EQ(posts, 3);
    std::vector<std::string> expected;
    for (int id = 1; id <= 25; ++id) expected.push_back("i" + std::to_string(id));
    EXPECT_EQ(RecordedItemIds("kta"), expected);
    EXPECT_EQ(Bookmark("SyncPoint.sqlite3", "ItemEvent"), 26);
}

TEST_F(UploadCollectorTest, NavpBodiesArriveAsJsonFormText) {
    AddEvents(1, 4);
    NavpSyncAgent agent(kDatasetW, Url("/navp"), NAVP_ITEM_EVENT, utility::DB_PATH_INTERNAL);
    EXPECT_EQ(agent.doPost(), 0);
    const std::vector<Json::Value> records = collectortest::ReadRecords(m_recordFile);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["family"].asString(), "navp");
    EXPECT_EQ(records[0]["body_prefix"].asString(), "json=");
    EXPECT_EQ(records[0]["body"]["events"].size(), 4u);
    EXPECT_EQ(Bookmark("navp_syncPoint.sqlite3", "ItemEvent"), 5);
}

}  // namespace
}  // namespace DataSync
}  // namespace ZEL
