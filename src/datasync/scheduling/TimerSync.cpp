// The 2-second timer pass, the scheduled datasets' records, the start-up and 5-minute recovery
// scans of the near-real-time files, and the immediate syncs.
#include "datasync/scheduling/TimerSync.h"

#include "datasync/common/DbRoots.h"
#include "datasync/common/Paths.h"
#include "datasync/common/StringUtil.h"
#include "datasync/common/TimeText.h"
#include "datasync/common/WellKnownIds.h"
#include "datasync/host/HostFiles.h"

namespace ZEL {
namespace DataSync {
namespace {

const wchar_t* const kDoTimerPost = L"DataSyncAgent::DoTimerPost";
constexpr std::uint64_t kRecheckPeriodMs = 300000;

std::vector<std::wstring> DatabaseNamesOf(const std::wstring& datasetId) {
    if (datasetId == kDeviceContextDatasetId) return {kDeviceContextFileName};
    return {TelemetryFileName(datasetId, L"ItemEvent"), TelemetryFileName(datasetId, L"DatasetContext")};
}

// The folder is the host's answer through HostFiles, as CheckDBType asks it.
std::wstring PathOf(HostFiles& files, int root, const std::wstring& name) {
    return files.DbFolder(static_cast<utility::EGetDBPathMethod>(root)) + name;
}

}  // namespace

void TimerSync::DoTimerPost(const std::wstring&) {
    if (m_parts.purge.IsTelemetrySyncBlocked()) {
        m_log.d(L"%s: device-path purge pending or in progress, skip timer sync", kDoTimerPost);
        return;
    }
    if (!m_parts.backoff.ShouldPostForKta() && !m_parts.backoff.ShouldPostForNavs()) return;

    if (m_parts.readiness.SomeEndpointReady()) {
        InitTimerDatasetStates();
        RecheckNrtDatasetStates();
        for (const std::wstring& key : m_parts.syncMap.Keys()) {
            if (!m_parts.state._b_is_start) {
                m_log.d(L"%s: Stop happening, exit!", kDoTimerPost);
                return;
            }
            VisitRecord(key);
        }
    }

    const AgentState& state = m_parts.state;
    if ((m_parts.endpoints.IsEnabled(SyncEP::SyncEP_KTA) || m_parts.endpoints.IsEnabled(SyncEP::SyncEP_NAVS)) &&
        !state._b_is_DevRegistered && state._b_is_start && state._b_is_online && IsTelemetryReadyToSync())
        m_parts.sendRegistrationRequest();
}

void TimerSync::VisitRecord(const std::wstring& key) {
    _sync_data record;
    if (!m_parts.syncMap.FindIdle(key, record)) return;  // gone, or its upload runs
    if (!ApplicableWithThrottling(key, record) || !m_parts.heartbeat.ShouldSyncHeartbeatTelemetry(key)) return;
    if (record.sync_kind != 2)
        QueueNearRealTimeRecord(key, record);
    else
        QueueScheduledRecord(key, record);
}

bool TimerSync::ApplicableWithThrottling(const std::wstring& key, _sync_data& record) {
    const _sync_data before = record;
    const bool applicable = IsApplicableForSyncWithThrottling(key, record);
    if (record.last_applicable == before.last_applicable &&
        record.applicability_failure_count == before.applicability_failure_count &&
        record.iterations_since_applicability_check == before.iterations_since_applicability_check)
        return applicable;
    m_parts.syncMap.Update(key, [&](_sync_data& live) {
        // A change that came meanwhile asked for a fresh evaluation: that request stays.
        const bool freshRequested = live.last_applicable && !before.last_applicable;
        live.last_applicable = record.last_applicable || freshRequested;
        live.applicability_failure_count = record.applicability_failure_count;
        live.iterations_since_applicability_check = record.iterations_since_applicability_check;
    });
    return applicable;
}

void TimerSync::QueueNearRealTimeRecord(const std::wstring& key, const _sync_data& record) {
    if (record.trigger_times == 0 || record.sync_state == 1 || record.retry_times > 5) return;
    if (!m_parts.readiness.SomeEndpointReady() || !m_parts.consent.IsSyncAllowedByMetricsForFile(key)) return;
    bool queued = false;
    _sync_data marked;
    m_parts.syncMap.Update(key, [&](_sync_data& live) {
        if (live.trigger_times == 0 || live.sync_state == 1 || live.retry_times > 5) return;
        live.sync_state = 1;
        queued = true;
        marked = live;
    });
    if (!queued) return;
    if (!m_parts.queue.PutMsg(sync_msg{ONE_DATASET_SYNC, key})) {
        m_log.e(L"%s:  1 putmsg ONE_DATASET_SYNC failed!", kDoTimerPost);
        return;
    }
    m_log.d(L"%s 1 putmsg ONE_DATASET_SYNC ok", kDoTimerPost);
    m_log.d(L"%s : %s :  Retry Times : %d ; Trigger Times: %d", kDoTimerPost, key, marked.retry_times,
            marked.trigger_times);
}

void TimerSync::QueueScheduledRecord(const std::wstring& key, const _sync_data& record) {
    SyncMap& map = m_parts.syncMap;
    if (record.sync_state == 1) return;  // its message waits in the queue
    const std::int64_t due = record.last_sync_time + static_cast<std::int64_t>(record.interval);
    std::int64_t now = map.GetCurrTimeGivenFilePath(key);
    // A clock set back past the last sync would otherwise hold the record for the size of the jump.
    const bool clockWentBack = now < record.last_sync_time;
    if (now < due && !clockWentBack && record.remain_data == 0 && !record.sync_now) return;
    if (!m_parts.readiness.SomeEndpointReady()) {
        m_log.d(L"%s: timer comes for %s,lastsync@%s(online=%d,devRegister=%d),remain=%d,bypass...", kDoTimerPost, key,
                System::GetTime(record.last_sync_time), m_parts.state._b_is_online ? 1 : 0,
                m_parts.state._b_is_DevRegistered ? 1 : 0, record.remain_data);
        return;
    }
    if (!m_parts.consent.IsSyncAllowedByMetricsForFile(key)) return;
    if (record.remain_data == 0 && !m_parts.dispatch.RemainData2Sync(static_cast<int>(record.db_root), key)) {
        const std::int64_t checked = map.GetCurrTimeGivenFilePath(key);
        bool firstIdlePass = false;
        map.Update(key, [&](_sync_data& live) {
            live.last_sync_time = checked;
            firstIdlePass = !live.no_data_logged;
            live.no_data_logged = true;
        });
        if (firstIdlePass) m_log.d(L"%s: NO dirty data to SYNC: %s", kDoTimerPost, key);
        return;
    }
    now = map.GetCurrTimeGivenFilePath(key);
    std::int32_t retries = 0;
    const bool counted = map.Update(key, [&](_sync_data& live) {
        live.trigger_times += 1;
        live.no_data_logged = false;
        if (now < due && !clockWentBack && live.last_result == 0)
            live.retry_times += 1;
        else
            live.retry_times = 0;
        retries = live.retry_times;
    });
    if (!counted) return;
    m_log.d(L"%s: _gSyncMap filename = %s, _gSyncMap[filename].retry_times = %d", kDoTimerPost, key, retries);
    if (!m_parts.readiness.SomeEndpointReady() || retries > 5) return;
    std::uint32_t stateBefore = 0;
    bool marked = false;
    map.Update(key, [&](_sync_data& live) {
        if (live.sync_state == 1) return;
        stateBefore = live.sync_state;
        live.sync_state = 1;
        marked = true;
    });
    if (!marked) return;
    if (m_parts.queue.PutMsg(sync_msg{ONE_DATASET_SYNC, key})) {
        m_log.d(L"%s: putmsg ONE_DATASET_SYNC ok", kDoTimerPost);
        return;
    }
    m_log.e(L"%s: putmsg ONE_DATASET_SYNC failed!", kDoTimerPost);
    map.Update(key, [stateBefore](_sync_data& live) {  // the next pass tries again
        if (live.sync_state == 1) live.sync_state = stateBefore;
    });
}

void TimerSync::InitTimerDatasetStates() {
    const wchar_t* const function = L"DataSyncAgent::InitTimerDatasetStates";
    const std::wstring folders[] = {std::wstring(), PathOf(m_parts.files, 1, L""),
                                    PathOf(m_parts.files, 2, L"")};  // by root
    // Known files first, and a folder unchanged since the last complete pass can hold no new
    // file: a pass over many scheduled datasets then costs two file-system calls.
    const std::uint64_t generation = m_parts.syncMap.Clears() * 1000003 + m_parts.policies.ScheduledRevision();
    const FolderLook::Ticket looks[] = {FolderLook::Ticket{}, m_folderLook.Begin(folders[1], generation),
                                        m_folderLook.Begin(folders[2], generation)};
    // Both folders unchanged: every file there already has its record.
    const bool anyFolderToLook = looks[1].needed || looks[2].needed;
    const auto scheduled = anyFolderToLook ? m_parts.policies.ScheduledDatasets() : decltype(m_parts.policies.ScheduledDatasets()){};
    for (const auto& dataset : scheduled) {
        if (!m_parts.state._b_is_start) return;
        for (const std::wstring& name : DatabaseNamesOf(dataset.first)) {
            for (const int root : {1, 2}) {
                if (!looks[root].needed) continue;
                const std::wstring path = folders[root] + name;
                if (m_parts.syncMap.Contains(path) || !m_parts.files.IsRegularFile(path)) continue;
                if (m_parts.syncMap.Insert(path, NewScheduledRecord(path, root, dataset.second)))
                    m_log.d(L"%s Added file to sync map. File name : %s", function, path);
            }
        }
    }
    m_folderLook.Done(looks[1]);
    m_folderLook.Done(looks[2]);
}

_sync_data TimerSync::NewScheduledRecord(const std::wstring& path, int root, std::uint32_t interval) {
    const wchar_t* const function = L"DataSyncAgent::InitTimerDatasetStates";
    _sync_data record;
    record.db_root = static_cast<std::uint32_t>(root);
    record.sync_kind = 2;
    record.interval = interval;
    std::string logtime;
    record.remain_data = m_parts.dispatch.RemainData2SyncEx(root, path, record.interval, logtime) ? 1 : 0;
    std::int64_t stamp = -1;
    if (!logtime.empty()) {
        stamp = DateTimeUtility::GetGmtTimeStamp(logtime);
        m_log.d(L"%s: last synctime:%s,seconds=%d,converted=%s", function, String::UTF8ToUTF16(logtime), stamp,
                System::GetTime(stamp));
    }
    if (!ContainsText(path, kDeviceStatusDatasetId)) {
        record.last_sync_time = stamp >= 1 ? stamp : std::chrono::system_clock::to_time_t(m_parts.clock.WallNow());
    } else {
        // The device status keeps its last sync across restarts of the agent.
        const std::int64_t now = static_cast<std::int64_t>(m_parts.clock.TickCount64() / 1000);
        std::int64_t stored = 0;
        if (m_parts.syncMap.DeviceStatusLastSync(path, stored)) {
            record.last_sync_time = stored;
            if (!(now < stored + static_cast<std::int64_t>(record.interval))) record.remain_data = 1;
        } else {
            record.last_sync_time = now;
            m_parts.syncMap.SetDeviceStatusLastSync(path, now);
            m_log.d(L"%s Save last sync time of DeviceStatus as not already recorded", function);
        }
    }
    record.last_applicable = true;
    return record;
}

bool TimerSync::IsTelemetryReadyToSync() {
    const wchar_t* const function = L"DataSyncAgent::IsTelemetryReadyToSync";
    const AgentState& state = m_parts.state;
    m_log.d(L"%s: start (start=%d, online=%d,devRegister=%d)!", function, state._b_is_start ? 1 : 0,
            state._b_is_online ? 1 : 0, state._b_is_DevRegistered ? 1 : 0);
    if (!state._b_is_start || !state._b_is_online) {
        m_log.d(L"%s: exit!", function);
        return false;
    }
    InitTimerDatasetStates();
    bool ready = false;
    for (const std::wstring& key : m_parts.syncMap.Keys()) {
        if (!state._b_is_start) {
            m_log.d(L"%s: Service Stop!", function);
            return false;
        }
        _sync_data record;
        if (!m_parts.syncMap.FindIdle(key, record)) continue;
        if (record.sync_kind == 2) {
            const std::int64_t now = m_parts.syncMap.GetCurrTimeGivenFilePath(key);
            const bool clockWentBack = now < record.last_sync_time;
            if (now < record.last_sync_time + static_cast<std::int64_t>(record.interval) && !clockWentBack &&
                record.remain_data == 0)
                continue;
            if (!state._b_is_online) continue;
            ready = record.remain_data != 0 || m_parts.dispatch.RemainData2Sync(static_cast<int>(record.db_root), key);
            if (!ready) {
                m_parts.syncMap.Update(key, [now](_sync_data& live) { live.last_sync_time = now; });
                m_log.d(L"%s: NO dirty data to SYNC: %s", function, key);
                continue;
            }
            m_log.d(L"%s: Dataready for %s,lastsync@%s,remain=%d...", function, key,
                    System::GetTime(record.last_sync_time), record.remain_data);
        } else {
            ready = record.trigger_times != 0 && record.sync_state != 1 && record.retry_times < 6;
            if (ready) m_log.d(L"%s: Dataready for nrt %s retry times %d...", function, key, record.retry_times);
        }
        if (ready) break;
    }
    m_log.d(L"%s: exit!", function);
    return ready;
}

void TimerSync::DeviceReadySync(bool recoveryCheckOnly) {
    const wchar_t* const function = L"DataSyncAgent::DeviceReadySync";
    const AgentState& state = m_parts.state;
    m_log.d(L"%s: Starts with recoveryCheckOnly: %d!", function, recoveryCheckOnly ? 1 : 0);
    for (const std::wstring& name : *m_parts.policies.NrtDatabases()) {
        if (!state._b_is_online || !state._b_is_start) break;
        const int mask = CheckDBType(m_parts.files, name);
        for (const int root : {1, 2}) {
            if ((mask & root) == 0 || !m_parts.dispatch.RemainData2Sync(root, name)) continue;
            const std::wstring path = PathOf(m_parts.files, root, name);
            if (!recoveryCheckOnly)
                m_log.d(L"%s: Start Syncing DB: %s", function, path);
            else if (root == 1)
                m_log.d(L"%s: Recheck and Recovery for NRT dataset DB: %s", function, path);
            else
                m_log.d(L"%s: Recheck and Recovery for NRT dataset shared DB: %s", function, path);
            m_parts.syncMap.MarkScanned(path, name, root);
            if (!recoveryCheckOnly) m_parts.syncMap.SyncDB(path);
        }
    }
    if (m_firstDeviceReady.exchange(false)) {
        m_log.d(L"%s: Sync of device status telemetry starts due to service start!", function);
        SyncImmediateTelemetries();
    }
    m_log.d(L"%s: Ends!", function);
}

void TimerSync::RecheckNrtDatasetStates() {
    const std::uint64_t now = m_parts.clock.TickCount64();
    if (m_recheckTick == 0) m_recheckTick = now;  // the first rescan comes one period after the first pass
    if (now - m_recheckTick < kRecheckPeriodMs) return;
    m_recheckTick = now;
    m_log.d(L"%s: attempt to check and recovery of NRT datasets", L"DataSyncAgent::RecheckNrtDatasetStates");
    DeviceReadySync(true);
}

void TimerSync::SyncImmediateTelemetries() {
    InitTimerDatasetStates();
    for (const std::wstring& key : m_parts.syncMap.Keys()) {
        if (m_parts.syncMap.Record(key).sync_kind != 2 || !ContainsText(key, kDeviceStatusDatasetId)) continue;
        m_log.d(L"%s: Sync device status db due to service start", L"DataSyncAgent::SyncImmediateTelemetries");
        if (m_parts.syncMap.AddTrigger(key)) m_parts.syncMap.SyncDB(key);
    }
}

void TimerSync::SyncOnDemandTimerTelemetry() {
    for (const std::wstring& key : m_parts.syncMap.Keys()) {
        if (m_parts.syncMap.Record(key).sync_kind != 2) continue;
        if (m_parts.syncMap.AddTrigger(key)) m_parts.syncMap.SyncDB(key);
    }
}

void TimerSync::AllowSyncOfOnDemandTelemetry() {
    const wchar_t* const function = L"DataSyncAgent::AllowSyncOfOnDemandTelemetry";
    const bool acknowledged = m_parts.recollected.TakeAcknowledgements();
    for (const auto& dataset : m_parts.recollected.Copy()) {
        if (!m_parts.state._b_is_start) return;
        for (const std::wstring& name : dataset.second) {
            std::wstring path;
            const int mask = CheckDBType(m_parts.files, name);
            if (mask == 1) {
                path = PathOf(m_parts.files, 1, name);
            } else if (mask == 2) {
                if (ContainsText(name, kUserAgentDatasetId) && !acknowledged) {
                    m_log.d(L"%s: Skipping %s as pending user DB writes are not acknowledged yet.", function, name);
                    continue;
                }
                path = PathOf(m_parts.files, 2, name);
            }
            if (m_parts.syncMap.MarkSyncNow(path)) m_log.d(L"%s: Needs immediate sync %s !", function, path);
        }
    }
}

}  // namespace DataSync
}  // namespace ZEL
