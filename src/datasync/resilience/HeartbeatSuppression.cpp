// Heartbeat suppression of the device-status dataset. While the host keeps its push channel
// (MQTT) connected, that connection already tells the server the device is alive, so the timer
// pass leaves the device-status database alone when the configuration asks for it. The
// decision is recomputed from the host's configuration and connection state on every call;
// two latches only make the log show one line per change of the decision.
//
// Thread safety: called by the timer pass only, one call at a time; the latches are plain
// booleans. The host's agents are held by shared pointer for the length of a call.
#include "datasync/agent/DataSyncAgent.h"
#include "datasync/host/StringUtil.h"

namespace {

const wchar_t* const kDeviceStatusDatasetId = L"1118F4A1-5F72-4175-8CCD-36F64DBE5133";

}  // namespace

bool DataSyncAgent::ShouldSuppressDeviceStatusHeartbeatSync(std::wstring& /*dbPath*/) {
    // Whatever the host cannot tell counts as "no suppression": heartbeats keep flowing.
    zel::AgentFactory* factory = zel::AgentFactory::GetInstance();
    if (factory == nullptr) return false;
    const std::shared_ptr<ZEL::IConfigAgent> config = factory->GetConfigPolicyAgent();
    if (!config) return false;
    ZEL::ZelSettings settings;
    if (!config->QuerySettings(settings)) return false;
    if (ZEL::String::ToLower(settings.channel_mode) != L"nomqtt") return false;
    ZEL::ZelPolicy policy;
    if (!config->QueryPolicy(policy)) return false;
    if (ZEL::String::ToLower(policy.heartbeat_suppression) == L"none") return false;
    const std::shared_ptr<ZEL::AgentInterface::Notification::INotificationAgent> notification =
        factory->GetNotificationAgent();
    return notification && notification->IsConnected();
}

bool DataSyncAgent::ShouldSyncHeartbeatTelemetry(const std::wstring& key) {
    const wchar_t* const function = L"DataSyncAgent::ShouldSyncHeartbeatTelemetry";
    std::wstring dbPath = key;
    if (ZEL::String::ToLower(dbPath).find(ZEL::String::ToLower(kDeviceStatusDatasetId)) == std::wstring::npos)
        return true;
    if (ShouldSuppressDeviceStatusHeartbeatSync(dbPath)) {
        if (!m_heartbeatSuppressedLogged) {
            m_log.d(L"%s: Heartbeat telemetry suppressed since mqtt got connected. %s", function, dbPath);
            m_heartbeatSuppressedLogged = true;
            m_heartbeatNotSuppressedLogged = false;
        }
        return false;
    }
    if (!m_heartbeatNotSuppressedLogged) {
        m_log.d(L"%s: Conditions not met or Mqtt is in connecting state. Hence heartbeat telemetry not suppressed. %s",
                function, dbPath);
        m_heartbeatSuppressedLogged = false;
        m_heartbeatNotSuppressedLogged = true;
    }
    return true;
}
