// The 2-second timer pass, the scheduled datasets' records, the start-up and 5-minute recovery
// scans of the near-real-time files, and the immediate syncs.
#include "datasync/agent/DataSyncAgent.h"
#include "datasync/host/Clock.h"
#include "datasync/host/DataStore.h"

namespace {

const wchar_t* const kDeviceContextDatasetId = L"03D21916-F27E-41EB-B8B3-77372521FBC7";
const wchar_t* const kDeviceStatusDatasetId = L"1118F4A1-5F72-4175-8CCD-36F64DBE5133";
const wchar_t* const kUserWriteDatasetId = L"C4D1AFBD-F3E9-4242-8811-7C6C3904E9CA";
constexpr std::uint64_t kRecheckPeriodMs = 300000;

bool Contains(const std::wstring& text, const wchar_t* part) { return text.find(part) != std::wstring::npos; }

std::vector<std::wstring> DatabaseNamesOf(const std::wstring& datasetId) {
    ZEL::EventDataLogging* store = ZEL::EventDataLogging::GetInstance();
    if (datasetId == kDeviceContextDatasetId) return {store->ToDbFile(L"", L"DeviceContext")};
    return {store->ToDbFile(datasetId, L"ItemEvent"), store->ToDbFile(datasetId, L"DatasetContext")};
}

}  // namespace

void DataSyncAgent::DoTimerPost(const std::wstring&) {
    const wchar_t* const function = L"DataSyncAgent::DoTimerPost";
    WaitWhileTelemetrySyncBlocked();
    if (IsTelemetrySyncBlocked()) {
        m_log.d(L"%s: device-path purge pending or in progress, skip timer sync", function);
        return;
    }
    if (!ShouldPostForKta() && !ShouldPostForNavs()) return;

    if (SomeEndpointReady()) {
        InitTimerDatasetStates();
        RecheckNrtDatasetStates();
        std::lock_guard<std::recursive_mutex> lock(m_syncMapMutex);
        for (auto& entry : m_syncMap) {
            if (!_b_is_start) {
                m_log.d(L"%s: Stop happening, exit!", function);
                return;
            }
            if (!IsApplicableForSyncWithThrottling(entry.first, entry.second) ||
                !ShouldSyncHeartbeatTelemetry(entry.first))
                continue;
            if (entry.second.sync_kind != 2)
                QueueNearRealTimeRecord(entry.first, entry.second);
            else
                QueueScheduledRecord(entry.first, entry.second);
        }
    }

    if ((m_ktaEnabled == 1 || m_navsEnabled == 1) && !_b_is_DevRegistered && _b_is_start && _b_is_online &&
        IsTelemetryReadyToSync())
        SendRegistrationRequest();
}

void DataSyncAgent::QueueNearRealTimeRecord(const std::wstring& key, _sync_data& record) {
    const wchar_t* const function = L"DataSyncAgent::DoTimerPost";
    if (record.trigger_times == 0 || record.sync_state == 1 || record.retry_times > 5) return;
    if (!SomeEndpointReady() || !IsSyncAllowedByMetricsForFile(key)) return;
    record.sync_state = 1;
    if (!m_msgQueue.PutMsg(sync_msg{ONE_DATASET_SYNC, key})) {
        m_log.e(L"%s:  1 putmsg ONE_DATASET_SYNC failed!", function);
        return;
    }
    m_log.d(L"%s 1 putmsg ONE_DATASET_SYNC ok", function);
    m_log.d(L"%s : %s :  Retry Times : %d ; Trigger Times: %d", function, key, record.retry_times,
            record.trigger_times);
}

void DataSyncAgent::QueueScheduledRecord(const std::wstring& key, _sync_data& record) {
    const wchar_t* const function = L"DataSyncAgent::DoTimerPost";
    std::wstring path = key;
    const std::int64_t due = record.last_sync_time + static_cast<std::int64_t>(record.interval);
    std::int64_t now = GetCurrTimeGivenFilePath(path);
    // A clock set back past the last sync would otherwise hold the record for the size of the jump.
    const bool clockWentBack = now < record.last_sync_time;
    if (now < due && !clockWentBack && record.remain_data == 0 && !record.sync_now) return;
    if (!SomeEndpointReady()) {
        m_log.d(L"%s: timer comes for %s,lastsync@%s(online=%d,devRegister=%d),remain=%d,bypass...", function, key,
                ZEL::System::GetTime(record.last_sync_time), _b_is_online ? 1 : 0, _b_is_DevRegistered ? 1 : 0,
                record.remain_data);
        return;
    }
    if (!IsSyncAllowedByMetricsForFile(key)) return;
    if (record.remain_data == 0 && !RemainData2Sync(static_cast<int>(record.db_root), key)) {
        record.last_sync_time = GetCurrTimeGivenFilePath(path);
        if (!record.no_data_logged) {
            m_log.d(L"%s: NO dirty data to SYNC: %s", function, key);
            record.no_data_logged = true;
        }
        return;
    }
    record.trigger_times += 1;
    record.no_data_logged = false;
    now = GetCurrTimeGivenFilePath(path);
    if (now < due && !clockWentBack && record.last_result == 0)
        record.retry_times += 1;
    else
        record.retry_times = 0;
    m_log.d(L"%s: _gSyncMap filename = %s, _gSyncMap[filename].retry_times = %d", function, key, record.retry_times);
    if (!SomeEndpointReady() || record.retry_times > 5) return;
    if (m_msgQueue.PutMsg(sync_msg{ONE_DATASET_SYNC, key}))
        m_log.d(L"%s: putmsg ONE_DATASET_SYNC ok", function);
    else
        m_log.e(L"%s: putmsg ONE_DATASET_SYNC failed!", function);
}

