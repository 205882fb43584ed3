// The "sendTelemetry" command: duplication of the newest rows and the user-agent hand-shake.
#include "datasync/housekeeping/TelemetryDuplication.h"

#include <future>

#include "datasync/common/DbRoots.h"
#include "datasync/common/ImpersonateUser.h"
#include "datasync/common/Paths.h"
#include "datasync/common/StringUtil.h"
#include "datasync/common/WellKnownIds.h"
#include "datasync/host/DeviceStatus.h"
#include "datasync/host/Impersonation.h"
#include "datasync/host/SecurityAttributes.h"

namespace ZEL {
namespace DataSync {
namespace {

struct GlobalEvent {
    const wchar_t* name;
    const wchar_t* symbol;
    bool allowUserAccess;
};

const GlobalEvent kGlobalEvents[] = {
    {kNotifyDuplicateItemEvent, L"NOTIFY_DUPLICATE_ITEM_EVENT_NAME", false},
    {kNotifyDuplicateDatasetContextEvent, L"NOTIFY_DUPLICATE_DATASETCONTEXT_EVENT_NAME", false},
    {kAckItemDuplicateEvent, L"NOTIFY_ACK_ITEM_EVENT_NAME", true},
    {kAckDatasetContextDuplicateEvent, L"NOTIFY_ACK_DATASETCONTEXT_EVENT_NAME", true},
};

const wchar_t* const kProcessList = L"DataSyncAgent::ProcessDuplicateTelemetryList";

bool ContainsIgnoringCase(const std::list<std::wstring>& names, const std::wstring& name) {
    for (const std::wstring& entry : names)
        if (String::CaseInsesitiveEqual(entry, name)) return true;
    return false;
}

}  // namespace

void TelemetryDuplication::CreateGlobalEvents() {
    CloseGlobalEvents();
    std::vector<platform::HANDLE> created;
    for (const GlobalEvent& event : kGlobalEvents) {
        System::SECURITY_ATTRIBUTES attributes;
        if (!System::InitializeSecurityAttributes(&attributes, event.allowUserAccess)) continue;
        platform::HANDLE handle = platform::CreateEventW(false, false, event.name, attributes.access);
        m_log.d(L"Created event %d", static_cast<int>(platform::GetLastError()));
        if (!handle) {
            const platform::DWORD error = platform::GetLastError();
            if (error == platform::ERROR_ACCESS_DENIED)
                m_log.e(L"EventManager: %s exists and belongs to another user: not used; the user agent's "
                        L"duplication waits until it is gone",
                        event.name);
            m_log.e(L"EventManager Initialize CreateEvent \"%s\" return error %d!", event.symbol,
                    static_cast<int>(error));
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

void TelemetryDuplication::OnSendTelemetryCommand(ZELNotificationData& notification) {
    AddFileNamesToRecollectedTelemetry();
    SendTelemetryCommandParams params;
    SendTelemetryCommandHandler::DeserializeSendTelemetryCommand(m_log, notification.getPayload(), params);
    if (params.collectionOnly) {
        ListenToCollectionDoneNotification();
        return;
    }
    SendTelemetryCommandHandler handler(m_log);
    handler.RegisterDuplicateTelemetryHandler(
        [this](SendTelemetryCommandParams& received) { DuplicateTelemetryHandler(received); });
    handler.ProcessCommand(notification);
}

void TelemetryDuplication::ListenToCollectionDoneNotification() {
    SendTelemetryCommandHandler::WaitForCollectionToComplete();
    m_log.i(L"%s Came out of wait %d", L"DataSyncAgent::ListenToCollectionDoneNotification",
            m_parts.state._b_is_start ? 1 : 0);
    m_parts.allowSyncOfOnDemandTelemetry();
}

void TelemetryDuplication::AddFileNamesToRecollectedTelemetry() {
    for (const DataSet& dataset : m_parts.policies.Datasets()) {
        if (!m_parts.state._b_is_start) {
            m_log.i(L"%s : ServiceStop signalled!", L"DataSyncAgent::AddFileNamesToRecollectedTelemetry");
            return;
        }
        std::vector<std::wstring> files;
        if (String::CaseInsesitiveEqual(dataset.dataset_name(), kDeviceContextDatasetName))
            files = {kDeviceContextFileName};
        else
            files = {TelemetryFileName(dataset.dataset_id(), L"DatasetContext"),
                     TelemetryFileName(dataset.dataset_id(), L"ItemEvent")};
        m_parts.recollected.SetFiles(dataset.dataset_name(), std::move(files));
    }
}

void TelemetryDuplication::DuplicateTelemetryHandler(SendTelemetryCommandParams& params) {
    const wchar_t* const function = L"DataSyncAgent::DuplicateTelemetryHandler";
    m_log.d(L"%s: Enter!", function);
    if (params.allDatasets)
        for (const std::wstring& name : m_parts.recollected.Names())
            if (!ContainsIgnoringCase(params.datasets, name)) params.datasets.push_back(name);
    ProcessDuplicateTelemetryList(params.datasets);
    m_parts.allowSyncOfOnDemandTelemetry();
    m_log.d(L"%s: Exit!", function);
}

void TelemetryDuplication::ProcessDuplicateTelemetryList(std::list<std::wstring>& names) {
    if (!zel::ZELHelperFactory::GetInstance()->GetApplicablilityEvaluatorAgent()) {
        m_log.e(L"%s Applicability Evaluator is not available! ", kProcessList);
        return;
    }
    const RecollectedTelemetry::Files files = m_parts.recollected.Copy();
    for (const DataSet& dataset : m_parts.policies.Datasets()) {
        if (!m_parts.state._b_is_start) {
            m_log.i(L"%s : ServiceStop signalled!", kProcessList);
            return;
        }
        if (!ContainsIgnoringCase(names, dataset.dataset_name())) continue;
        if (!dataset.dataset_enable() || !m_parts.applicability.CheckApplicabilityFilterForDataset(dataset)) {
            m_log.i(L"%s dataset %s is not applicable to senTelemetry command (duplicate) ", kProcessList,
                    dataset.dataset_name());
            continue;
        }
        const auto found = files.find(dataset.dataset_name());
        if (found == files.end()) continue;
        for (const std::wstring& fileName : found->second) {
            m_log.d(L"%s : Duplicating db %s!", kProcessList, fileName);
            DuplicateLastRecordInDB(dataset.dataset_id(), fileName);
        }
    }
}

bool TelemetryDuplication::DuplicateLastRecordInDB(std::wstring datasetId, std::wstring dbName) {
    const int mask = CheckDBType(m_parts.files, dbName);
    const int root = (mask & 1) != 0 ? 1 : (mask & 2) != 0 ? 2 : 0;
    const bool remain = root != 0 && m_parts.remainData2Sync(root, dbName);
    m_log.i(L"%s dataset %s : remain2Sync %d ", L"DataSyncAgent::DuplicateLastRecordInDB", dbName, remain ? 1 : 0);
    if (root == 0 || remain) return false;
    const int kind = GetDataItemType(dbName);
    const auto method = static_cast<utility::EGetDBPathMethod>(root);
    if (datasetId == kUserAgentDatasetId && root == 2) {
        m_parts.recollected.AddAcknowledgement(std::async(std::launch::async, [this, kind] { return NotifyAndWaitForAck(kind); }));
        return false;
    }
    // The shared folder's files are written as the logged-on user.
    ImpersonateUser user;
    if (root == 2 && System::check_admin_privilege() && user.EnterLogOnUserMode() != 0) return false;
    switch (kind) {
        case SYNC_ITEM_EVENT: return m_parts.tables.DuplicateNewest({datasetId, ItemEvent::TypeName(), method});
        case SYNC_DATASET_CONTEXT:
            return m_parts.tables.DuplicateNewest({datasetId, DatasetContext::TypeName(), method});
        case SYNC_DEVICE_CONTEXT: return m_parts.tables.DuplicateNewest({L"", DeviceContext::TypeName(), method});
        default: return false;
    }
}

bool TelemetryDuplication::NotifyAndWaitForAck(int kind) {
    const wchar_t* const function = L"DataSyncAgent::NotifyAndWaitForAck";
    if (kind != SYNC_ITEM_EVENT && kind != SYNC_DATASET_CONTEXT) return false;
    const bool items = kind == SYNC_ITEM_EVENT;
    // The events made (and checked) at full initialisation: opening them by name again would take
    // whatever another user may have put under that name since.
    platform::HANDLE notify, ack;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::size_t notifyAt = items ? 0 : 1, ackAt = items ? 2 : 3;
        if (m_globalEvents.size() > ackAt) {
            notify = m_globalEvents[notifyAt];
            ack = m_globalEvents[ackAt];
        }
    }
    const bool opened = notify && ack;
    bool acknowledged = false;
    if (opened) {
        platform::SetEvent(notify);
        m_log.i(L"%s Notify completed", function);
        acknowledged = m_parts.stop.WaitForEvent(ack, kAckTimeoutMs) == StopSignal::Woke::Event;
    }
    if (notify) platform::CloseHandle(notify);
    if (ack) platform::CloseHandle(ack);
    if (!opened) return false;
    if (acknowledged)
        m_log.i(L"%s Duplication done by user agent", function);
    else
        m_log.i(L"%s Service stopped or timed out while waiting for acknowledgement", function);
    return acknowledged;
}

}  // namespace DataSync
}  // namespace ZEL
