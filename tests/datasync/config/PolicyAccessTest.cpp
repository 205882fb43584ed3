// One dataset's policy from the agent's copy of the policy.
#include "support/AgentHarness.h"

namespace {

using testsupport::MakeDataSet;

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
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& p) { p.datasets = {MakeDataSet(L"DDDD-4444", L"Battery", L"NAVP", L"nrt")}; });
    agent.FullInit();
    EXPECT_EQ(agent.GetDatasetPolicy(L"Battery", 0).dataset_id(), L"DDDD-4444") << "a restart replaces the copy";
    EXPECT_TRUE(agent.GetDatasetPolicy(L"AAAA-1111", 1).dataset_id().empty());
    agent.UnInit();
}

}  // namespace
