// Heartbeat suppression: the device-status database is held back only while the channel mode is
// "nomqtt", suppression is not "none" and the push channel is connected; the timer pass skips it.
#include "datasync/resilience/ResilienceFixture.h"

namespace resiliencetest {
namespace {

const std::wstring kDeviceStatus = L"1118F4A1-5F72-4175-8CCD-36F64DBE5133";

// The host's two settings queries and its push channel, as a test sets them.
struct PushChannelHost : ZEL::IConfigAgent, ZEL::AgentInterface::Notification::INotificationAgent {
    bool QuerySettings(ZEL::ZelSettings& settings) override { return settings.channel_mode = mode, settingsOk; }
    bool ReadTelemetryPolicy(ZEL::TelemetryPolicy&) override { return false; }
    bool QueryPolicy(ZEL::ZelPolicy& policy) override { return policy.heartbeat_suppression = suppression, policyOk; }
    bool IsConnected() override { return connected; }

    std::wstring mode = L"nomqtt", suppression;
    bool connected = true, settingsOk = true, policyOk = true;
};

class HeartbeatTest : public ResilienceTest {
protected:
    void SetUp() override {
        ResilienceTest::SetUp();
        m_savedChannel = zel::AgentFactory::GetInstance()->GetNotificationAgent();
        Install(true, true);
    }
    void TearDown() override {
        zel::AgentFactory::GetInstance()->SetNotificationAgent(m_savedChannel);
        ResilienceTest::TearDown();
    }
    void Install(bool config, bool channel) {
        zel::AgentFactory::GetInstance()->SetConfigPolicyAgent(config ? m_host : nullptr);
        zel::AgentFactory::GetInstance()->SetNotificationAgent(channel ? m_host : nullptr);
    }

    std::shared_ptr<PushChannelHost> m_host = std::make_shared<PushChannelHost>();
    std::shared_ptr<ZEL::AgentInterface::Notification::INotificationAgent> m_savedChannel;
    const std::wstring m_path = L"/db/" + kDeviceStatus + L"_ItemEvent.sqlite3";
};

TEST_F(HeartbeatTest, DeviceStatusIsSuppressedOnlyWhenEveryConditionHolds) {
    const struct {
        const wchar_t *mode, *suppression;
        bool connected, settingsOk, policyOk, config, channel, suppressed;
    } cases[] = {
        {L"nomqtt", L"", true, true, true, true, true, true},
        {L"NoMQTT", L"always", true, true, true, true, true, true},
        {L"mqtt", L"", true, true, true, true, true, false},
        {L"nomqtt", L"None", true, true, true, true, true, false},
        {L"nomqtt", L"", false, true, true, true, true, false},
        {L"nomqtt", L"", true, false, true, true, true, false},
        {L"nomqtt", L"", true, true, false, true, true, false},
        {L"nomqtt", L"", true, true, true, false, true, false},
        {L"nomqtt", L"", true, true, true, true, false, false},
    };
    const std::wstring lowerCase = L"/" + ZEL::String::ToLower(kDeviceStatus) + L"/x_ItemEvent.sqlite3";
    const std::wstring otherDataset = L"/db/" + ZEL::String::UTF8ToUTF16(kDataset) + L"_ItemEvent.sqlite3";
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << &c - cases);
        *m_host = PushChannelHost{};
        m_host->mode = c.mode, m_host->suppression = c.suppression, m_host->connected = c.connected;
        m_host->settingsOk = c.settingsOk, m_host->policyOk = c.policyOk;
        Install(c.config, c.channel);
        ZEL::Log log;
        ZEL::DataSync::HeartbeatSuppression heartbeat(log);
        EXPECT_EQ(heartbeat.ShouldSyncHeartbeatTelemetry(m_path), !c.suppressed);
        EXPECT_EQ(heartbeat.ShouldSyncHeartbeatTelemetry(lowerCase), !c.suppressed);
        EXPECT_TRUE(heartbeat.ShouldSyncHeartbeatTelemetry(otherDataset));
    }
}

TEST_F(HeartbeatTest, EachChangeIsLoggedOnceAndTheTimerPassSkipsTheSuppressedRecord) {
    m_policy.datasets.push_back(testsupport::MakeDataSet(kDeviceStatus, L"DeviceStatus", L"KTA", L"nrt"));
    PreparedAgent prepared(m_policy, m_stop);
    // (connected, suppressed lines, flowing lines) after each call
    for (auto [connected, suppressed, flowing] :
         {std::tuple{true, 1, 0}, {true, 1, 0}, {false, 1, 1}, {false, 1, 1}, {true, 2, 1}}) {
        m_host->connected = connected;
        EXPECT_EQ(prepared.c.heartbeat.ShouldSyncHeartbeatTelemetry(m_path), !connected);
        EXPECT_EQ(CountLogged("Heartbeat telemetry suppressed since mqtt got connected. /db/"), suppressed);
        EXPECT_EQ(CountLogged("Hence heartbeat telemetry not suppressed. /db/"), flowing);
    }

    prepared.c.syncMap.InternalDBChangesNotify(ZEL::String::UTF8ToUTF16(m_dir.path()) + L"service/" + kDeviceStatus +
                                        L"_ItemEvent.sqlite3");
    prepared.c.timer.DoTimerPost(L"");
    EXPECT_EQ(prepared.c.queue.Size(), 0u);
    m_host->connected = false;
    prepared.c.timer.DoTimerPost(L"");
    EXPECT_EQ(prepared.c.queue.Size(), 1u);
}

}  // namespace
}  // namespace resiliencetest
