// Duplication of telemetry on the "sendTelemetry" command. The named events of the user-agent
// hand-shake are created at full initialisation; the command itself is not built yet.
#include "datasync/agent/DataSyncAgent.h"
#include "datasync/host/Utility.h"

namespace {

struct GlobalEvent {
    const wchar_t* name;
    const wchar_t* symbol;
    bool allowUserAccess;
};

const GlobalEvent kGlobalEvents[] = {
    {L"Global\\NotifyDuplicateItemEvent", L"NOTIFY_DUPLICATE_ITEM_EVENT_NAME", false},
    {L"Global\\NotifyDuplicateDatasetContextEvent", L"NOTIFY_DUPLICATE_DATASETCONTEXT_EVENT_NAME", false},
    {L"Global\\NotifyAckForItemDuplicateCompleteEvent", L"NOTIFY_ACK_ITEM_EVENT_NAME", true},
    {L"Global\\NotifyAckForDCDuplicateCompleteEvent", L"NOTIFY_ACK_DATASETCONTEXT_EVENT_NAME", true},
};

}  // namespace

void DataSyncAgent::CreateGlobalEvents() {
    std::vector<platform::HANDLE> created;
    for (const GlobalEvent& event : kGlobalEvents) {
        ZEL::System::SECURITY_ATTRIBUTES attributes;
        if (!ZEL::System::InitializeSecurityAttributes(&attributes, event.allowUserAccess)) continue;
        platform::HANDLE handle = platform::CreateEventW(false, false, event.name);
        m_log.e(L"Created event %d", static_cast<int>(platform::GetLastError()));
        if (!handle) {
            m_log.e(L"EventManager Initialize CreateEvent \"%s\" return error %d!", event.symbol,
                    static_cast<int>(platform::GetLastError()));
            ZEL::System::FreeSecurityAttribute(&attributes);
            break;
        }
        created.push_back(handle);
        ZEL::System::FreeSecurityAttribute(&attributes);
    }
    m_hNotifyDuplicate = created.size() > 0 ? created[0] : nullptr;
    m_hAckDuplicate = created.size() > 2 ? created[2] : nullptr;
    m_globalEvents = std::move(created);
}

void DataSyncAgent::OnSendTelemetryCommand(ZEL::ZELNotificationData&) {
    NotAvailableYet(L"DataSyncAgent::OnSendTelemetryCommand");
}
