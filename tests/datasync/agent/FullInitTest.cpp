// FullInit: what stops it from starting (a failed policy read, scope "none"), a second call
// restarting with the freshly read policy, the NRT database list and scheduled intervals built
// from the enabled datasets, and the DEVICE_ONLINE request queued at start when the last
// notifications say the device is online and registered.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/AgentHarness.h"

namespace {

using testsupport::MakeDataSet;

const wchar_t* const kDeviceContextDatasetId = L"03D21916-F27E-41EB-B8B3-77372521FBC7";

std::vector<std::string> NrtDatabases(const Json::Value& status) {
    std::vector<std::string> names;
    for (const Json::Value& name : status["nrt_databases"]) names.push_back(name.asString());
    return names;
}

std::map<std::string, unsigned> ScheduledIntervals(const Json::Value& status) {
    std::map<std::string, unsigned> intervals;
    const Json::Value& scheduled = status["scheduled_datasets"];
    for (const std::string& id : scheduled.getMemberNames()) intervals[id] = scheduled[id].asUInt();
    return intervals;
}

class FullInitTest : public testsupport::AgentHarness {};

TEST_F(FullInitTest, FailedPolicyReadOrScopeNoneStartsNothingButCompletesFullInit) {
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) {
        policy.datasets = {MakeDataSet(L"DS-1", L"A", L"KTA", L"nrt")};
    });
    const struct {
        const char* name;
        const wchar_t* scope;
        bool readFails, started;
    } cases[] = {{"failed read", testsupport::kActiveScope, true, false},
                 {"scope none", L"none", false, false},
                 {"scope NONE", L"nOnE", false, false},
                 {"scope no", L"no", false, true},
                 {"scope nonexistent", L"nonexistent", false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_config->ChangePolicy([&c](ZEL::TelemetryPolicy& policy) { policy.telemetryScope = c.scope; });
        m_config->SetReadFails(c.readFails);
        DataSyncAgent agent;
        agent.Init(m_stop);
        agent.FullInit();
        const Json::Value status = agent.GetStatusSnapshot();
        EXPECT_EQ(status["agent"]["started"].asBool(), c.started);
        EXPECT_TRUE(status["agent"]["full_init_done"].asBool());
        EXPECT_EQ(status["nrt_databases"].empty(), !c.started);
        agent.UnInit();
        EXPECT_FALSE(agent.GetStatusSnapshot()["agent"]["started"].asBool());
    }
    EXPECT_TRUE(Logged("failed due to GetTelemetryPolicy failed"));
    // No configuration agent at all reads as a failure too.
    m_config->SetReadFails(false);
    zel::AgentFactory::GetInstance()->SetConfigPolicyAgent(nullptr);
    DataSyncAgent agent;
    agent.Init(m_stop);
    agent.FullInit();
    EXPECT_FALSE(agent.GetStatusSnapshot()["agent"]["started"].asBool());
    agent.UnInit();
}

TEST_F(FullInitTest, SecondFullInitStopsAndStartsAgainWithTheFreshlyReadPolicy) {
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) { policy.telemetryScope = L"none"; });
    DataSyncAgent agent;
    agent.Init(m_stop);
    agent.FullInit();
    ASSERT_FALSE(agent.GetStatusSnapshot()["agent"]["started"].asBool());

    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) {
        policy.telemetryScope = testsupport::kActiveScope;
        policy.primaryUrl = L"https://first.example.com/";
    });
    agent.FullInit();
    Json::Value status = agent.GetStatusSnapshot();
    EXPECT_TRUE(status["agent"]["started"].asBool());
    EXPECT_EQ(status["families"]["KTA"]["url"].asString(), "https://first.example.com/");

    // A restart whose read fails leaves the agent stopped.
    m_config->SetReadFails(true);
    agent.FullInit();
    status = agent.GetStatusSnapshot();
    EXPECT_FALSE(status["agent"]["started"].asBool());
    EXPECT_TRUE(status["agent"]["full_init_done"].asBool());
    EXPECT_TRUE(Logged("NullInit: finish"));
    EXPECT_EQ(m_config->ReadCount(), 3);
    agent.UnInit();
}

