// For tests of the sync agent: the real host's services (HostServices) with a private bus, fake
// configuration agent and transport in their place, fresh host folders, captured logs and a
// service-stop event, put back in TearDown (agents live in the test body). The clock stays the
// one installed (a test's ManualClock, or the system's).
#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include "datasync/agent/DataSyncAgent.h"
#include "datasync/host/DeviceStatus.h"
#include "datasync/host/Notification.h"
#include "linuxhost/HostFolders.h"
#include "linuxhost/HostServices.h"
#include "linuxhost/bus/NotificationBus.h"
#include "platform/KernelObjects.h"
#include "support/FakeConfigAgent.h"
#include "support/FakeTransport.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
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
        m_savedFolders = ZEL::linuxhost::CurrentHostFolders();
        ZEL::linuxhost::InstallHostFolders({m_dir.sub("service"), m_dir.sub("shared"), m_dir.sub("local"),
                                            m_dir.sub("log"), m_dir.sub("state")});
        m_saved = ZEL::DataSync::InstalledEnvironment();
        ZEL::DataSync::AgentEnvironment environment = m_host.Environment();
        environment.clock = m_saved.clock;
        environment.bus = &m_bus;
        environment.config = m_config.get();
        environment.transport = &m_transport;
        ZEL::DataSync::InstallEnvironment(environment);
        m_config->SetPolicy(PolicyWithoutFamilies());
        m_stop = platform::CreateEventW(true, false);
        ASSERT_TRUE(m_stop);
    }
    void TearDown() override {
        m_saved.clock = ZEL::Clock::GetInstance();
        ZEL::DataSync::InstallEnvironment(m_saved);
        ZEL::linuxhost::InstallHostFolders(m_savedFolders);
        platform::CloseHandle(m_stop);
    }

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
    // Every notification published so far has been handled (room for the 500 ms early grace).
    bool WaitBusIdle(std::chrono::milliseconds timeout = std::chrono::seconds(10)) { return m_bus.WaitIdle(timeout); }

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

    LogCapture m_logs;  // first: it outlives everything that logs
    TempDir m_dir;
    ZEL::linuxhost::HostServices m_host;
    ZEL::linuxhost::NotificationBus m_bus;
    std::shared_ptr<FakeConfigAgent> m_config = std::make_shared<FakeConfigAgent>();
    FakeTransport m_transport;
    platform::HANDLE m_stop;

private:
    ZEL::linuxhost::HostFolders m_savedFolders;
    ZEL::DataSync::AgentEnvironment m_saved;
};

inline const Json::Value& Family(const Json::Value& status, const char* name) { return status["families"][name]; }
inline Json::UInt64 QueueLength(DataSyncAgent& agent) { return agent.GetStatusSnapshot()["queue_length"].asUInt64(); }

}  // namespace testsupport
