#include <future>

#include "support/AgentHarness.h"

namespace {

using testsupport::QueueLength;
using Kind = ZEL::ZELNotificationData::Kind;

const char* const kGraceStarted = "Waiting for 500 ms for full initialization to complete";

class NotificationsTest : public testsupport::AgentHarness {
protected:
    void Deliver(int topic, int state, Kind kind = Kind::Plain) {
        Publish(topic, state, kind);
        ASSERT_TRUE(WaitBusIdle());
    }
    void DeliverCommand(const std::wstring& action, const std::wstring& message,
                        const std::map<std::wstring, std::wstring>& fields = {}) {
        PublishCommand(action, message, fields);
        ASSERT_TRUE(WaitBusIdle());
    }
    static Json::UInt BackoffResetDelay(DataSyncAgent& agent) {
        return agent.GetStatusSnapshot()["agent"]["backoff_reset_delay_minutes"].asUInt();
    }
};

TEST_F(NotificationsTest, BeforeFullInitOnlyDeviceStateTopicsWaitAndTheRestIsDroppedAtOnce) {
    for (bool fullInitInTheGrace : {false, true}) {
        SCOPED_TRACE(fullInitInTheGrace ? "full init during the grace" : "no full init");
        m_logs.Clear();
        m_transport.SetRegistered(true);
        DataSyncAgent agent;
        agent.Init(m_stop);
        Publish(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE, Kind::Extension);  // ignored: neither waits nor is dropped
        Publish(ZEL::TOPIC_TELEMETRY_POLICY, ZEL::STATE_POLICY_CHANGED);
        Publish(ZEL::TOPIC_SYSTEM_TIME, 0);
        PublishCommand(L"run", L"removeDevice");
        // The publisher delivers: it waits out the grace on its own thread.
        auto publisher = std::async(std::launch::async, [this] { Publish(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE); });
        ASSERT_TRUE(testsupport::WaitUntil([this] { return Logged(kGraceStarted); }));
        if (fullInitInTheGrace) agent.FullInit();
        publisher.get();
        EXPECT_EQ(Starts(), fullInitInTheGrace ? 1 : 0) << "nothing restarted";
        EXPECT_EQ(CountLogged(kGraceStarted), 1);
        // FullInit queues one request (online by the recorded state), the notification in the grace one more.
        if (!fullInitInTheGrace) agent.FullInit();
        EXPECT_EQ(QueueLength(agent), fullInitInTheGrace ? 2u : 1u);
    }
}

TEST_F(NotificationsTest, NotificationsDuringARestartAreKeptInOrderAndHandledOnceItIsDone) {
    Deliver(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE);
    DataSyncAgent agent;
    Start(agent);
    m_logs.HoldAt({"NullInit: finish"});  // the restart, with the agent stopped
    auto restart = std::async(std::launch::async, [&agent] { agent.FullInit(); });
    ASSERT_TRUE(m_logs.WaitUntilHeld());
    for (int state : {ZEL::STATE_DONE, ZEL::STATE_NONE}) Deliver(ZEL::TOPIC_DEVICE_READY, state);  // ends offline
    DeliverCommand(L"run", L"removeDevice");
    m_logs.HoldAt({});
    restart.wait();
    EXPECT_FALSE(agent.GetStatusSnapshot()["agent"]["online"].asBool()) << "offline last";
    EXPECT_EQ(CountLogged("Received removeDevice"), 1) << "and the command handled";
}

TEST_F(NotificationsTest, DeviceReadyAndRegistrationStatesSetTheFlagsAndQueueDeviceOnlineWhenBothHold) {
    DataSyncAgent agent;
    Start(agent);
    const auto flags = [&agent] {
        const Json::Value status = agent.GetStatusSnapshot();
        return std::string(status["agent"]["online"].asBool() ? "online" : "offline") +
               (status["agent"]["registered"].asBool() ? " registered " : " unregistered ") +
               std::to_string(QueueLength(agent));
    };
    const int ready = ZEL::TOPIC_DEVICE_READY, reg = ZEL::TOPIC_DEVICE_REGISTRATION;
    const struct { int topic, state; bool transportRegistered; const char* after; } steps[] = {
        {ready, ZEL::STATE_DONE, false, "online unregistered 0"}, {ready, ZEL::STATE_NONE, false, "offline unregistered 0"},
        {reg, ZEL::STATE_DONE, false, "offline registered 0"},    {ready, ZEL::STATE_DONE, false, "online registered 1"},
        {ready, ZEL::STATE_REGISTRATION_DONE_ALT, false, "online registered 1"},  // other states
        {reg, ZEL::STATE_REGISTRATION_CHANGED, false, "online unregistered 1"},
        {reg, ZEL::STATE_REGISTRATION_DONE_ALT, false, "online registered 2"},
        {reg, ZEL::STATE_REGISTRATION_CHANGED, true, "online registered 2"},
        {reg, ZEL::STATE_REGISTRATION_CHANGED, false, "online unregistered 2"},
        {reg, ZEL::STATE_REGISTRATION_RENEWAL, false, "online unregistered 2"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(testing::Message() << "topic " << step.topic << " state " << step.state);
        m_transport.SetRegistered(step.transportRegistered);
        Deliver(step.topic, step.state);
        EXPECT_EQ(flags(), step.after);
    }
}

TEST_F(NotificationsTest, PolicyChangeRestartsOnlyOnItsStateAndSystemTimeOnAnyState) {
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) { policy.primaryUrl = L"https://first.example.com/"; });
    DataSyncAgent agent;
    Start(agent);
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) { policy.primaryUrl = L"https://second.example.com/"; });
    Deliver(ZEL::TOPIC_TELEMETRY_POLICY, ZEL::STATE_DEVICE_CONTEXT_CHANGED);
    Deliver(ZEL::TOPIC_TELEMETRY_POLICY, ZEL::STATE_POLICY_CHANGED, Kind::Extension);
    EXPECT_EQ(Starts(), 1) << "another state or an extension notification restarts nothing";

    Deliver(ZEL::TOPIC_TELEMETRY_POLICY, ZEL::STATE_POLICY_CHANGED);
    EXPECT_EQ(Starts(), 2);
    EXPECT_EQ(agent.GetStatusSnapshot()["families"]["KTA"]["url"].asString(), "https://second.example.com/");
    for (int state : {0, 99}) Deliver(ZEL::TOPIC_SYSTEM_TIME, state);
    EXPECT_EQ(Starts(), 4);
    EXPECT_TRUE(agent.GetStatusSnapshot()["agent"]["started"].asBool());
}

