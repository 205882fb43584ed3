// DevicePathPurge: the device-path and realm-change purge. The stored device context records the
// device's realm ("organization\<realm>"); when the device moves to another realm, telemetry
// collected under the old one must not be uploaded under the new one.
//
//   detection   full initialisation compares the stored device path with the host's realm; a
//               difference writes the markers (pending; detected_utc, kept from the first time)
//   block       while the pending marker exists or a purge runs, no upload path and no retention
//               starts; the paths that may wait do so in WaitWhileTelemetrySyncBlocked
//   purge       on the host's request: every dataset row logged up to the detection second is
//               deleted in both roots (the messaging plugin's files keep their last 180 days),
//               the bookmarks and stored device contexts are cleared, and completed_utc is
//               written; the host lifts the block by removing the markers
//
//   state       normal (no pending marker) | pending | purging | purged, awaiting the host's resume
//
// Markers, in the service's telemetry folder: "device_path_purge.pending" (empty),
// "device_path_purge.detected_utc" and "device_path_purge.completed_utc" (Unix seconds).
//
// Thread safety: the purge runs on the caller's thread; every other call may come from any thread.
// The in-progress flag is atomic and the last report is published; nothing here holds a lock
// across file work. Databases are changed through the host's cache, each closed before and
// checkpointed and closed after; no "-wal" or "-shm" file is ever deleted.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "datasync/common/AgentState.h"
#include "datasync/common/Published.h"
#include "datasync/common/StopSignal.h"
#include "datasync/host/Clock.h"
#include "datasync/host/Log.h"
#include "datasync/host/Utility.h"

namespace ZEL {
namespace DataSync {

inline constexpr const wchar_t* kPurgePendingMarker = L"device_path_purge.pending";
inline constexpr const wchar_t* kPurgeDetectedMarker = L"device_path_purge.detected_utc";
inline constexpr const wchar_t* kPurgeCompletedMarker = L"device_path_purge.completed_utc";

class DevicePathPurge {
public:
    enum class State { Normal, Pending, Purging, PurgedAwaitingResume };

    // What one purge did.
    struct Report {
        bool ok = false;
        std::string error;                  // why it failed (empty when ok)
        std::int64_t cutoff = 0;            // the detection second (Unix seconds)
        int files = 0;                      // dataset and messaging files purged
        std::int64_t rowsDeleted = 0;
        int bookmarkFiles = 0;              // SyncPoint files cleared
        std::int64_t bookmarksCleared = 0;  // their rows
        std::int64_t deviceContextsCleared = 0;
    };
    struct Status {
        State state = State::Normal;
        std::int64_t detectedUtc = 0;  // 0: no detection recorded
        bool purged = false;           // a report exists
        Report last;
    };

    struct Parts {
        const AgentState& state;
        const StopSignal& stop;
        Clock& clock;
        Log& log;
        // Waits for a retention run in progress (nothing may be deleted under it).
        std::function<void()> joinRetention;
    };

    explicit DevicePathPurge(Parts parts) : m_parts(std::move(parts)), m_log(m_parts.log) {}

    bool IsTelemetryPurgeInProgress() const { return m_purgeInProgress.load(); }
    void SetTelemetryPurgeInProgress(bool inProgress) { m_purgeInProgress.store(inProgress); }
    // A purge runs, or is pending (its marker exists).
    bool IsTelemetrySyncBlocked() const;
    // Waits in 50 ms steps while uploads are blocked, as long as the agent runs and no stop comes.
    void WaitWhileTelemetrySyncBlocked() const;

    // Marks a purge pending when the stored device path is not the host's realm. True when it did.
    bool TrySetPurgePendingOnDevicePathRealmMismatch();
    // The host's request: marks the purge pending if needed, waits for retention, purges.
    Report PurgeLocalTelemetryStoresForDevicePathRealmChange();
    // The purge itself (both roots; the shared one as the logged-on user).
    Report PurgeTelemetryStoresForDevicePathRealmChange();

    Status CurrentStatus() const;

private:
    static std::wstring MarkerPath(const wchar_t* name);
    bool IsPurgePending() const;
    void CreatePurgePendingMarker();
    std::chrono::system_clock::time_point ReadDetectCutoff();
    void PurgeOneTelemetryRoot(utility::EGetDBPathMethod root, const std::chrono::system_clock::time_point& cutoff,
                               Report& report);
    void ClearSyncPointRowsForTelemetryRoot(utility::EGetDBPathMethod root, Report& report);
    void ClearDeviceContextForRealmChange(utility::EGetDBPathMethod root, Report& report);
    std::int64_t TryClearDeviceContextDb(const std::wstring& path, utility::EGetDBPathMethod root,
                                         const wchar_t* attempt);
    void PurgeDatasetDbByLogtimeCutoff(const std::wstring& datasetId, const std::wstring& path,
                                       const std::chrono::system_clock::time_point& cutoff, const wchar_t* kind,
                                       Report& report);
    std::int64_t NowSeconds() const;

    Parts m_parts;
    Log& m_log;
    std::atomic<bool> m_purgeInProgress{false};
    Published<Report> m_lastReport;
    std::atomic<bool> m_reported{false};
};

}  // namespace DataSync
}  // namespace ZEL
