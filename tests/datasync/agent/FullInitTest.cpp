#include "support/AgentHarness.h"

namespace {

using testsupport::MakeDataSet;

class FullInitTest : public testsupport::AgentHarness {};

TEST_F(FullInitTest, EachFullInitStartsAfreshWithFreshBackoffUnlessThePolicyReadFailsOrTheScopeIsNone) {
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& p) { p.datasets = {MakeDataSet(L"DS-1", L"A", L"KTA", L"nrt")}; });
    const wchar_t* const active = testsupport::kActiveScope;
    const struct { const wchar_t* scope; bool readFails, noAgent, started; } steps[] = {
        {L"none", false, false, false}, {L"nOnE", false, false, false}, {L"no", false, false, true},
        {L"nonexistent", false, false, true}, {active, true, false, false} /* failed read */,
        {active, false, false, true}, {active, false, true, false} /* no configuration agent */};
    DataSyncAgent agent;  // each step restarts it
    agent.Init(m_stop);
    for (const auto& step : steps) {
        SCOPED_TRACE(testing::Message() << std::wstring(step.scope) << step.readFails << step.noAgent);
        m_config->ChangePolicy([&step](ZEL::TelemetryPolicy& policy) { policy.telemetryScope = step.scope; });
        m_config->SetReadFails(step.readFails);
        if (step.noAgent) zel::AgentFactory::GetInstance()->SetConfigPolicyAgent(nullptr);
        agent.SetRetryInfo(SyncEP::SyncEP_KTA, {1800000, 0, 0, 11, false, {1, 0, 11}});  // waiting, and blocked
        agent.FullInit();
        const Json::Value status = agent.GetStatusSnapshot()["agent"];
        EXPECT_EQ(status["started"].asBool(), step.started);
        EXPECT_TRUE(status["full_init_done"].asBool());
        DataSyncAgent::RetryInfo record;
        EXPECT_TRUE(agent.GetRetryInfo(SyncEP::SyncEP_KTA, record) && record._sync_allowed && !record._backoff_delay &&
                    record._retry_counts == std::vector<std::uint32_t>(3, 0)) << "a fresh back-off record";
    }
    EXPECT_EQ(Starts(), 7) << "each call starts afresh";
    agent.UnInit();
    EXPECT_FALSE(agent.GetStatusSnapshot()["agent"]["started"].asBool());
}

TEST_F(FullInitTest, EnabledDatasetsFillTheNrtListAndTheScheduledIntervals) {
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) {
        policy.datasets = {MakeDataSet(L"11111111-AAAA", L"A", L"NAVS", L"nrt"),
                           MakeDataSet(L"22222222-BBBB", L"B", L"KTA", L"NRT"),
                           MakeDataSet(L"03D21916-F27E-41EB-B8B3-77372521FBC7", L"DeviceContext", L"KTA", L"Nrt"),
                           MakeDataSet(L"33333333-CCCC", L"C", L"KTA", L"nrt", false),
                           MakeDataSet(L"44444444-DDDD", L"D", L"KTA", L"15m"),
                           MakeDataSet(L"55555555-EEEE", L"E", L"NAVS", L"PT1H"),
                           MakeDataSet(L"66666666-FFFF", L"F", L"KTA", L"1d", false)};
    });
    DataSyncAgent agent;
    Start(agent);
    const Json::Value status = agent.GetStatusSnapshot();
    std::string nrt;
    for (const Json::Value& name : status["nrt_databases"]) nrt += name.asString() + " ";
    EXPECT_EQ(nrt, "11111111-AAAA_ItemEvent.sqlite3 11111111-AAAA_DatasetContext.sqlite3 "
                   "22222222-BBBB_ItemEvent.sqlite3 22222222-BBBB_DatasetContext.sqlite3 DeviceContext.sqlite3 ");
    Json::Value scheduled;
    scheduled["44444444-DDDD"] = 900u;
    scheduled["55555555-EEEE"] = 3600u;
    EXPECT_EQ(status["scheduled_datasets"], scheduled);
}

TEST_F(FullInitTest, DeviceOnlineIsQueuedAtStartOnlyWhenTheLastStatesSayOnlineAndRegistered) {
    const struct { int registrationState, readyState; bool transportRegistered, online, registered; } cases[] = {
        {ZEL::STATE_REGISTRATION_DONE_ALT, ZEL::STATE_DONE, false, true, true},  // registered by the bus (11)
        {ZEL::STATE_REGISTRATION_CHANGED, ZEL::STATE_DONE, true, true, true},    // ... by the transport
        {ZEL::STATE_REGISTRATION_CHANGED, ZEL::STATE_DONE, false, true, false},
        {ZEL::STATE_DONE, ZEL::STATE_NONE, true, false, true},
        {ZEL::STATE_REGISTRATION_REQUESTED, ZEL::STATE_REGISTRATION_DONE_ALT, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.registrationState << " " << c.readyState << " " << c.transportRegistered);
        m_transport.SetRegistered(c.transportRegistered);
        // Published before the agent subscribes: only the recorded last states reach it.
        Publish(ZEL::TOPIC_DEVICE_REGISTRATION, c.registrationState);
        Publish(ZEL::TOPIC_DEVICE_READY, c.readyState);
        ASSERT_TRUE(WaitBusIdle());
        DataSyncAgent agent;
        Start(agent);
        const Json::Value status = agent.GetStatusSnapshot();
        EXPECT_EQ(std::tuple(status["agent"]["online"].asBool(), status["agent"]["registered"].asBool()),
                  std::tuple(c.online, c.registered));
        EXPECT_EQ(status["queue_length"].asUInt64(), c.online && c.registered ? 1u : 0u);
    }
}

}  // namespace
