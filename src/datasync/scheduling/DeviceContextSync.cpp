// The device context's two roads: the upload when its database changes, and the records the
// host hands over, posted to NAVP by a thread of their own.
#include "datasync/scheduling/DeviceContextSync.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "datasync/common/Paths.h"
#include "datasync/common/StringUtil.h"
#include "datasync/common/WellKnownIds.h"
#include "datasync/scheduling/SyncMap.h"

namespace ZEL {
namespace DataSync {
namespace {

const wchar_t* const kThread = L"DataSyncAgent::DeviceContextSyncThread";
constexpr std::chrono::minutes kRetryWait{15};

}  // namespace

DeviceContextSync::DeviceContextSync(const Parts& parts)
    : m_parts(parts), m_log(parts.log), m_hDeviceContextWake(platform::CreateEventW(true, false)) {}

DeviceContextSync::~DeviceContextSync() {
    Stop();
    platform::CloseHandle(m_hDeviceContextWake);
}

void DeviceContextSync::Start() {
    std::lock_guard<std::mutex> lock(m_threadMutex);
    if (m_deviceContextThread) return;
    m_stopRequested = false;
    m_deviceContextThread = std::make_unique<std::thread>([this] { DeviceContextSyncThread(); });
}

void DeviceContextSync::Stop() {
    std::lock_guard<std::mutex> lock(m_threadMutex);
    if (!m_deviceContextThread) return;
    m_stopRequested = true;
    platform::SetEvent(m_hDeviceContextWake);
    m_parts.stop.Changed();  // the retry wait
    if (m_deviceContextThread->joinable()) m_deviceContextThread->join();
    m_deviceContextThread.reset();
}

void DeviceContextSync::AddDeviceContextRecordToSync(std::int64_t recordId) {
    const wchar_t* const function = L"DataSyncAgent::AddDeviceContextRecordToSync";
    bool added = false;
    {
        std::lock_guard<std::mutex> lock(m_deviceContextMutex);
        if (std::find(m_deviceContextRecords.begin(), m_deviceContextRecords.end(), recordId) ==
            m_deviceContextRecords.end()) {
            m_deviceContextRecords.push_back(recordId);
            m_pending = m_deviceContextRecords.size();
            added = true;
        }
    }
    if (!added) {
        m_log.e(L"%s: Record ID: %ld is already added in the sync list", function, recordId);
        return;
    }
    m_log.d(L"%s: Added device context for sync with ID: %ld", function, recordId);
    platform::SetEvent(m_hDeviceContextWake);
}

bool DeviceContextSync::StoppedBeforeWake() {
    if (m_parts.stop.WaitForEvent(m_hDeviceContextWake, platform::INFINITE) != StopSignal::Woke::Event ||
        m_stopRequested)
        return true;
    platform::ResetEvent(m_hDeviceContextWake);
    return false;
}

bool DeviceContextSync::StoppedWithin(std::chrono::milliseconds wait) {
    // A new record or the block lifting does not shorten the wait; the record loop looks at the
    // list again after it, so what they signalled meanwhile is dropped.
    const StopSignal::Ended ended =
        m_parts.stop.WaitUntil([this] { return m_stopRequested.load(); }, m_parts.clock.SteadyNow() + wait);
    if (ended != StopSignal::Ended::TimedOut) return true;
    platform::ResetEvent(m_hDeviceContextWake);
    return m_stopRequested.load();  // a Stop whose wake the reset took
}

void DeviceContextSync::DeviceContextSyncThread() {
    m_log.d(L"%s: Start", kThread);
    for (;;) {
        // The flag first: the look at the list resets the wake, and may have taken Stop's.
        if (m_stopRequested ||
            m_parts.stop.WaitForEvent(m_hDeviceContextWake, platform::INFINITE) != StopSignal::Woke::Event ||
            m_stopRequested)
            return;
        try {
            if (!SyncWaitingRecords()) return;
            continue;
        } catch (const std::exception& ex) {
            m_log.e(L"%s: Exception caught %s", kThread, String::UTF8ToUTF16(ex.what()));
        } catch (...) {
            m_log.e(L"%s failed with exception", kThread);
        }
        // The records stay; they are tried again after the retry wait.
        if (StoppedWithin(kRetryWait)) return;
        platform::SetEvent(m_hDeviceContextWake);
    }
}

bool DeviceContextSync::SyncWaitingRecords() {
    for (;;) {  // every waiting record, oldest first
        platform::ResetEvent(m_hDeviceContextWake);
        std::int64_t id = 0;
        {
            std::lock_guard<std::mutex> lock(m_deviceContextMutex);
            if (m_deviceContextRecords.empty()) return true;
            id = m_deviceContextRecords.front();
        }
        if (!SyncRecordUntilAccepted(id)) return false;
        std::lock_guard<std::mutex> lock(m_deviceContextMutex);
        m_deviceContextRecords.pop_front();
        m_pending = m_deviceContextRecords.size();
    }
}

bool DeviceContextSync::SyncRecordUntilAccepted(std::int64_t id) {
    for (;;) {
        if (m_stopRequested) return false;
        m_log.d(L"%s: Syncing device context record with id: %ld", kThread, id);
        if (m_parts.purge.IsTelemetrySyncBlocked()) {
            m_log.d(L"%s: device-path purge pending or in progress, skip NAVP device context sync", kThread);
            // The record waits for the block to lift (the purge's resume wakes the thread).
            if (StoppedBeforeWake()) return false;
            continue;
        }
        // Like every other upload: nothing without consent, nothing under the scope "none". The
        // record waits, and is looked at again after the retry wait.
        if (!m_parts.consent.IsSyncAllowedByMetrics() || m_parts.endpoints.IsScopeNone()) {
            m_log.i(L"%s: device context record %ld not posted: no consent to send telemetry, or scope none", kThread,
                    id);
            if (StoppedWithin(kRetryWait)) return false;
            continue;
        }
        const UploadOutcome outcome =
            m_parts.leg.NavpUploader(L"", NAVP_DEVICE_CONTEXT, utility::DB_PATH_DEFAULT).PostRecord(id);
        // Done: NAVP has the record (its bookmark write, if the file refused it, is owed and made
        // by the next upload), or the record can never be sent (no such row, or one that cannot
        // be decoded).
        if (outcome.PostAccepted() || outcome.result == UploadResult::NothingToSend ||
            outcome.result == UploadResult::Undecodable)
            return true;
        // A purge that began after the look above: the record waits for it.
        if (outcome.result == UploadResult::Blocked) continue;
        m_log.e(L"%s: Retrying sync device context after returned sync result: %d", kThread,
                NavpSyncAgent::ResultCode(outcome));
        if (StoppedWithin(kRetryWait)) return false;
    }
}

DatabaseResult DeviceContextSync::UploadDeviceContext(const std::wstring& fileName) {
    const wchar_t* const function = L"DataSyncAgent::HandleDeviceContext";
    const auto notDone = [](const char* gate) { return DatabaseResult{false, UploadOutcome::HeldBy(gate)}; };
    if (!m_parts.consent.IsSyncAllowedByMetrics()) return notDone("consent");
    if (!m_parts.backoff.ShouldPostForKta() && !m_parts.backoff.ShouldPostForNavs()) return notDone("backoff");
    if (m_parts.purge.IsTelemetrySyncBlocked()) {
        m_log.d(L"%s: device-path purge pending or in progress, skip device context sync", function);
        return notDone("purge");
    }
    m_log.d(L"%s: Filename %s", function, fileName);
    // Woken by the flags and the families changing (StopSignal::Changed) and by a stop.
    bool ready = false;
    m_parts.stop.WaitUntil([this, &ready] {
        ready = m_parts.readiness.SomeEndpointReady();
        return ready || !m_parts.state._b_is_start;
    });
    if (!ready) {
        m_log.d(L"%s: Service stop happend!", function);
        return notDone("not_ready");
    }
    m_log.d(L"%s: Making a sync post call", function);
    try {
        const DataSet policy =
            GetDataItemType(fileName) == SYNC_DEVICE_CONTEXT
                ? m_parts.policies.GetDatasetPolicy(kDeviceContextDatasetName, 0)
                : m_parts.policies.GetDatasetPolicy(DatasetIdOfFile(fileName), 1);
        if (policy.dataset_id().empty()) {
            m_log.e(L"%s: -GetDatasetPolicy(%s) return null dataset!!", function, fileName);
            return notDone("no_policy");
        }
        const SyncEP ep(policy.syncEPs());
        const auto succeeded = [&](const wchar_t* family, const UploadOutcome& outcome) {
            m_deviceContextSynced.exchange(true);
            m_log.d(L"%s: %s Sync Device Context Success", function, family);
            return DatabaseResult{true, outcome};
        };
        // One family's leg; a back-off failure is logged with `failed`.
        const auto post = [&](SyncEP::SyncEp_type family, const wchar_t* failed) {
            const FamilyLeg::Result leg =
                m_parts.leg.Run({family, L"", SYNC_DEVICE_CONTEXT, utility::DB_PATH_DEFAULT, function});
            if (!leg.deviceMissing && leg.backedOff)
                m_log.e(failed, function, SyncAgentsHelper::ResultCode(leg.outcome));
            return leg.outcome;
        };

        // The KTA result decides when KTA is named (a KTA held by its gates is a failure), else NAVS's.
        UploadOutcome decisive = UploadOutcome::HeldBy("no_family");
        if (ep.isKTAEnabled()) {
            decisive = post(SyncEP::SyncEP_KTA, L"%s: KTA failed:Device Context -ret:%d");
            if (ep.isKTAOnlyEnabled() && decisive.Succeeded()) return succeeded(L"KTA", decisive);
        }
        if (ep.isNAVSEnabled()) {
            const UploadOutcome navs = post(SyncEP::SyncEP_NAVS, L"%s: NAVS failed:Device Context -ret:%d");
            if (ep.isNAVSOnlyEnabled()) {
                if (navs.Succeeded()) return succeeded(L"NAVS", navs);
            } else if (!ep.isKTAEnabled()) {
                decisive = navs;
            }
        }
        if (ep.isNAVPEnabled() && m_parts.endpoints.IsUrlValid(SyncEP::SyncEP_NAVP)) {
            const UploadOutcome navp = m_parts.leg.Run({SyncEP::SyncEP_NAVP, L"", SYNC_DEVICE_CONTEXT,
                                                        utility::DB_PATH_DEFAULT, function}).outcome;
            if (ep.isNAVPOnlyEnabled() && navp.Succeeded()) return succeeded(L"NAVP", navp);
        }
        if (!ep.isValid()) {
            m_log.d(L"%s: is ----- nothing -----\n", function);
            return {false, decisive};
        }
        if (!decisive.Succeeded()) {
            m_log.e(L"%s: Sync Device Context failed!", function);
            return {false, decisive};
        }
        m_deviceContextSynced.exchange(true);
        m_log.d(L"%s: Multiple EPs - Sync Device Context Success", function);
        return {true, decisive};
    } catch (...) {
        m_log.e(L"%s failed with exception", function);
        return {false, UploadOutcome::Of(UploadResult::Exception)};
    }
}

}  // namespace DataSync
}  // namespace ZEL
