// The dataset sync map: change-driven marking, the scans' and timer's writers, and SyncDB's
// claim, upload and commit.
#include "datasync/scheduling/SyncMap.h"

#include <thread>

#include "datasync/common/Paths.h"
#include "datasync/common/WellKnownIds.h"
#include "datasync/common/SyncTypes.h"

namespace ZEL {
namespace DataSync {
SyncMap::SyncMap(const AgentState& state, DatabaseUploader& uploader, Clock& clock, Log& log)
    : m_state(state), m_uploader(uploader), m_clock(clock), m_log(log) {}

std::shared_ptr<const SyncMap::Status> SyncMap::CurrentStatus() const {
    std::lock_guard<std::mutex> lock(m_syncMapMutex);
    return std::make_shared<const Status>(m_syncMap);
}

void SyncMap::InternalDBChangesNotify(std::wstring path) { DBChangesNotify(std::move(path), utility::DB_PATH_INTERNAL); }

void SyncMap::SharedDBChangesNotify(std::wstring path) { DBChangesNotify(std::move(path), utility::DB_PATH_USER_SHARED); }

void SyncMap::DBChangesNotify(std::wstring path, utility::EGetDBPathMethod method) {
    const wchar_t* const function = L"DataSyncAgent::DBChangesNotify";
    m_log.d(L"%s: %s changed,threadID(0x%x),_b_is_online=%d,_b_is_DevRegistered=%d,_b_is_start=%d", function, path,
            static_cast<unsigned>(std::hash<std::thread::id>()(std::this_thread::get_id()) & 0xffffffffu),
            m_state._b_is_online ? 1 : 0, m_state._b_is_DevRegistered ? 1 : 0, m_state._b_is_start ? 1 : 0);
    // Offline changes are picked up by the start-up and recovery scans.
    if (!m_state._b_is_online) return;

    _sync_data record;
    {
        std::lock_guard<std::mutex> lock(m_syncMapMutex);
        _sync_data& stored = m_syncMap[path];
        stored.trigger_times += 1;
        if (stored.sync_state != 1 && stored.retry_times >= 5) stored.retry_times = 0;
        stored.db_root = method == utility::DB_PATH_INTERNAL ? 1 : 2;
        // The next throttled applicability check evaluates again.
        stored.last_applicable = true;
        record = stored;
    }
    m_log.d(L"%s,%s before reset nrtsyncdata.retry_times %d; Trigger Times : %d Sync state : %d", function, path,
            record.retry_times, record.trigger_times, record.sync_state);
}

class SyncMap::Claim {
public:
    Claim(SyncMap& map, const std::wstring& key) : m_map(map), m_key(key) {}
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    ~Claim() {
        if (!m_taken) return;
        {
            std::lock_guard<std::mutex> lock(m_map.m_syncMapMutex);
            m_map.m_uploading.erase(m_key);
        }
        m_map.m_uploadEnded.notify_all();
    }
    // REQUIRES: m_syncMapMutex held, and no other claim of the key.
    void Take() {
        m_map.m_uploading.insert(m_key);
        m_taken = true;
    }

private:
    SyncMap& m_map;
    const std::wstring& m_key;
    bool m_taken = false;
};

void SyncMap::SyncDB(std::wstring key) {
    const wchar_t* const function = L"DataSyncAgent::SyncDB";
    // Claim: the record exists, has a trigger, and no other upload of it runs.
    Claim claim(*this, key);
    std::uint32_t root = 0;
    std::uint32_t claimedTriggers = 0;
    bool claimedSyncNow = false;
    {
        std::unique_lock<std::mutex> lock(m_syncMapMutex);
        m_uploadEnded.wait(lock, [&] { return m_uploading.count(key) == 0; });
        auto found = m_syncMap.find(key);
        if (found == m_syncMap.end()) {
            lock.unlock();
            m_log.e(L"%s: No Entry in SyncMapList:%s!", function, key);
            return;
        }
        if (found->second.trigger_times == 0) return;
        root = found->second.db_root;
        claimedTriggers = found->second.trigger_times;
        claimedSyncNow = found->second.sync_now;
        claim.Take();
    }

    // Upload, with no lock of the map held.
    const std::wstring fileName = FileNameOfPath(key);
    m_log.d(L"%s: Pathname: %s, Extracted filename: %s", function, key, fileName);
    const DatabaseResult result =
        root == 1 ? m_uploader.UploadServiceFile(fileName) : m_uploader.UploadSharedFile(fileName);
    const bool remain = m_uploader.RemainData2Sync(static_cast<int>(root), key);

    // Commit. Triggers added while the upload ran come after it: they survive an upload that left
    // nothing to send.
    _sync_data record;
    {
        std::lock_guard<std::mutex> lock(m_syncMapMutex);
        auto found = m_syncMap.find(key);
        if (found == m_syncMap.end()) return;  // the map was emptied by a stop meanwhile
        _sync_data& stored = found->second;
        const std::uint32_t arrived = stored.trigger_times > claimedTriggers ? stored.trigger_times - claimedTriggers : 0;
        if (result.done && claimedSyncNow) stored.sync_now = false;
        stored.last_result = result.done ? 1 : 0;
        stored.last_outcome = result.outcome.result;
        stored.last_sync_time = GetCurrTimeGivenFilePath(key);
        if (ContainsText(key, kDeviceStatusDatasetId)) m_deviceStatusLastSync[key] = stored.last_sync_time;
        if (!remain) stored.trigger_times = arrived;
        stored.remain_data = remain ? 1 : 0;
        stored.sync_state = stored.trigger_times > 0 ? 2 : 0;
        record = stored;
    }
    m_log.d(L"%s,%s before reset nrtsyncdata.retry_times %d; Trigger Times : %d; Remain Data : %d Sync state : %d",
            function, fileName, record.retry_times, record.trigger_times, record.remain_data, record.sync_state);
}

void SyncMap::MarkScanned(const std::wstring& path, const std::wstring& name, int root) {
    _sync_data record;
    {
        std::lock_guard<std::mutex> lock(m_syncMapMutex);
        _sync_data& stored = m_syncMap[path];
        stored.db_root = static_cast<std::uint32_t>(root);
        stored.sync_kind = 1;
        stored.trigger_times += 1;
        stored.retry_times = 0;
        stored.last_applicable = true;
        record = stored;
    }
    m_log.d(L"%s,%s before reset nrtsyncdata.retry_times %d; Trigger Times : %d", L"DataSyncAgent::DeviceReadySync",
            name, 0, record.trigger_times);
}

bool SyncMap::Insert(const std::wstring& key, const _sync_data& record) {
    std::lock_guard<std::mutex> lock(m_syncMapMutex);
    if (!m_syncMap.emplace(key, record).second) return false;
    return true;
}

bool SyncMap::Update(const std::wstring& key, const std::function<void(_sync_data&)>& change) {
    std::lock_guard<std::mutex> lock(m_syncMapMutex);
    auto found = m_syncMap.find(key);
    if (found == m_syncMap.end() || m_uploading.count(key) != 0) return false;
    change(found->second);
    return true;
}

bool SyncMap::AddTrigger(const std::wstring& key) {
    std::lock_guard<std::mutex> lock(m_syncMapMutex);
    auto found = m_syncMap.find(key);
    if (found == m_syncMap.end()) return false;
    found->second.trigger_times += 1;
    return true;
}

bool SyncMap::MarkSyncNow(const std::wstring& key) {
    std::lock_guard<std::mutex> lock(m_syncMapMutex);
    auto found = m_syncMap.find(key);
    if (found == m_syncMap.end() || found->second.sync_kind != 2) return false;
    found->second.sync_now = true;
    return true;
}

void SyncMap::Clear() {
    std::lock_guard<std::mutex> lock(m_syncMapMutex);
    ++m_clears;
    m_syncMap.clear();
}

bool SyncMap::Contains(const std::wstring& key) const {
    std::lock_guard<std::mutex> lock(m_syncMapMutex);
    return m_syncMap.count(key) != 0;
}

std::vector<std::wstring> SyncMap::Keys() const {
    std::lock_guard<std::mutex> lock(m_syncMapMutex);
    std::vector<std::wstring> keys;
    keys.reserve(m_syncMap.size());
    for (const auto& entry : m_syncMap) keys.push_back(entry.first);
    return keys;
}

_sync_data SyncMap::Record(const std::wstring& key) const {
    std::lock_guard<std::mutex> lock(m_syncMapMutex);
    auto found = m_syncMap.find(key);
    return found == m_syncMap.end() ? _sync_data{} : found->second;
}

bool SyncMap::FindIdle(const std::wstring& key, _sync_data& out) const {
    std::lock_guard<std::mutex> lock(m_syncMapMutex);
    auto found = m_syncMap.find(key);
    if (found == m_syncMap.end() || m_uploading.count(key) != 0) return false;
    out = found->second;
    return true;
}

std::size_t SyncMap::Size() const {
    std::lock_guard<std::mutex> lock(m_syncMapMutex);
    return m_syncMap.size();
}

bool SyncMap::DeviceStatusLastSync(const std::wstring& key, std::int64_t& seconds) const {
    std::lock_guard<std::mutex> lock(m_syncMapMutex);
    auto found = m_deviceStatusLastSync.find(key);
    if (found == m_deviceStatusLastSync.end()) return false;
    seconds = found->second;
    return true;
}

void SyncMap::SetDeviceStatusLastSync(const std::wstring& key, std::int64_t seconds) {
    std::lock_guard<std::mutex> lock(m_syncMapMutex);
    m_deviceStatusLastSync[key] = seconds;
}

std::int64_t SyncMap::GetCurrTimeGivenFilePath(const std::wstring& path) const {
    if (ContainsText(path, kDeviceStatusDatasetId)) return static_cast<std::int64_t>(m_clock.TickCount64() / 1000);
    return std::chrono::system_clock::to_time_t(m_clock.WallNow());
}

}  // namespace DataSync
}  // namespace ZEL
