// Heartbeat suppression of the device-status dataset.
#include "datasync/resilience/HeartbeatSuppression.h"

#include "datasync/common/Paths.h"
#include "datasync/common/StringUtil.h"
#include "datasync/common/WellKnownIds.h"
#include "datasync/host/ConfigPolicy.h"

namespace ZEL {
namespace DataSync {

bool HeartbeatSuppression::ShouldSuppressDeviceStatusHeartbeatSync(std::wstring& /*dbPath*/) {
    zel::AgentFactory* factory = zel::AgentFactory::GetInstance();
    if (factory == nullptr) return false;
    const std::shared_ptr<IConfigAgent> config = factory->GetConfigPolicyAgent();
    if (!config) return false;
    ZelSettings settings;
    if (!config->QuerySettings(settings)) return false;
    if (String::ToLower(settings.channel_mode) != L"nomqtt") return false;
    ZelPolicy policy;
    if (!config->QueryPolicy(policy)) return false;
    if (String::ToLower(policy.heartbeat_suppression) == L"none") return false;
    const std::shared_ptr<AgentInterface::Notification::INotificationAgent> notification =
        factory->GetNotificationAgent();
    return notification && notification->IsConnected();
}

bool HeartbeatSuppression::ShouldSyncHeartbeatTelemetry(const std::wstring& key) {
    const wchar_t* const function = L"DataSyncAgent::ShouldSyncHeartbeatTelemetry";
    if (!ContainsTextIgnoringCase(key, kDeviceStatusDatasetId)) return true;
    std::wstring dbPath = key;  // the suppression check takes a modifiable path
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

}  // namespace DataSync
}  // namespace ZEL