TEST_F(FullInitTest, EnabledDatasetsFillTheNrtListAndTheScheduledIntervals) {
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) {
        policy.datasets = {
            MakeDataSet(L"11111111-AAAA", L"A", L"NAVS", L"nrt"),
            MakeDataSet(L"22222222-BBBB", L"B", L"KTA", L"NRT"),
            MakeDataSet(kDeviceContextDatasetId, L"DeviceContext", L"KTA", L"Nrt"),
            MakeDataSet(L"33333333-CCCC", L"C", L"KTA", L"nrt", false),
            MakeDataSet(L"44444444-DDDD", L"D", L"KTA", L"15m"),
            MakeDataSet(L"55555555-EEEE", L"E", L"NAVS", L"PT1H"),
            MakeDataSet(L"66666666-FFFF", L"F", L"KTA", L"1d", false),
        };
    });
    DataSyncAgent agent;
    agent.Init(m_stop);
    agent.FullInit();
    Json::Value status = agent.GetStatusSnapshot();
    EXPECT_EQ(NrtDatabases(status), (std::vector<std::string>{
                                        "11111111-AAAA_ItemEvent.sqlite3",
                                        "11111111-AAAA_DatasetContext.sqlite3",
                                        "22222222-BBBB_ItemEvent.sqlite3",
                                        "22222222-BBBB_DatasetContext.sqlite3",
                                        "DeviceContext.sqlite3",
                                    }));
    EXPECT_EQ(ScheduledIntervals(status),
              (std::map<std::string, unsigned>{{"44444444-DDDD", 900}, {"55555555-EEEE", 3600}}));

    agent.UnInit();
}

TEST_F(FullInitTest, DeviceOnlineIsQueuedAtStartOnlyWhenTheLastStatesSayOnlineAndRegistered) {
    struct Case {
        const char* name;
        int registrationState;  // last state of topic 2
        int readyState;         // last state of topic 6
        bool transportRegistered;
        bool online;
        bool registered;
    };
    const Case cases[] = {
        {"registered by the bus (11), online", ZEL::STATE_REGISTRATION_DONE_ALT, ZEL::STATE_DONE, false, true, true},
        {"registered by the transport, online", ZEL::STATE_REGISTRATION_CHANGED, ZEL::STATE_DONE, true, true, true},
        {"not registered, online", ZEL::STATE_REGISTRATION_CHANGED, ZEL::STATE_DONE, false, true, false},
        {"registered, offline", ZEL::STATE_DONE, ZEL::STATE_NONE, true, false, true},
        {"registration requested, ready state not done", ZEL::STATE_REGISTRATION_REQUESTED,
         ZEL::STATE_REGISTRATION_DONE_ALT, false, false, false},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        m_logs.Clear();
        m_transport.SetRegistered(testCase.transportRegistered);
        // Published before the agent subscribes: only the recorded last states reach it.
        Publish(ZEL::TOPIC_DEVICE_REGISTRATION, testCase.registrationState);
        Publish(ZEL::TOPIC_DEVICE_READY, testCase.readyState);
        ASSERT_TRUE(WaitBusIdle());

        DataSyncAgent agent;
        agent.Init(m_stop);
        agent.FullInit();
        const Json::Value status = agent.GetStatusSnapshot();
        EXPECT_EQ(status["agent"]["online"].asBool(), testCase.online);
        EXPECT_EQ(status["agent"]["registered"].asBool(), testCase.registered);
        const bool queued = testCase.online && testCase.registered;
        EXPECT_EQ(status["queue_length"].asUInt64(), queued ? 1u : 0u);
        EXPECT_EQ(Logged("FullInit: putmsg DEVICE_REGISTRATION ok"), queued);
        agent.UnInit();
    }
}

}  // namespace
