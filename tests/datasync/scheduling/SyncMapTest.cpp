// Single steps of the scheduler, driven without the agent's threads: the sync-map writers, one
// timer pass (with a clock set back), the dispatch's result per family combination, the shared
// folder's handler, and the device-context thread's retry wait ended by the stop event.
#include <gmock/gmock.h>

#include "datasync/upload/UploadFixture.h"
#include "support/AgentHarness.h"
#include "support/AgentTestAccess.h"
#include "support/ManualClock.h"

namespace {

using Access = DataSyncAgentTestAccess;
using testsupport::WaitUntil;
using namespace std::chrono_literals;

const std::wstring kDataset = L"6F1C2D3E-0000-4000-8000-000000000001";
const std::wstring kScheduled = L"6F1C2D3E-0000-4000-8000-000000000002";

class SyncMapTest : public testsupport::AgentHarness {
protected:
    void SetUp() override {
        AgentHarness::SetUp();
        ZEL::CoreUtility::SetInstance(&m_collector);
        UsePolicy(L"KTA,NAVS");
    }
    void TearDown() override {
        ZEL::CoreUtility::SetInstance(&m_transport);
        AgentHarness::TearDown();
    }
    void UsePolicy(const std::wstring& syncEPs, const std::wstring& navpUrl = L"https://navp.test/") {
        m_policy = testsupport::PolicyWithoutFamilies();
        m_policy.syncEndpointUrls = {{L"KTA_syncEP_url", L"https://kta.test/"},
                                     {L"NAVS_syncEP_url", L"https://navs.test/"},
                                     {L"NAVP_syncEP_url", navpUrl}};
        for (const auto& [id, frequency] : {std::pair{kDataset, L"nrt"}, std::pair{kScheduled, L"1h"}}) {
            ZEL::DataSet dataset = testsupport::MakeDataSet(id, L"Data", syncEPs, frequency);
            dataset.set_include_events({L"ALL"});
            m_policy.datasets.push_back(dataset);
        }
        m_config->SetPolicy(m_policy);
    }
    std::wstring ServicePath(const std::wstring& dataset) {
        return ZEL::String::UTF8ToUTF16(m_dir.path()) + L"service/" + dataset + L"_ItemEvent.sqlite3";
    }
    void WriteRows(const std::wstring& dataset, int count) {
        const std::string id = ZEL::String::UTF16ToUTF8(dataset);
        testsupport::TelemetryWriter table(m_dir.path() + "service/" + id + "_ItemEvent.sqlite3", "ItemEvent");
        for (int n = 0; n < count; ++n) table.Insert(testsupport::ItemEventJson(id, "i"));
        testsupport::TelemetryWriter(m_dir.path() + "service/DeviceContext.sqlite3", "DeviceContext")
            .Insert(R"({"device_context_id":"dc-1"})");
    }

