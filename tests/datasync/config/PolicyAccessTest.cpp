// Looking up one dataset's policy in the agent's copy of the policy, and the uploaders' policy
// helper: a fresh read each time, the include list of one dataset.
#include "datasync/config/ConfigPolicyHelper.h"
#include "support/AgentHarness.h"

namespace {

using testsupport::MakeDataSet;
using Events = std::list<std::wstring>;

class PolicyAccessTest : public testsupport::AgentHarness {};

TEST_F(PolicyAccessTest, DatasetPolicyByIdIsExactAndByNameGivesTheFirstMatchOfTheLatestRead) {
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) {
        policy.datasets = {MakeDataSet(L"AAAA-1111", L"Battery", L"KTA", L"nrt"),
                           MakeDataSet(L"BBBB-2222", L"Battery", L"NAVS", L"1h")};
    });
    DataSyncAgent agent;
    Start(agent);
    EXPECT_EQ(agent.GetDatasetPolicy(L"BBBB-2222", 1).syncEPs(), L"NAVS");
    EXPECT_EQ(agent.GetDatasetPolicy(L"Battery", 0).dataset_id(), L"AAAA-1111");
    for (const auto& [key, byId] : {std::pair{L"bbbb-2222", 1}, {L"Battery", 1}, {L"AAAA-1111", 0}})
        EXPECT_TRUE(agent.GetDatasetPolicy(key, byId).dataset_id().empty()) << key << " " << byId;

    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) {
        policy.datasets = {MakeDataSet(L"DDDD-4444", L"Battery", L"NAVP", L"nrt")};
    });
    agent.FullInit();
    EXPECT_EQ(agent.GetDatasetPolicy(L"Battery", 0).dataset_id(), L"DDDD-4444") << "a restart replaces the copy";
    EXPECT_TRUE(agent.GetDatasetPolicy(L"AAAA-1111", 1).dataset_id().empty());
    agent.UnInit();
}

TEST_F(PolicyAccessTest, HelperReadsThePolicyAfreshAndGivesTheIncludeListOfOneDataset) {
    ZEL::DataSet first = MakeDataSet(L"AAAA-1111", L"Battery", L"KTA", L"nrt");
    first.set_include_events({L"Charge", L"Health"});
    ZEL::DataSet second = MakeDataSet(L"AAAA-1111", L"Battery2", L"KTA", L"nrt");
    second.set_include_events({L"Other"});
    m_config->ChangePolicy([&](ZEL::TelemetryPolicy& policy) { policy.datasets = {first, second}; });
    ZEL::DataSync::ConfigPolicyHelper helper;
    Events events = {L"previous"};
    helper.GetIncludeEventsForDataset(L"aaaa-1111", events);
    EXPECT_EQ(events, Events{L"previous"}) << "the id is matched exactly";
    helper.GetIncludeEventsForDataset(L"AAAA-1111", events);
    EXPECT_EQ(events, (Events{L"Charge", L"Health"})) << "the first dataset with that id";

    m_config->ChangePolicy([](ZEL::TelemetryPolicy& changed) { changed.navsUrl = L"https://two.example.com/"; });
    EXPECT_EQ(helper.GetTelemetryPolicy()->navsUrl, L"https://two.example.com/");
    m_config->SetReadFails(true);
    const std::unique_ptr<ZEL::TelemetryPolicy> failed = helper.GetTelemetryPolicy();
    ASSERT_NE(failed, nullptr) << "a failed read still gives a policy";
    EXPECT_TRUE(failed->navsUrl.empty());
    zel::AgentFactory::GetInstance()->SetConfigPolicyAgent(nullptr);
    EXPECT_EQ(helper.GetTelemetryPolicy(), nullptr);
}

}  // namespace
