// The duplication hand-shake's named events and the state the timer pass reads.
#include "datasync/housekeeping/TelemetryDuplication.h"

#include "datasync/host/Utility.h"

namespace ZEL {
namespace DataSync {
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

const wchar_t* const kRecollectedDatasetNames[] = {
    L"DeviceContext",  L"ZELEvent",          L"BatteryEvent",         L"SystemBIOSEvent",
    L"CPUEvent",       L"DeviceDriversEvent", L"DisplayEvent",         L"MemoryEvent",
    L"NetworkEvent",   L"PCIe_NVMe_SMARTEvent", L"SATA_SSD_SMARTEvent", L"SMARTEvent",
    L"StorageEvent",   L"SystemPowerEvent",  L"USBPortEvent",         L"PackageStatus",
    L"AlexaEvent",     L"SMBIOSTable",       L"SystemInformation",    L"ZelInformation",
    L"DeviceStatus",   L"DeviceProcessEvent", L"PCIe_NVMe_SelfTestResult", L"SATA_SSD_SelfTestResult",
};

}  // namespace

TelemetryDuplication::TelemetryDuplication(Log& log) : m_log(log) {
    for (const wchar_t* name : kRecollectedDatasetNames) m_recollectedTelemetry[name] = {};
}

TelemetryDuplication::~TelemetryDuplication() { CloseGlobalEvents(); }

void TelemetryDuplication::CreateGlobalEvents() {
    CloseGlobalEvents();
    std::vector<platform::HANDLE> created;
    for (const GlobalEvent& event : kGlobalEvents) {
        System::SECURITY_ATTRIBUTES attributes;
        if (!System::InitializeSecurityAttributes(&attributes, event.allowUserAccess)) continue;
        platform::HANDLE handle = platform::CreateEventW(false, false, event.name);
        m_log.e(L"Created event %d", static_cast<int>(platform::GetLastError()));
        if (!handle) {
            m_log.e(L"EventManager Initialize CreateEvent \"%s\" return error %d!", event.symbol,
                    static_cast<int>(platform::GetLastError()));
            System::FreeSecurityAttribute(&attributes);
            break;
        }
        created.push_back(handle);
        System::FreeSecurityAttribute(&attributes);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hNotifyDuplicate = created.size() > 0 ? created[0] : nullptr;
    m_hAckDuplicate = created.size() > 2 ? created[2] : nullptr;
    m_globalEvents = std::move(created);
}

void TelemetryDuplication::CloseGlobalEvents() {
    std::vector<platform::HANDLE> events;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        events.swap(m_globalEvents);
        m_hNotifyDuplicate = nullptr;
        m_hAckDuplicate = nullptr;
    }
    for (platform::HANDLE& event : events) platform::CloseHandle(event);
}

void TelemetryDuplication::OnSendTelemetryCommand(ZELNotificationData&) {
    if (!m_unavailableLogged.exchange(true))
        m_log.w(L"%s: not available yet in this build", L"DataSyncAgent::OnSendTelemetryCommand");
}

bool TelemetryDuplication::TakeAcknowledgements() {
    std::vector<std::future<bool>> futures;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        futures.swap(m_duplicateFutures);
    }
    bool acknowledged = true;
    for (std::future<bool>& future : futures) {
        if (!future.valid()) continue;
        try {
            if (!future.get()) acknowledged = false;
        } catch (...) {
            acknowledged = false;
        }
    }
    return acknowledged;
}

std::map<std::wstring, std::vector<std::wstring>> TelemetryDuplication::RecollectedTelemetry() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_recollectedTelemetry;
}

}  // namespace DataSync
}  // namespace ZEL
