// Heartbeat suppression: when the device-status database is held back; the timer pass skips it.
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
    std::shared_ptr<ZEL::AgentInterface::Notification::INotificationAgent> m_savedChannel =
        zel::AgentFactory::GetInstance()->GetNotificationAgent();
};

TEST_F(HeartbeatTest, DeviceStatusIsSuppressedOnlyWhenEveryConditionHolds) {
    const struct { const wchar_t *mode, *suppression; bool connected, settingsOk, policyOk, config, channel, held; } cases[] = {
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
    const std::wstring paths[] = {L"/db/" + kDeviceStatus + L"_ItemEvent.sqlite3",
                                  L"/" + ZEL::String::ToLower(kDeviceStatus) + L"/x_ItemEvent.sqlite3",
                                  L"/db/" + uploadtest::kDatasetW + L"_ItemEvent.sqlite3"};  // another dataset: never held
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << &c - cases);
        *m_host = PushChannelHost{};
        m_host->mode = c.mode;
        m_host->suppression = c.suppression;
        m_host->connected = c.connected;
        m_host->settingsOk = c.settingsOk;
        m_host->policyOk = c.policyOk;
        Install(c.config, c.channel);
        ZEL::Log log;
        ZEL::DataSync::HeartbeatSuppression heartbeat(log);
        for (const std::wstring& path : paths)
            EXPECT_EQ(heartbeat.ShouldSyncHeartbeatTelemetry(path), !c.held || &path == &paths[2]);
    }
}

TEST_F(HeartbeatTest, TheTimerPassSkipsTheSuppressedRecord) {
    m_policy.datasets.push_back(testsupport::MakeDataSet(kDeviceStatus, L"DeviceStatus", L"KTA", L"nrt"));
    PreparedAgent prepared(m_policy, m_stop);
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
