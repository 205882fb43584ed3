// The device context: uploaded to every family its dataset names when its database changes
// (HandleDeviceContext), and single records handed over by the host, posted to NAVP one after
// the other by a thread of their own, each retried every 15 minutes until it is accepted.
#include <algorithm>

#include "datasync/agent/DataSyncAgent.h"
#include "datasync/host/DataStore.h"
#include "datasync/upload/NavpSyncAgent.h"
#include "datasync/upload/SyncAgentsHelper.h"

using ZEL::DataSync::NavpSyncAgent;
using ZEL::DataSync::SyncAgentsHelper;

namespace {
constexpr platform::DWORD kRetryWaitMs = 900000;
constexpr platform::DWORD kBlockedPollMs = 50;
}  // namespace

void DataSyncAgent::AddDeviceContextRecordToSync(std::int64_t recordId) {
    const wchar_t* const function = L"DataSyncAgent::AddDeviceContextRecordToSync";
    std::lock_guard<std::mutex> lock(m_deviceContextMutex);
    if (std::find(m_deviceContextRecords.begin(), m_deviceContextRecords.end(), recordId) !=
        m_deviceContextRecords.end()) {
        m_log.e(L"%s: Record ID: %ld is already added in the sync list", function, recordId);
        return;
    }
    m_deviceContextRecords.push_back(recordId);
    m_log.d(L"%s: Added device context for sync with ID: %ld", function, recordId);
    platform::SetEvent(m_hDeviceContextWake);
}

void DataSyncAgent::DeviceContextSyncThread() {
    const wchar_t* const function = L"DataSyncAgent::DeviceContextSyncThread";
    m_log.d(L"%s: Start", function);
    // True when the service stops (or UnInit asks the thread to end) within `ms`.
    const auto stopWithin = [this](platform::DWORD ms) {
        if (m_deviceContextStopRequested) return true;
        if (!m_hServiceStop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min<platform::DWORD>(ms, 50)));
            return m_deviceContextStopRequested.load();
        }
        return platform::WaitForSingleObject(m_hServiceStop, ms) == platform::WAIT_OBJECT_0 ||
               m_deviceContextStopRequested;
    };
    for (;;) {
        platform::HANDLE waits[2] = {m_hServiceStop, m_hDeviceContextWake};
        // Without a stop event only the wake event ends the wait (a record or UnInit sets it).
        const platform::DWORD count = m_hServiceStop ? 2 : 1;
        const platform::HANDLE* first = m_hServiceStop ? waits : waits + 1;
        const platform::DWORD woke = platform::WaitForMultipleObjects(count, first, false, platform::INFINITE);
        if (m_hServiceStop && woke == platform::WAIT_OBJECT_0) return;
        if (woke == platform::WAIT_FAILED) return;

        for (;;) {  // every waiting record, oldest first
            platform::ResetEvent(m_hDeviceContextWake);
            if (m_deviceContextStopRequested) return;
            std::int64_t id = 0;
            {
                std::lock_guard<std::mutex> lock(m_deviceContextMutex);
                if (m_deviceContextRecords.empty()) break;
                id = m_deviceContextRecords.front();
            }
            for (;;) {  // this record until it is accepted
                m_log.d(L"%s: Syncing device context record with id: %ld", function, id);
                WaitWhileTelemetrySyncBlocked();
                if (IsTelemetrySyncBlocked()) {
                    m_log.d(L"%s: device-path purge pending or in progress, skip NAVP device context sync", function);
                    // Look again after a short wait rather than spinning while the purge runs.
                    if (stopWithin(kBlockedPollMs)) return;
                    continue;
                }
                const int result = NavpSyncAgent(L"", CurrentEndpointUrls().navp, ZEL::DataSync::NAVP_DEVICE_CONTEXT,
                                                 ZEL::utility::DB_PATH_DEFAULT)
                                       .PostDeviceContext(id);
                if (result == 0 || result == 1) {
                    std::lock_guard<std::mutex> lock(m_deviceContextMutex);
                    m_deviceContextRecords.pop_front();
                    break;
                }
                m_log.e(L"%s: Retrying sync device context after returned sync result: %d", function, result);
                if (stopWithin(kRetryWaitMs)) return;
            }
        }
    }
}