    ZEL::TelemetryPolicy m_policy;
    uploadtest::ScriptedTransport m_collector;
};

TEST_F(SyncMapTest, ChangeNotificationsMarkTheFilesRecordAndOnlyAnAcceptedUploadClearsIt) {
    WriteRows(kDataset, 3);
    DataSyncAgent agent;
    Access::Prepare(agent, m_policy);
    const std::wstring path = ServicePath(kDataset);
    Access::Changed(agent, path, 2);
    DataSyncAgent::_sync_data& record = Access::Record(agent, path);
    EXPECT_EQ(record.db_root, 2u);
    EXPECT_EQ(record.sync_kind, 0u);
    EXPECT_EQ(record.trigger_times, 1u);
    EXPECT_TRUE(record.last_applicable);

    record.sync_state = 1;  // queued: the retry count stays
    record.retry_times = 6;
    Access::Changed(agent, path, 1);
    EXPECT_EQ(record.retry_times, 6);
    EXPECT_EQ(record.trigger_times, 2u);
    record.sync_state = 0;
    Access::Changed(agent, path, 1);
    EXPECT_EQ(record.retry_times, 0);
    EXPECT_EQ(record.db_root, 1u);

    // A failure outside the back-off classes (cannot connect), so no back-off wait holds the
    // second pass.
    m_collector.QueueNoAnswer(12029);
    m_collector.QueueNoAnswer(12029);
    Access::SyncDB(agent, path);
    EXPECT_EQ(Access::Records(agent), 1u) << "no second record under the bare file name";
    EXPECT_EQ(record.trigger_times, 3u) << "a failed upload keeps the trigger";
    EXPECT_EQ(record.sync_state, 2u);
    EXPECT_EQ(record.last_result, 0u);

    Access::SyncDB(agent, path);  // answers 200 now
    EXPECT_EQ(record.trigger_times, 0u);
    EXPECT_EQ(record.sync_state, 0u);
    EXPECT_EQ(record.last_result, 1u);

    Access::SyncDB(agent, L"/nowhere/X_ItemEvent.sqlite3");
    EXPECT_TRUE(Logged("No Entry in SyncMapList:/nowhere/X_ItemEvent.sqlite3!"));
    Access::Finish(agent);
}

TEST_F(SyncMapTest, DispatchResultIsTheFirstNamedFamilysResult) {
    WriteRows(kDataset, 3);
    {
        DataSyncAgent agent;
        Access::Prepare(agent, m_policy);
        m_collector.QueueStatus(500);  // KTA fails, NAVS succeeds
        EXPECT_FALSE(Access::DoPost(agent, kDataset));
        EXPECT_TRUE(Logged("DoPost: try navs=1"));
        EXPECT_TRUE(Access::HandleSharedNRT(agent, L"GlobalContext.sqlite3")) << "nothing to do is a success";
        Access::Finish(agent);
    }
    {
        UsePolicy(L"NAVP", L"not a url");
        DataSyncAgent agent;
        Access::Prepare(agent, m_policy);
        const std::size_t before = m_collector.Requests().size();
        EXPECT_FALSE(Access::DoPost(agent, kDataset)) << "NAVP named, its URL invalid";
        EXPECT_EQ(m_collector.Requests().size(), before);
        EXPECT_FALSE(Logged("Invalid Sync endpoint"));
        Access::Finish(agent);
    }
}

TEST_F(SyncMapTest, DeviceContextSuccessFollowsTheFamiliesItsDatasetNames) {
    WriteRows(kDataset, 1);
    const struct {
        const char* name;
        const wchar_t* syncEPs;
        int firstAnswer;
        bool success;
        const char* logged;
    } cases[] = {{"NAVS only, accepted", L"NAVS", 200, true, "NAVS Sync Device Context Success"},
                 {"KTA and NAVS: the KTA answer decides", L"KTA,NAVS", 500, false, "Sync Device Context failed!"},
                 {"no family known", L"FTP", 200, false, "is ----- nothing -----"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ZEL::TelemetryPolicy policy = m_policy;
        policy.datasets.push_back(
            testsupport::MakeDataSet(L"03D21916-F27E-41EB-B8B3-77372521FBC7", L"DeviceContext", c.syncEPs, L"nrt"));
        DataSyncAgent agent;
        Access::Prepare(agent, policy);
        m_collector.QueueStatus(c.firstAnswer);
        EXPECT_EQ(Access::HandleDeviceContext(agent), c.success);
        EXPECT_EQ(Access::DeviceContextSynced(agent), c.success);
        EXPECT_TRUE(Logged(c.logged));
        Access::Finish(agent);
    }
    EXPECT_NE(m_collector.Requests().at(0).url.find("navs.test/global-context"), std::string::npos);
}

TEST_F(SyncMapTest, ScheduledRecordIsDueWhenTheClockWasSetBack) {
    WriteRows(kScheduled, 3);
    testsupport::ManualClock clock(std::chrono::system_clock::from_time_t(1796554800));
    DataSyncAgent agent;
    Access::Prepare(agent, m_policy);
    Access::TimerPass(agent);  // creates the scheduled record; its rows are an hour old: queued
    const std::wstring path = ServicePath(kScheduled);
    ASSERT_EQ(Access::Record(agent, path).sync_kind, 2u);
    DataSyncAgent::_sync_data& record = Access::Record(agent, path);
    record.remain_data = 0;
    record.last_sync_time = 1796554800;
    const std::size_t queued = Access::Queued(agent);

    Access::TimerPass(agent);
    EXPECT_EQ(Access::Queued(agent), queued) << "interval of one hour not over";

    clock.SetWall(std::chrono::system_clock::from_time_t(1796554800 - 6 * 3600));
    Access::TimerPass(agent);
    EXPECT_EQ(Access::Queued(agent), queued + 1) << "a clock set back must not hold the record for hours";
    Access::Finish(agent);
}

TEST_F(SyncMapTest, DeviceContextRetryWaitEndsWithTheServiceStop) {
    WriteRows(kDataset, 1);
    m_policy.navpUrl = L"https://navp.test/";
    m_config->SetPolicy(m_policy);
    m_collector.QueueStatus(500);
    auto agent = std::make_unique<DataSyncAgent>();
    agent->Init(m_stop);
    agent->AddDeviceContextRecordToSync(1);
    ASSERT_TRUE(WaitUntil([this] { return Logged("Retrying sync device context after returned sync result: 5"); }));
    const auto start = std::chrono::steady_clock::now();
    platform::SetEvent(m_stop);
    agent->UnInit();
    agent.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(m_collector.Requests().size(), 1u) << "no second attempt before 15 minutes";
}

}  // namespace