TEST_F(NotificationsTest, ServerCommandsMatchTheirActionAsDocumented) {
    DataSyncAgent agent;
    Start(agent);
    EXPECT_EQ(BackoffResetDelay(agent), 15u);
    DeliverCommand(L"set", L"resetBackOffState");
    EXPECT_EQ(BackoffResetDelay(agent), 15u) << "no randomDelay keeps the delay";
    DeliverCommand(L"set", L"RESETBACKOFFSTATE", {{L"randomDelay", L"30"}});
    EXPECT_EQ(BackoffResetDelay(agent), 30u);
    DeliverCommand(L"SET", L"resetBackOffState", {{L"randomDelay", L"45"}});  // the action is exact
    DeliverCommand(L"run", L"resetBackOffState", {{L"randomDelay", L"45"}});
    EXPECT_EQ(BackoffResetDelay(agent), 30u);
    DeliverCommand(L"set", L"resetBackOffState", {{L"randomDelay", L"soon"}});
    EXPECT_EQ(BackoffResetDelay(agent), 0u) << "not a number";
    Publish(0, 0, Kind::KTA,
            LR"({"command":{"action":"set","message":"resetBackOffState","fields":{"randomDelay":20}}})");
    ASSERT_TRUE(WaitBusIdle());
    EXPECT_EQ(BackoffResetDelay(agent), 20u) << "a numeric field reads as its number";

    for (const wchar_t* action : {L"RUN", L"set", L"runs"}) DeliverCommand(action, L"REMOVEDEVICE");  // "run" in any case
    EXPECT_EQ(CountLogged("Received removeDevice"), 1);

    for (const wchar_t* action : {L"run", L"Run", L"set"}) DeliverCommand(action, L"SENDTELEMETRY");  // exactly "run"
    EXPECT_EQ(CountLogged("Received sendTelemetry command!"), 1);
}

}  // namespace