void DataSyncAgent::InitTimerDatasetStates() {
    const wchar_t* const function = L"DataSyncAgent::InitTimerDatasetStates";
    std::lock_guard<std::mutex> scheduledLock(m_scheduledMutex);
    for (const auto& dataset : m_scheduledDatasets) {
        if (!_b_is_start) return;
        for (const std::wstring& name : DatabaseNamesOf(dataset.first)) {
            for (const int root : {1, 2}) {
                std::wstring path = ZEL::utility::GetDBPath(static_cast<ZEL::utility::EGetDBPathMethod>(root)) + name;
                std::lock_guard<std::recursive_mutex> lock(m_syncMapMutex);
                // Known files first: a pass over many scheduled datasets then costs no file-system
                // call at all.
                if (m_syncMap.count(path) != 0 || !ZEL::FileSystem::fileExists(path)) continue;

                _sync_data record;
                record.db_root = static_cast<std::uint32_t>(root);
                record.sync_kind = 2;
                record.interval = dataset.second;
                std::string logtime;
                record.remain_data = RemainData2SyncEx(root, path, record.interval, logtime) ? 1 : 0;
                std::int64_t stamp = -1;
                if (!logtime.empty()) {
                    stamp = ZEL::DateTimeUtility::GetGmtTimeStamp(logtime);
                    m_log.d(L"%s: last synctime:%s,seconds=%d,converted=%s", function,
                            ZEL::String::UTF8ToUTF16(logtime), stamp, ZEL::System::GetTime(stamp));
                }
                if (!Contains(path, kDeviceStatusDatasetId)) {
                    record.last_sync_time = stamp >= 1 ? stamp : ZEL::DateTimeUtility::GetCurrentGmtDatetime();
                } else {
                    std::lock_guard<std::mutex> statusLock(m_deviceStatusMutex);
                    const std::int64_t now = static_cast<std::int64_t>(ZEL::Clock::GetInstance()->TickCount64() / 1000);
                    auto stored = m_deviceStatusLastSync.find(path);
                    if (stored != m_deviceStatusLastSync.end()) {
                        record.last_sync_time = stored->second;
                        if (!(now < stored->second + static_cast<std::int64_t>(record.interval))) record.remain_data = 1;
                    } else {
                        record.last_sync_time = now;
                        m_deviceStatusLastSync[path] = now;
                        m_log.d(L"%s Save last sync time of DeviceStatus as not already recorded", function);
                    }
                }
                record.last_applicable = true;
                m_syncMap[path] = record;
                m_log.d(L"%s Added file to sync map. File name : %s", function, path);
            }
        }
    }
}

bool DataSyncAgent::IsTelemetryReadyToSync() {
    const wchar_t* const function = L"DataSyncAgent::IsTelemetryReadyToSync";
    m_log.d(L"%s: start (start=%d, online=%d,devRegister=%d)!", function, _b_is_start ? 1 : 0, _b_is_online ? 1 : 0,
            _b_is_DevRegistered ? 1 : 0);
    if (!_b_is_start || !_b_is_online) {
        m_log.d(L"%s: exit!", function);
        return false;
    }
    InitTimerDatasetStates();
    std::lock_guard<std::recursive_mutex> lock(m_syncMapMutex);
    bool ready = false;
    for (auto& entry : m_syncMap) {
        if (!_b_is_start) {
            m_log.d(L"%s: Service Stop!", function);
            return false;
        }
        _sync_data& record = entry.second;
        if (record.sync_kind == 2) {
            std::wstring path = entry.first;
            const std::int64_t now = GetCurrTimeGivenFilePath(path);
            const bool clockWentBack = now < record.last_sync_time;
            if (now < record.last_sync_time + static_cast<std::int64_t>(record.interval) && !clockWentBack &&
                record.remain_data == 0)
                continue;
            if (!_b_is_online) continue;
            ready = record.remain_data != 0 || RemainData2Sync(static_cast<int>(record.db_root), entry.first);
            if (!ready) {
                record.last_sync_time = now;
                m_log.d(L"%s: NO dirty data to SYNC: %s", function, entry.first);
                continue;
            }
            m_log.d(L"%s: Dataready for %s,lastsync@%s,remain=%d...", function, entry.first,
                    ZEL::System::GetTime(record.last_sync_time), record.remain_data);
        } else {
            ready = record.trigger_times != 0 && record.sync_state != 1 && record.retry_times < 6;
            if (ready) m_log.d(L"%s: Dataready for nrt %s retry times %d...", function, entry.first, record.retry_times);
        }
        if (ready) break;
    }
    m_log.d(L"%s: exit!", function);
    return ready;
}

