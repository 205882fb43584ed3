// SyncMap: the dataset sync map, one record per watched telemetry database file (the log calls
// it "SyncMapList"), its writers, and SyncDB, the upload of one record's file.
//
// Writers: the file-change callbacks (a change adds a trigger), the start-up and recovery scans
// (MarkScanned), the scheduled-dataset set-up and the timer pass (Insert, Update), and SyncDB.
//
// SyncDB claims the record under the map's lock, uploads with no lock held, and commits the
// outcome under the lock:
//   - one upload per database at a time: a second SyncDB of the same key waits for the first to
//     commit; the timer pass (Update) leaves a record alone while its upload runs;
//   - triggers that arrive while the upload runs are kept: the commit applies the upload's
//     outcome as if they had come after it, so rows written during an upload are never taken
//     for sent.
//
// Keys are the full path (scans, scheduled set-up) or whatever the file watcher reports; the
// file name is the part after the last separator.
//
// Thread safety: any thread (watchers, timer, worker, notifications). m_syncMapMutex guards the
// records, the claims and the device-status times; it is held only for in-memory work, never
// across an upload, a store query, a log line or a wait for another lock, so CurrentStatus(),
// which copies the records under it when a status asks, answers at once. No copy is kept
// between two status requests.
#pragma once

#include <condition_variable>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "datasync/common/AgentState.h"
#include "datasync/common/DbRoots.h"
#include "datasync/common/UploadOutcome.h"
#include "datasync/host/Clock.h"
#include "datasync/host/Log.h"
#include "datasync/scheduling/SyncRecord.h"

namespace ZEL {
namespace DataSync {

// What SyncDB needs of the dispatch.
class DatabaseUploader {
public:
    virtual ~DatabaseUploader() = default;
    // One file of the service folder (root 1) / of the shared folder (root 2).
    virtual DatabaseResult UploadServiceFile(const std::wstring& fileName) = 0;
    virtual DatabaseResult UploadSharedFile(const std::wstring& fileName) = 0;
    virtual bool RemainData2Sync(int method, std::wstring path) = 0;
};

class SyncMap {
public:
    using Status = std::map<std::wstring, _sync_data>;

    // `uploader` (not owned) must outlive the map.
    SyncMap(const AgentState& state, DatabaseUploader& uploader, Clock& clock, Log& log);
    SyncMap(const SyncMap&) = delete;
    SyncMap& operator=(const SyncMap&) = delete;

    // The file watchers' callbacks: the service folder (root 1) and the shared folder (root 2).
    void InternalDBChangesNotify(std::wstring path);
    void SharedDBChangesNotify(std::wstring path);
    // Adds a trigger to the file's record (creating it) while the device is online.
    void DBChangesNotify(std::wstring path, utility::EGetDBPathMethod method);

    // Uploads the file of `key`'s record and updates the record.
    void SyncDB(std::wstring key);

    // The start-up and recovery scans found unsent rows in `path` of `root`: near-real-time,
    // one more trigger, retries cleared, applicability asked afresh.
    void MarkScanned(const std::wstring& path, const std::wstring& name, int root);
    // Inserts `record` unless `key` has one; true when inserted.
    bool Insert(const std::wstring& key, const _sync_data& record);
    // Runs `change` on `key`'s record under the map's lock unless the record is gone or its
    // upload runs; true when it ran. REQUIRES: `change` does no I/O, takes no lock, logs nothing.
    bool Update(const std::wstring& key, const std::function<void(_sync_data&)>& change);
    // One more trigger for `key`'s record, also while its upload runs (it then counts as
    // arriving after the upload); false when there is no record.
    bool AddTrigger(const std::wstring& key);
    // Asks for an immediate upload of `key`'s record if it is a scheduled one (also while its
    // upload runs); true when it is.
    bool MarkSyncNow(const std::wstring& key);
    // Empties the map (the agent stopped).
    void Clear();
    // How many times Clear ran: records only go with it.
    std::uint64_t Clears() const { return m_clears; }

    bool Contains(const std::wstring& key) const;
    std::vector<std::wstring> Keys() const;
    // A copy of `key`'s record; a zero record when there is none.
    _sync_data Record(const std::wstring& key) const;
    // A copy of `key`'s record; false when there is none or its upload runs.
    bool FindIdle(const std::wstring& key, _sync_data& out) const;
    std::size_t Size() const;

    // The last sync time of a device-status database, kept across the map's clearing.
    bool DeviceStatusLastSync(const std::wstring& key, std::int64_t& seconds) const;
    void SetDeviceStatusLastSync(const std::wstring& key, std::int64_t seconds);

    // The record clock of `path`: seconds since system start for the device-status dataset,
    // wall-clock GMT seconds for every other.
    std::int64_t GetCurrTimeGivenFilePath(const std::wstring& path) const;

    // A copy of every record, made now.
    std::shared_ptr<const Status> CurrentStatus() const;

private:
    // The claim of one key's upload: taken at construction (after any other upload of the key has
    // ended), released at destruction, on every way out.
    class Claim;

    const AgentState& m_state;
    DatabaseUploader& m_uploader;
    Clock& m_clock;
    Log& m_log;

    mutable std::mutex m_syncMapMutex;
    std::atomic<std::uint64_t> m_clears{0};
    std::map<std::wstring, _sync_data> m_syncMap;                 // guarded by m_syncMapMutex
    std::set<std::wstring> m_uploading;                           // keys claimed by SyncDB; guarded
    std::condition_variable m_uploadEnded;                        // a claim was released
    std::map<std::wstring, std::int64_t> m_deviceStatusLastSync;  // guarded by m_syncMapMutex
};

}  // namespace DataSync
}  // namespace ZEL
