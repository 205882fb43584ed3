// Telemetry flowing through the agent: rows written into watched databases (before and while
// the agent runs) reach every endpoint family their dataset names, through the change
// notifications, the timer pass, the start-up scan and the worker; scheduled datasets go out on
// their interval; device-context records handed over by the host go to NAVP.
#include <gmock/gmock.h>

#include <set>

#include "datasync/upload/UploadFixture.h"
#include "support/AgentHarness.h"

namespace {

using testsupport::WaitUntil;
using namespace std::chrono_literals;

const std::string kNrtDataset = "6F1C2D3E-0000-4000-8000-000000000001";
const std::string kScheduledDataset = "6F1C2D3E-0000-4000-8000-000000000002";
const std::string kDeviceContextDataset = "03D21916-F27E-41EB-B8B3-77372521FBC7";

class SchedulingTest : public testsupport::AgentHarness {
protected:
    void SetUp() override {
        AgentHarness::SetUp();
        ZEL::CoreUtility::SetInstance(&m_collector);
        ZEL::TelemetryPolicy policy = testsupport::PolicyWithoutFamilies();
        policy.syncEndpointUrls = {{L"KTA_syncEP_url", L"https://kta.test/"},
                                   {L"NAVS_syncEP_url", L"https://navs.test/"},
                                   {L"NAVP_syncEP_url", L"https://navp.test/collect"}};
        policy.authMode = L"mtls";
        for (auto [id, eps, frequency] : {std::tuple{kNrtDataset, L"KTA,NAVS", L"nrt"},
                                          std::tuple{kScheduledDataset, L"NAVP", L"2s"},
                                          std::tuple{kDeviceContextDataset, L"NAVP", L"nrt"}}) {
            ZEL::DataSet dataset = testsupport::MakeDataSet(ZEL::String::UTF8ToUTF16(id),
                                                            id == kDeviceContextDataset ? L"DeviceContext" : L"Data",
                                                            eps, frequency);
            dataset.set_include_events({L"ALL"});
            policy.datasets.push_back(dataset);
        }
        m_config->SetPolicy(policy);
        testsupport::TelemetryWriter(Service("DeviceContext.sqlite3"), "DeviceContext")
            .Insert(R"({"device_context_id":"dc-1","source_component":"app"})");
    }
    void TearDown() override {
        ZEL::CoreUtility::SetInstance(&m_transport);
        AgentHarness::TearDown();
    }

    std::string Service(const std::string& file) { return m_dir.path() + "service/" + file; }
    void WriteRows(const std::string& dataset, int first, int last) {
        testsupport::TelemetryWriter table(Service(dataset + "_ItemEvent.sqlite3"), "ItemEvent", true);
        for (int id = first; id <= last; ++id)
            table.Insert(testsupport::ItemEventJson(dataset, "i" + std::to_string(id)), "2026-12-06T10:00:00", id);
    }
    // Item ids each host received, counting repeats.
    std::multiset<std::string> Received(const std::string& host) {
        std::multiset<std::string> ids;
        for (const uploadtest::Request& request : m_collector.Requests()) {
            if (request.url.find(host) == std::string::npos) continue;
            Json::Value body;
            std::istringstream(request.body.rfind("json=", 0) == 0 ? request.body.substr(5) : request.body) >> body;
            for (const Json::Value& element : body["dataset_items_log"])
                for (const Json::Value& item : element["item_events_log"]) ids.insert(item["item_id"].asString());
            for (const Json::Value& event : body["events"])
                if (event["e_data"].isMember("item_id")) ids.insert(event["e_data"]["item_id"].asString());
        }
        return ids;
    }
    static std::multiset<std::string> Ids(int first, int last) {
        std::multiset<std::string> ids;
        for (int id = first; id <= last; ++id) ids.insert("i" + std::to_string(id));
        return ids;
    }
    void GoOnline() {
        m_transport.SetRegistered(true);
        Publish(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE);
        ASSERT_TRUE(WaitBusIdle());
    }

    uploadtest::ScriptedTransport m_collector;
};

TEST_F(SchedulingTest, RowsReachEveryFamilyTheirDatasetNamesExactlyOnce) {
    WriteRows(kNrtDataset, 1, 12);  // waiting before the agent starts: the start-up scan sends them
    WriteRows(kScheduledDataset, 1, 12);
    DataSyncAgent agent;
    agent.Init(m_stop);
    agent.FullInit();
    GoOnline();
    WriteRows(kNrtDataset, 13, 30);  // written while it runs: the file watcher reports them

    const auto allArrived = [&] {
        return Received("kta.test") == Ids(1, 30) && Received("navs.test") == Ids(1, 30) &&
               Received("navp.test") == Ids(1, 12);
    };
    EXPECT_TRUE(WaitUntil(allArrived, 20s));
    std::this_thread::sleep_for(2500ms);  // one more timer pass must send nothing again
    agent.UnInit();
    EXPECT_EQ(Received("kta.test"), Ids(1, 30));
    EXPECT_EQ(Received("navs.test"), Ids(1, 30));
    EXPECT_EQ(Received("navp.test"), Ids(1, 12));
}

TEST_F(SchedulingTest, DeviceContextRecordsGoToNavpOnceEach) {
    DataSyncAgent agent;
    agent.Init(m_stop);
    agent.FullInit();
    agent.AddDeviceContextRecordToSync(1);
    agent.AddDeviceContextRecordToSync(1);
    EXPECT_TRUE(WaitUntil([&] { return !m_collector.Requests().empty(); }));
    agent.UnInit();
    ASSERT_EQ(m_collector.Requests().size(), 1u);
    EXPECT_EQ(m_collector.Requests()[0].url, "https://navp.test/collect");
    EXPECT_NE(m_collector.Requests()[0].body.find("dc-1"), std::string::npos);
}

TEST(SyncMapNames, RecordKindComesFromTheFileName) {
    EXPECT_EQ(DataSyncAgent::GetDataItemType(L"X_DatasetContext_ItemEvent.sqlite3"), 1);
    EXPECT_EQ(DataSyncAgent::GetDataItemType(L"X_ItemEvent.sqlite3"), 0);
    EXPECT_EQ(DataSyncAgent::GetDataItemType(L"X_ItemContext.sqlite3"), 2);
    EXPECT_EQ(DataSyncAgent::GetDataItemType(L"DeviceContext.sqlite3"), 5);
    EXPECT_EQ(DataSyncAgent::GetDataItemType(L"GlobalContext.sqlite3"), 4);
}

}  // namespace
