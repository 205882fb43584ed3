// The agent's reaction to bus notifications: the grace that device-state notifications get
// before full initialisation and the drop of everything else, device ready and registration
// states with the DEVICE_ONLINE request they queue, restarts on policy and system-time changes,
// extension notifications, and the server commands.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/AgentHarness.h"

namespace {

using testsupport::QueueLength;
using Kind = ZEL::ZELNotificationData::Kind;

const char* const kNotReady = "Not ready to receive notifications";
const char* const kGraceStarted = "Waiting for 500 ms for full initialization to complete";

class NotificationsTest : public testsupport::AgentHarness {
protected:
    void Start(DataSyncAgent& agent) {
        agent.Init(m_stop);
        agent.FullInit();
        ASSERT_TRUE(agent.IsFullInitDone());
    }
    // Publishes one notification and waits until the agent has handled it.
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
    DataSyncAgent agent;
    agent.Init(m_stop);

    Publish(ZEL::TOPIC_TELEMETRY_POLICY, ZEL::STATE_POLICY_CHANGED);
    Publish(ZEL::TOPIC_SYSTEM_TIME, 0);
    PublishCommand(L"run", L"removeDevice");
    ASSERT_TRUE(WaitBusIdle());
    EXPECT_EQ(CountLogged(kNotReady), 3);
    EXPECT_FALSE(Logged(kGraceStarted));
    EXPECT_FALSE(Logged("Received removeDevice"));
    EXPECT_EQ(m_config->ReadCount(), 0) << "nothing restarted";

    m_transport.SetRegistered(true);
    Deliver(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE);
    EXPECT_EQ(CountLogged(kGraceStarted), 1);
    EXPECT_TRUE(Logged("Not ready to receive notifications as full initialization is not completed! topic id : 6"));
    EXPECT_FALSE(Logged("Get Device_Ready Notificaton:online!"));
    EXPECT_FALSE(agent.GetStatusSnapshot()["agent"]["online"].asBool());

    Deliver(ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_DONE);
    EXPECT_EQ(CountLogged(kGraceStarted), 2);
    EXPECT_FALSE(Logged("DEVICE_REGISTRATION!"));

