// The dataset sync map and change-driven sync: a file change marks the file's record; the timer
// pass queues marked records; the worker uploads one record's file in SyncDB and writes the
// outcome back.
#include "datasync/agent/DataSyncAgent.h"
#include "datasync/host/Clock.h"
#include "datasync/host/DataStore.h"

namespace {

const wchar_t* const kDeviceStatusDatasetId = L"1118F4A1-5F72-4175-8CCD-36F64DBE5133";

// Keys are full paths (scans) or whatever the file watcher reported: the file name is the part
// after the last separator.
std::wstring FileNameOfKey(const std::wstring& key) {
    const std::size_t slash = key.find_last_of(L"/\\");
    return slash == std::wstring::npos ? key : key.substr(slash + 1);
}

}  // namespace

void DataSyncAgent::InternalDBChangesNotify(std::wstring path) {
    DBChangesNotify(std::move(path), ZEL::utility::DB_PATH_INTERNAL);
}

void DataSyncAgent::SharedDBChangesNotify(std::wstring path) {
    DBChangesNotify(std::move(path), ZEL::utility::DB_PATH_USER_SHARED);
}

void DataSyncAgent::DBChangesNotify(std::wstring path, ZEL::utility::EGetDBPathMethod method) {
    const wchar_t* const function = L"DataSyncAgent::DBChangesNotify";
    m_log.d(L"%s: %s changed,threadID(0x%x),_b_is_online=%d,_b_is_DevRegistered=%d,_b_is_start=%d", function, path,
            static_cast<unsigned>(std::hash<std::thread::id>()(std::this_thread::get_id()) & 0xffffffffu),
            _b_is_online ? 1 : 0, _b_is_DevRegistered ? 1 : 0, _b_is_start ? 1 : 0);
    // Offline changes are picked up by the start-up and recovery scans.
    if (!_b_is_online) return;

    std::lock_guard<std::recursive_mutex> lock(m_syncMapMutex);
    _sync_data record;
    auto found = m_syncMap.find(path);
    if (found != m_syncMap.end()) record = found->second;
    record.trigger_times += 1;
    if (record.sync_state != 1 && record.retry_times >= 5) record.retry_times = 0;
    record.db_root = method == ZEL::utility::DB_PATH_INTERNAL ? 1 : 2;
    m_log.d(L"%s,%s before reset nrtsyncdata.retry_times %d; Trigger Times : %d Sync state : %d", function, path,
            record.retry_times, record.trigger_times, record.sync_state);
    record.last_applicable = true;
    m_syncMap[path] = record;
}

void DataSyncAgent::SyncDB(std::wstring key) {
    const wchar_t* const function = L"DataSyncAgent::SyncDB";
    WaitWhileTelemetrySyncBlocked();

    // Held across the upload: a timer pass or change callback waits until it ends.
    std::lock_guard<std::recursive_mutex> lock(m_syncMapMutex);
    auto found = m_syncMap.find(key);
    if (found == m_syncMap.end()) {
        m_log.e(L"%s: No Entry in SyncMapList:%s!", function, key);
        return;
    }
    if (found->second.trigger_times == 0) return;

    const std::wstring fileName = FileNameOfKey(key);
    m_log.d(L"%s: Pathname: %s, Extracted filename: %s", function, key, fileName);
    const std::uint32_t root = found->second.db_root;
    IDataSyncAgent& agent = *this;
    const bool ok = root == 1 ? agent.HandleNRT(fileName) : agent.HandleSharedNRT(fileName);
    const bool remain = RemainData2Sync(static_cast<int>(root), key);

    // The upload ran with the map lock held, so the record is still the one found above.
    _sync_data& record = found->second;
    if (ok && record.sync_now) record.sync_now = false;
    record.last_result = ok ? 1 : 0;
    record.last_sync_time = GetCurrTimeGivenFilePath(key);
    if (key.find(kDeviceStatusDatasetId) != std::wstring::npos) {
        std::lock_guard<std::mutex> statusLock(m_deviceStatusMutex);
        m_deviceStatusLastSync[key] = record.last_sync_time;
    }
    if (!remain) record.trigger_times = 0;
    record.remain_data = remain ? 1 : 0;
    record.sync_state = record.trigger_times > 0 ? 2 : 0;
    m_log.d(L"%s,%s before reset nrtsyncdata.retry_times %d; Trigger Times : %d; Remain Data : %d Sync state : %d",
            function, fileName, record.retry_times, record.trigger_times, record.remain_data, record.sync_state);
}

int DataSyncAgent::CheckDBType(std::wstring name) {
    const bool service = ZEL::FileSystem::fileExists(ZEL::utility::GetDBPath(ZEL::utility::DB_PATH_INTERNAL) + name);
    const bool shared = ZEL::FileSystem::fileExists(ZEL::utility::GetDBPath(ZEL::utility::DB_PATH_USER_SHARED) + name);
    return (service ? 1 : 0) + (shared ? 2 : 0);
}

int DataSyncAgent::GetDataItemType(const std::wstring& name) {
    using namespace ZEL::DataSync;
    if (name.find(L"_DatasetContext") != std::wstring::npos) return SYNC_DATASET_CONTEXT;
    if (name.find(L"_ItemEvent") != std::wstring::npos) return SYNC_ITEM_EVENT;
    if (name.find(L"_ItemContext") != std::wstring::npos) return SYNC_ITEM_CONTEXT;
    if (name.find(L"DeviceContext") != std::wstring::npos) return SYNC_DEVICE_CONTEXT;
    return SYNC_ALL_ITEM_KINDS;
}

std::int64_t DataSyncAgent::GetCurrTimeGivenFilePath(std::wstring& path) {
    if (path.find(kDeviceStatusDatasetId) != std::wstring::npos)
        return static_cast<std::int64_t>(ZEL::Clock::GetInstance()->TickCount64() / 1000);
    return ZEL::DateTimeUtility::GetCurrentGmtDatetime();
}
