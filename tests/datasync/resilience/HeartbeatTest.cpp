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
    void Install(bool config, bool channel) {
        zel::AgentFactory::GetInstance()->SetConfigPolicyAgent(config ? m_channel : nullptr);
        zel::AgentFactory::GetInstance()->SetNotificationAgent(channel ? m_channel : nullptr);
    }
    // Both agents; the fake host's environment goes back when the fixture ends.
    std::shared_ptr<PushChannelHost> m_channel = std::make_shared<PushChannelHost>();
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
    using ZEL::DataSync::TelemetryFileName;
    const std::wstring paths[] = {
        L"/db/" + TelemetryFileName(kDeviceStatus, L"ItemEvent"),
        L"/" + ZEL::String::ToLower(kDeviceStatus) + L"/" + TelemetryFileName(L"x", L"ItemEvent"),
        L"/db/" + TelemetryFileName(uploadtest::kDatasetW, L"ItemEvent")};  // never held
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << &c - cases);
        m_channel->mode = c.mode, m_channel->suppression = c.suppression, m_channel->connected = c.connected;
        m_channel->settingsOk = c.settingsOk, m_channel->policyOk = c.policyOk;
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
    prepared.c.syncMap.InternalDBChangesNotify(m_host.files.Add(
        ZEL::utility::DB_PATH_INTERNAL, ZEL::DataSync::TelemetryFileName(kDeviceStatus, L"ItemEvent")));
    prepared.c.timer.DoTimerPost(L"");
    EXPECT_EQ(prepared.c.queue.Size(), 0u);
    m_channel->connected = false;
    prepared.c.timer.DoTimerPost(L"");
    EXPECT_EQ(prepared.c.queue.Size(), 1u);
}

}  // namespace
}  // namespace resiliencetest
