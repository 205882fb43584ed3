// One dataset's policy from the agent's copy, and the include list the uploaders read afresh.
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
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& p) { p.datasets = {MakeDataSet(L"DDDD-4444", L"Battery", L"NAVP", L"nrt")}; });
    agent.FullInit();
    EXPECT_EQ(agent.GetDatasetPolicy(L"Battery", 0).dataset_id(), L"DDDD-4444") << "a restart replaces the copy";
    EXPECT_TRUE(agent.GetDatasetPolicy(L"AAAA-1111", 1).dataset_id().empty());
    agent.UnInit();
}

TEST_F(PolicyAccessTest, IncludeListIsReadAfreshForTheFirstDatasetWithExactlyThatId) {
    ZEL::DataSet first = MakeDataSet(L"AAAA-1111", L"Battery", L"KTA", L"nrt"), second = first;
    first.set_include_events({L"Charge", L"Health"});
    second.set_include_events({L"Other"});
    m_config->ChangePolicy([&](ZEL::TelemetryPolicy& policy) { policy.datasets = {second}; });
    ZEL::DataSync::ConfigPolicyHelper helper;
    Events events = {L"previous"};
    helper.GetIncludeEventsForDataset(L"aaaa-1111", events);
    EXPECT_EQ(events, Events{L"previous"}) << "the id is matched exactly";
    m_config->ChangePolicy([&](ZEL::TelemetryPolicy& policy) { policy.datasets = {first, second}; });
    helper.GetIncludeEventsForDataset(L"AAAA-1111", events);
    EXPECT_EQ(events, (Events{L"Charge", L"Health"}));
}

}  // namespace