bool DataSyncAgent::HandleDeviceContext(std::wstring fileName) {
    const wchar_t* const function = L"DataSyncAgent::HandleDeviceContext";
    if (!IsSyncAllowedByMetrics()) return false;
    if (!ShouldPostForKta() && !ShouldPostForNavs()) return false;
    WaitWhileTelemetrySyncBlocked();
    if (IsTelemetrySyncBlocked()) {
        m_log.d(L"%s: device-path purge pending or in progress, skip device context sync", function);
        return false;
    }
    m_log.d(L"%s: Filename %s", function, fileName);
    while (!SomeEndpointReady()) {
        if (!_b_is_start) {
            m_log.d(L"%s: Service stop happend!", function);
            return false;
        }
        WaitSync(250, false);
    }
    m_log.d(L"%s: Making a sync post call", function);
    try {
        const ZEL::DataSet policy =
            GetDataItemType(fileName) == ZEL::DataSync::SYNC_DEVICE_CONTEXT
                ? GetDatasetPolicy(L"DeviceContext", 0)
                : GetDatasetPolicy(ZEL::EventDataLogging::GetInstance()->GetDatasetId(fileName), 1);
        if (policy.dataset_id().empty()) {
            m_log.e(L"%s: -GetDatasetPolicy(%s) return null dataset!!", function, fileName);
            return false;
        }
        const SyncEP ep(policy.syncEPs());
        const EndpointUrls urls = CurrentEndpointUrls();
        const auto succeeded = [&](const wchar_t* family) {
            m_deviceContextSynced.exchange(true);
            m_log.d(L"%s: %s Sync Device Context Success", function, family);
            return true;
        };

        int result = 8;  // KTA named but not posted
        if (ep.isKTAEnabled() && ShouldPostForKta()) {
            SyncAgentsHelper helper(L"", urls.kta, ZEL::DataSync::SYNC_DEVICE_CONTEXT, L"KTA", L"SyncPoint.sqlite3",
                                    ZELCore::HTTP_AUTH_MTLS, false, ZEL::utility::DB_PATH_DEFAULT);
            ZELCore::InvokeHttpResponse response;
            result = helper.doPost(response);
            if (!CheckAndHandle403DeviceMissingError(response) &&
                CheckForExponentialBackoffRetry(result, SyncEP::SyncEP_KTA))
                m_log.e(L"%s: KTA failed:Device Context -ret:%d", function, result);
            if (ep.isKTAOnlyEnabled() && result <= 1) return succeeded(L"KTA");
        }
        if (ep.isNAVSEnabled() && ShouldPostForNavs()) {
            SyncAgentsHelper helper(L"", urls.navs, ZEL::DataSync::SYNC_DEVICE_CONTEXT, L"NAVS",
                                    L"Navs_SyncPoint.sqlite3", urls.navsAuth, false, ZEL::utility::DB_PATH_DEFAULT);
            ZELCore::InvokeHttpResponse response;
            const int r = helper.doPost(response);
            if (!CheckAndHandle403DeviceMissingError(response) &&
                CheckForExponentialBackoffRetry(r, SyncEP::SyncEP_NAVS))
                m_log.e(L"%s: NAVS failed:Device Context -ret:%d", function, r);
            if (ep.isNAVSOnlyEnabled()) {
                if (r <= 1) return succeeded(L"NAVS");
            } else if (!ep.isKTAEnabled()) {
                result = r;
            }
        }
        if (ep.isNAVPEnabled() && m_navpUrlValid) {
            const int r = NavpSyncAgent(L"", urls.navp, ZEL::DataSync::NAVP_DEVICE_CONTEXT, ZEL::utility::DB_PATH_DEFAULT)
                              .doPost();
            if (ep.isNAVPOnlyEnabled() && r <= 1) return succeeded(L"NAVP");
        }
        if (!ep.isValid()) {
            m_log.d(L"%s: is ----- nothing -----\n", function);
            return false;
        }
        if (result > 1) {
            m_log.e(L"%s: Sync Device Context failed!", function);
            return false;
        }
        m_deviceContextSynced.exchange(true);
        m_log.d(L"%s: Multiple EPs - Sync Device Context Success", function);
        return true;
    } catch (...) {
        m_log.e(L"%s failed with exception", function);
        return false;
    }
}