    // The dropped notifications still count through their recorded last states.
    agent.FullInit();
    const Json::Value status = agent.GetStatusSnapshot();
    EXPECT_TRUE(status["agent"]["online"].asBool());
    EXPECT_TRUE(status["agent"]["registered"].asBool());
    agent.UnInit();
}

TEST_F(NotificationsTest, DeviceStateArrivingJustBeforeFullInitIsHandledWhenFullInitCompletesInTheGrace) {
    {
        m_transport.SetRegistered(true);
        DataSyncAgent agent;
        agent.Init(m_stop);
        Publish(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE);
        ASSERT_TRUE(testsupport::WaitUntil([this] { return Logged(kGraceStarted); }));
        agent.FullInit();
        ASSERT_TRUE(WaitBusIdle());
        EXPECT_TRUE(Logged("Device is full initialized during the wait!"));
        EXPECT_TRUE(Logged("Get Device_Ready Notificaton:online!"));
        EXPECT_TRUE(Logged("OnNotification: putmsg DEVICE_READY ok"));
        EXPECT_FALSE(Logged(kNotReady));
        // One request from FullInit (online by the recorded state), one from the notification.
        EXPECT_EQ(QueueLength(agent), 2u);
        agent.UnInit();
    }
    m_logs.Clear();
    {
        m_transport.SetRegistered(false);
        DataSyncAgent agent;
        agent.Init(m_stop);
        Publish(ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_REGISTRATION_DONE_ALT);
        ASSERT_TRUE(testsupport::WaitUntil([this] { return Logged(kGraceStarted); }));
        agent.FullInit();
        ASSERT_TRUE(WaitBusIdle());
        EXPECT_TRUE(Logged("Device is full initialized during the wait!"));
        EXPECT_TRUE(Logged("OnNotification: DEVICE_REGISTRATION!"));
        EXPECT_FALSE(Logged(kNotReady));
        EXPECT_TRUE(agent.GetStatusSnapshot()["agent"]["registered"].asBool());
        agent.UnInit();
    }
}

TEST_F(NotificationsTest, DeviceReadySetsAndClearsOnlineAndQueuesDeviceOnlineOnlyWhenRegistered) {
    DataSyncAgent agent;
    Start(agent);
    ASSERT_FALSE(agent.GetStatusSnapshot()["agent"]["registered"].asBool());

    Deliver(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE);
    EXPECT_TRUE(agent.GetStatusSnapshot()["agent"]["online"].asBool());
    EXPECT_EQ(QueueLength(agent), 0u) << "not registered";
    EXPECT_FALSE(Logged("putmsg DEVICE_READY"));

    Deliver(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_NONE);
    EXPECT_FALSE(agent.GetStatusSnapshot()["agent"]["online"].asBool());

    // Registered while offline: nothing queued until the device comes online.
    Deliver(ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_DONE);
    ASSERT_TRUE(agent.GetStatusSnapshot()["agent"]["registered"].asBool());
    EXPECT_EQ(QueueLength(agent), 0u);

    Deliver(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE);
    EXPECT_TRUE(agent.GetStatusSnapshot()["agent"]["online"].asBool());
    EXPECT_EQ(QueueLength(agent), 1u);
    EXPECT_EQ(CountLogged("putmsg DEVICE_READY ok"), 1);

    // Other states of the topic change nothing.
    Deliver(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_REGISTRATION_DONE_ALT);
    EXPECT_TRUE(agent.GetStatusSnapshot()["agent"]["online"].asBool());
    EXPECT_EQ(QueueLength(agent), 1u);

    Deliver(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_NONE);
    EXPECT_FALSE(agent.GetStatusSnapshot()["agent"]["online"].asBool());
    EXPECT_EQ(QueueLength(agent), 1u);
    agent.UnInit();
}

TEST_F(NotificationsTest, RegistrationDoneSetsRegisteredAndChangedAsksTheTransport) {
    Publish(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE);  // recorded: online from the start
    ASSERT_TRUE(WaitBusIdle());
    DataSyncAgent agent;
    Start(agent);
    ASSERT_TRUE(agent.GetStatusSnapshot()["agent"]["online"].asBool());
    ASSERT_FALSE(agent.GetStatusSnapshot()["agent"]["registered"].asBool());
    ASSERT_EQ(QueueLength(agent), 0u);

    Deliver(ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_DONE);
    EXPECT_TRUE(agent.GetStatusSnapshot()["agent"]["registered"].asBool());
    EXPECT_EQ(QueueLength(agent), 1u);

    Deliver(ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_REGISTRATION_CHANGED);  // transport: not registered
    EXPECT_FALSE(agent.GetStatusSnapshot()["agent"]["registered"].asBool());

    Deliver(ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_REGISTRATION_DONE_ALT);
    EXPECT_TRUE(agent.GetStatusSnapshot()["agent"]["registered"].asBool());
    EXPECT_EQ(QueueLength(agent), 2u);
    EXPECT_EQ(CountLogged("OnNotification: putmsg DEVICE_REGISTRATION ok"), 2);

    m_transport.SetRegistered(true);
    Deliver(ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_REGISTRATION_CHANGED);
    EXPECT_TRUE(agent.GetStatusSnapshot()["agent"]["registered"].asBool());
    EXPECT_EQ(QueueLength(agent), 2u) << "a changed registration queues nothing";

    m_transport.SetRegistered(false);
    Deliver(ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_REGISTRATION_CHANGED);
    EXPECT_FALSE(agent.GetStatusSnapshot()["agent"]["registered"].asBool());

    Deliver(ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_REGISTRATION_RENEWAL);
    EXPECT_FALSE(agent.GetStatusSnapshot()["agent"]["registered"].asBool());

    // Offline: registered, but nothing queued.
    Deliver(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_NONE);
    Deliver(ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_DONE);
    EXPECT_TRUE(agent.GetStatusSnapshot()["agent"]["registered"].asBool());
    EXPECT_EQ(QueueLength(agent), 2u);
    agent.UnInit();
}

TEST_F(NotificationsTest, PolicyChangeRestartsOnlyOnItsStateAndSystemTimeOnAnyState) {
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) { policy.primaryUrl = L"https://first.example.com/"; });
    DataSyncAgent agent;
    Start(agent);
    ASSERT_EQ(m_config->ReadCount(), 1);
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) { policy.primaryUrl = L"https://second.example.com/"; });

    Deliver(ZEL::TOPIC_TELEMETRY_POLICY, ZEL::STATE_DONE);
    Deliver(ZEL::TOPIC_TELEMETRY_POLICY, ZEL::STATE_DEVICE_CONTEXT_CHANGED);
    EXPECT_EQ(m_config->ReadCount(), 1);
    EXPECT_EQ(agent.GetStatusSnapshot()["families"]["KTA"]["url"].asString(), "https://first.example.com/");

    Deliver(ZEL::TOPIC_TELEMETRY_POLICY, ZEL::STATE_POLICY_CHANGED);
    EXPECT_EQ(m_config->ReadCount(), 2);
    Json::Value status = agent.GetStatusSnapshot();
    EXPECT_EQ(status["families"]["KTA"]["url"].asString(), "https://second.example.com/");
    EXPECT_TRUE(status["agent"]["started"].asBool());
    EXPECT_TRUE(status["agent"]["full_init_done"].asBool());
    EXPECT_TRUE(Logged("Telemetry changed, Datasync will restart"));

    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) { policy.primaryUrl = L"https://third.example.com/"; });
    for (int state : {0, 41, 99}) {
        SCOPED_TRACE(state);
        const int before = m_config->ReadCount();
        Deliver(ZEL::TOPIC_SYSTEM_TIME, state);
        EXPECT_EQ(m_config->ReadCount(), before + 1);
    }
    status = agent.GetStatusSnapshot();
    EXPECT_EQ(status["families"]["KTA"]["url"].asString(), "https://third.example.com/");
    EXPECT_TRUE(status["agent"]["started"].asBool());
    EXPECT_EQ(CountLogged("System time changed, Datasync will restart"), 3);
    agent.UnInit();
}