void DataSyncAgent::DeviceReadySync(bool recoveryCheckOnly) {
    const wchar_t* const function = L"DataSyncAgent::DeviceReadySync";
    m_log.d(L"%s: Starts with recoveryCheckOnly: %d!", function, recoveryCheckOnly ? 1 : 0);
    {
        std::lock_guard<std::mutex> nrtLock(m_nrtMutex);
        for (const std::wstring& name : m_nrtDbList) {
            if (!_b_is_online || !_b_is_start) break;
            const int mask = CheckDBType(name);
            for (const int root : {1, 2}) {
                if ((mask & root) == 0 || !RemainData2Sync(root, name)) continue;
                std::lock_guard<std::recursive_mutex> lock(m_syncMapMutex);
                const std::wstring path =
                    ZEL::utility::GetDBPath(static_cast<ZEL::utility::EGetDBPathMethod>(root)) + name;
                if (!recoveryCheckOnly)
                    m_log.d(L"%s: Start Syncing DB: %s", function, path);
                else if (root == 1)
                    m_log.d(L"%s: Recheck and Recovery for NRT dataset DB: %s", function, path);
                else
                    m_log.d(L"%s: Recheck and Recovery for NRT dataset shared DB: %s", function, path);
                _sync_data& record = m_syncMap[path];
                record.db_root = static_cast<std::uint32_t>(root);
                record.sync_kind = 1;
                record.trigger_times += 1;
                record.retry_times = 0;
                record.last_applicable = true;
                m_log.d(L"%s,%s before reset nrtsyncdata.retry_times %d; Trigger Times : %d", function, name, 0,
                        record.trigger_times);
                if (!recoveryCheckOnly) SyncDB(path);
            }
        }
    }
    if (m_firstDeviceReady.exchange(false)) {
        m_log.d(L"%s: Sync of device status telemetry starts due to service start!", function);
        SyncImmediateTelemetries();
    }
    m_log.d(L"%s: Ends!", function);
}

void DataSyncAgent::RecheckNrtDatasetStates() {
    const std::uint64_t now = ZEL::Clock::GetInstance()->TickCount64();
    if (m_recheckTick == 0) m_recheckTick = now;  // the first rescan comes one period after the first pass
    if (now - m_recheckTick < kRecheckPeriodMs) return;
    m_recheckTick = now;
    m_log.d(L"%s: attempt to check and recovery of NRT datasets", L"DataSyncAgent::RecheckNrtDatasetStates");
    DeviceReadySync(true);
}

void DataSyncAgent::SyncImmediateTelemetries() {
    InitTimerDatasetStates();
    std::lock_guard<std::recursive_mutex> lock(m_syncMapMutex);
    for (auto& entry : m_syncMap) {
        if (entry.second.sync_kind != 2 || !Contains(entry.first, kDeviceStatusDatasetId)) continue;
        m_log.d(L"%s: Sync device status db due to service start", L"DataSyncAgent::SyncImmediateTelemetries");
        entry.second.trigger_times += 1;
        SyncDB(entry.first);
    }
}

void DataSyncAgent::SyncOnDemandTimerTelemetry() {
    std::lock_guard<std::recursive_mutex> lock(m_syncMapMutex);
    for (auto& entry : m_syncMap) {
        if (entry.second.sync_kind != 2) continue;
        entry.second.trigger_times += 1;
        SyncDB(entry.first);
    }
}

void DataSyncAgent::AllowSyncOfOnDemandTelemetry() {
    const wchar_t* const function = L"DataSyncAgent::AllowSyncOfOnDemandTelemetry";
    bool acknowledged = true;
    {
        std::lock_guard<std::mutex> lock(m_futuresMutex);
        for (std::future<bool>& future : m_duplicateFutures) {
            if (!future.valid()) continue;
            try {
                if (!future.get()) acknowledged = false;
            } catch (...) {
                acknowledged = false;
            }
        }
        m_duplicateFutures.clear();
    }
    for (const auto& dataset : m_recollectedTelemetry) {
        if (!_b_is_start) return;
        for (const std::wstring& name : dataset.second) {
            std::wstring path;
            const int mask = CheckDBType(name);
            if (mask == 1) {
                path = ZEL::utility::GetDBPath(ZEL::utility::DB_PATH_INTERNAL) + name;
            } else if (mask == 2) {
                if (Contains(name, kUserWriteDatasetId) && !acknowledged) {
                    m_log.d(L"%s: Skipping %s as pending user DB writes are not acknowledged yet.", function, name);
                    continue;
                }
                path = ZEL::utility::GetDBPath(ZEL::utility::DB_PATH_USER_SHARED) + name;
            }
            std::lock_guard<std::recursive_mutex> lock(m_syncMapMutex);
            auto found = m_syncMap.find(path);
            if (found == m_syncMap.end() || found->second.sync_kind != 2) continue;
            m_log.d(L"%s: Needs immediate sync %s !", function, path);
            found->second.sync_now = true;
        }
    }
}
