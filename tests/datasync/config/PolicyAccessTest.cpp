// Looking up one dataset's policy in the agent's copy of the policy, and the uploaders' policy
// helper: a fresh read each time, the include list of one dataset.
#include <gtest/gtest.h>

#include "datasync/config/ConfigPolicyHelper.h"
#include "support/AgentHarness.h"

namespace {

using testsupport::MakeDataSet;

class PolicyAccessTest : public testsupport::AgentHarness {};

TEST_F(PolicyAccessTest, DatasetPolicyByIdIsExactAndByNameGivesTheFirstMatch) {
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) {
        policy.datasets = {MakeDataSet(L"AAAA-1111", L"Battery", L"KTA", L"nrt"),
                           MakeDataSet(L"BBBB-2222", L"Battery", L"NAVS", L"1h"),
                           MakeDataSet(L"CCCC-3333", L"Storage", L"KTA", L"15m")};
    });
    DataSyncAgent agent;
    agent.Init(m_stop);
    EXPECT_TRUE(agent.GetDatasetPolicy(L"AAAA-1111", 1).dataset_id().empty()) << "no policy read yet";

    agent.FullInit();
    EXPECT_EQ(agent.GetDatasetPolicy(L"BBBB-2222", 1).syncEPs(), L"NAVS");
    EXPECT_EQ(agent.GetDatasetPolicy(L"CCCC-3333", 1).dataset_name(), L"Storage");
    EXPECT_TRUE(agent.GetDatasetPolicy(L"bbbb-2222", 1).dataset_id().empty());
    EXPECT_TRUE(agent.GetDatasetPolicy(L"Battery", 1).dataset_id().empty()) << "a name is no id";

    const ZEL::DataSet byName = agent.GetDatasetPolicy(L"Battery", 0);
    EXPECT_EQ(byName.dataset_id(), L"AAAA-1111");
    EXPECT_EQ(byName.syncEP_frequency(), L"nrt");
    EXPECT_TRUE(agent.GetDatasetPolicy(L"AAAA-1111", 0).dataset_id().empty()) << "an id is no name";
    EXPECT_TRUE(agent.GetDatasetPolicy(L"Missing", 0).dataset_id().empty());

    // A restart replaces the agent's copy.
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) {
        policy.datasets = {MakeDataSet(L"DDDD-4444", L"Battery", L"NAVP", L"nrt")};
    });
    agent.FullInit();
    EXPECT_EQ(agent.GetDatasetPolicy(L"Battery", 0).dataset_id(), L"DDDD-4444");
    EXPECT_TRUE(agent.GetDatasetPolicy(L"AAAA-1111", 1).dataset_id().empty());
    agent.UnInit();
}

TEST_F(PolicyAccessTest, HelperReadsThePolicyAfreshAndGivesTheIncludeListOfOneDataset) {
    ZEL::DataSet first = MakeDataSet(L"AAAA-1111", L"Battery", L"KTA", L"nrt");
    first.set_include_events({L"Charge", L"Health"});
    ZEL::DataSet second = MakeDataSet(L"AAAA-1111", L"Battery2", L"KTA", L"nrt");
    second.set_include_events({L"Other"});
    m_config->ChangePolicy([&](ZEL::TelemetryPolicy& policy) {
        policy.navsUrl = L"https://one.example.com/";
        policy.datasets = {first, second};
    });
    ZEL::DataSync::ConfigPolicyHelper helper;
    ASSERT_NE(helper.GetTelemetryPolicy(), nullptr);
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& changed) { changed.navsUrl = L"https://two.example.com/"; });
    std::unique_ptr<ZEL::TelemetryPolicy> policy = helper.GetTelemetryPolicy();
    ASSERT_NE(policy, nullptr);
    EXPECT_EQ(policy->navsUrl, L"https://two.example.com/");
    EXPECT_EQ(m_config->ReadCount(), 2);

    std::list<std::wstring> events = {L"previous"};
    helper.GetIncludeEventsForDataset(L"AAAA-1111", events);
    EXPECT_EQ(events, (std::list<std::wstring>{L"Charge", L"Health"})) << "the first dataset with exactly that id";
    events = {L"previous"};
    helper.GetIncludeEventsForDataset(L"aaaa-1111", events);
    EXPECT_EQ(events, std::list<std::wstring>{L"previous"});

    m_config->SetReadFails(true);
    policy = helper.GetTelemetryPolicy();
    ASSERT_NE(policy, nullptr) << "a failed read still gives a policy";
    EXPECT_TRUE(policy->navsUrl.empty());

    zel::AgentFactory::GetInstance()->SetConfigPolicyAgent(nullptr);
    EXPECT_EQ(helper.GetTelemetryPolicy(), nullptr);
    helper.GetIncludeEventsForDataset(L"AAAA-1111", events);
    EXPECT_EQ(events, std::list<std::wstring>{L"previous"});
}

}  // namespace