TEST_F(NotificationsTest, ExtensionNotificationsAreIgnoredBeforeAndAfterFullInit) {
    DataSyncAgent agent;
    agent.Init(m_stop);
    Deliver(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE, Kind::Extension);
    Deliver(ZEL::TOPIC_TELEMETRY_POLICY, ZEL::STATE_POLICY_CHANGED, Kind::Extension);
    EXPECT_FALSE(Logged(kGraceStarted));
    EXPECT_FALSE(Logged(kNotReady));

    agent.FullInit();
    // The bus records the last state of every notification, so FullInit reads online.
    ASSERT_TRUE(agent.GetStatusSnapshot()["agent"]["online"].asBool());
    Deliver(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_NONE, Kind::Extension);
    Deliver(ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_DONE, Kind::Extension);
    Deliver(ZEL::TOPIC_SYSTEM_TIME, 0, Kind::Extension);
    Deliver(ZEL::TOPIC_TELEMETRY_POLICY, ZEL::STATE_POLICY_CHANGED, Kind::Extension);
    const Json::Value status = agent.GetStatusSnapshot();
    EXPECT_TRUE(status["agent"]["online"].asBool());
    EXPECT_FALSE(status["agent"]["registered"].asBool());
    EXPECT_EQ(m_config->ReadCount(), 1) << "no restart";
    agent.UnInit();
}

TEST_F(NotificationsTest, ResetBackOffStateNeedsActionSetExactlyAndTakesItsRandomDelay) {
    DataSyncAgent agent;
    Start(agent);
    EXPECT_EQ(BackoffResetDelay(agent), 15u);

    DeliverCommand(L"set", L"resetBackOffState");
    EXPECT_EQ(BackoffResetDelay(agent), 15u) << "no randomDelay keeps the delay";
    EXPECT_EQ(CountLogged("resetBackOffState command received"), 1);
    EXPECT_TRUE(testsupport::WaitUntil([this] { return Logged("HandleResetBackoffState: not available yet"); }));

    DeliverCommand(L"set", L"resetBackOffState", {{L"randomDelay", L"30"}});
    EXPECT_EQ(BackoffResetDelay(agent), 30u);

    DeliverCommand(L"SET", L"resetBackOffState", {{L"randomDelay", L"45"}});
    DeliverCommand(L"Set", L"resetBackOffState", {{L"randomDelay", L"45"}});
    DeliverCommand(L"run", L"resetBackOffState", {{L"randomDelay", L"45"}});
    EXPECT_EQ(BackoffResetDelay(agent), 30u);
    EXPECT_EQ(CountLogged("resetBackOffState command received"), 2);

    DeliverCommand(L"set", L"RESETBACKOFFSTATE", {{L"randomDelay", L"5"}});
    EXPECT_EQ(BackoffResetDelay(agent), 5u);
    DeliverCommand(L"set", L"ResetBackoffState");
    EXPECT_EQ(BackoffResetDelay(agent), 5u);
    EXPECT_EQ(CountLogged("resetBackOffState command received"), 4);

    DeliverCommand(L"set", L"resetBackOffState", {{L"randomDelay", L"soon"}});
    EXPECT_EQ(BackoffResetDelay(agent), 0u) << "not a number";

    // A numeric field reads as its number.
    Publish(0, 0, Kind::KTA,
            LR"({"command":{"action":"set","message":"resetBackOffState","fields":{"randomDelay":20}}})");
    ASSERT_TRUE(WaitBusIdle());
    EXPECT_EQ(BackoffResetDelay(agent), 20u);
    agent.UnInit();
}

TEST_F(NotificationsTest, RemoveDeviceAndSendTelemetryCommandsMatchTheirActionAsDocumented) {
    DataSyncAgent agent;
    Start(agent);

    DeliverCommand(L"run", L"removeDevice");
    DeliverCommand(L"RUN", L"REMOVEDEVICE");
    DeliverCommand(L"Run", L"removedevice");
    EXPECT_EQ(CountLogged("Received removeDevice"), 3);
    DeliverCommand(L"set", L"removeDevice");
    DeliverCommand(L"runs", L"removeDevice");
    EXPECT_EQ(CountLogged("Received removeDevice"), 3);
    EXPECT_FALSE(agent.GetStatusSnapshot()["device_missing"]["flag"].asBool());

    DeliverCommand(L"run", L"sendTelemetry");
    DeliverCommand(L"run", L"SENDTELEMETRY");
    EXPECT_EQ(CountLogged("Received sendTelemetry command!"), 2);
    EXPECT_TRUE(testsupport::WaitUntil([this] { return Logged("OnSendTelemetryCommand: not available yet"); }));
    DeliverCommand(L"RUN", L"sendTelemetry");
    DeliverCommand(L"Run", L"sendTelemetry");
    DeliverCommand(L"set", L"sendTelemetry");
    EXPECT_EQ(CountLogged("Received sendTelemetry command!"), 2);
    agent.UnInit();
}

}  // namespace
