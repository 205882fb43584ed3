// For tests of the whole sync agent on fakes: FakeHost's environment with the clock that was
// installed (a test's ManualClock, or the system's), a transport that refuses every request and a
// device that is not registered until the test says so, captured logs and a service-stop event.
// Agents live in the test body; the environment is put back when the fixture ends.
#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include "datasync/agent/DataSyncAgent.h"
#include "datasync/host/DeviceStatus.h"
#include "datasync/host/Notification.h"
#include "platform/KernelObjects.h"
#include "support/FakeComponents.h"
#include "support/WaitUntil.h"

namespace testsupport {

inline const wchar_t* const kActiveScope = L"All";

// No endpoint family enabled: the worker never takes a message, so what is queued stays visible.
inline ZEL::TelemetryPolicy PolicyWithoutFamilies() {
    ZEL::TelemetryPolicy policy;
    policy.telemetryScope = kActiveScope;
    return policy;
}

class AgentHarness : public ::testing::Test {
protected:
    void SetUp() override {
        m_transport.SetRegistered(false);
        m_transport.Accept(false);
        m_config->SetPolicy(PolicyWithoutFamilies());
        m_stop = platform::CreateEventW(true, false);
        ASSERT_TRUE(m_stop);
    }
    void TearDown() override { platform::CloseHandle(m_stop); }

    // As the host starts it.
    void Start(DataSyncAgent& agent) {
        agent.Init(m_stop);
        agent.FullInit();
    }
    void Publish(int topic, int state, ZEL::ZELNotificationData::Kind kind = ZEL::ZELNotificationData::Kind::Plain,
                 const std::wstring& payload = L"") {
        ZEL::ZELNotificationData data(topic, state, payload, kind);
        m_bus.Notify(data, L"test");
    }
    void PublishCommand(const std::wstring& action, const std::wstring& message,
                        const std::map<std::wstring, std::wstring>& fields = {}) {
        ZEL::ZELNotificationData data = ZEL::ZELNotificationData::MakeServerCommand(action, message, fields);
        m_bus.Notify(data, L"test");
    }
    // Every notification published so far has been handled.
    bool WaitBusIdle() { return m_bus.WaitIdle(std::chrono::seconds(10)); }

    bool Logged(const std::string& fragment) const { return m_logs.Contains(fragment, "DataSync.log"); }
    // Full initialisations that ran to their end (started or not).
    int Starts() const { return CountLogged("FullInit: Completed!") + CountLogged("GetTelemetryPolicy failed!") +
                                CountLogged("telemery_scope=none,sync nothing!"); }
    int CountLogged(const std::string& fragment) const {
        int count = 0;
        for (const LogCapture::Line& line : m_logs.Lines())
            count += line.file == "DataSync.log" && line.text.find(fragment) != std::string::npos;
        return count;
    }

    FakeHost m_host{ZEL::DataSync::InstalledEnvironment().clock};  // first: it outlives the agents
    LogCapture& m_logs = m_host.logs;
    FakeBus& m_bus = m_host.bus;
    FakeTransport& m_transport = m_host.transport;
    // Not owned: the configuration agent door takes a shared pointer.
    std::shared_ptr<FakeConfigAgent> m_config{std::shared_ptr<FakeConfigAgent>(), &m_host.config};
    platform::HANDLE m_stop = nullptr;
};

inline const Json::Value& Family(const Json::Value& status, const char* name) { return status["families"][name]; }
inline Json::UInt64 QueueLength(DataSyncAgent& agent) { return agent.GetStatusSnapshot()["queue_length"].asUInt64(); }

}  // namespace testsupport
