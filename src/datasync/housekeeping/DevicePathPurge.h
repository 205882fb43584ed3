// DevicePathPurge: the device-path and realm-change purge. The stored device context records the
// device's realm ("organization\<realm>"); when the device moves to another realm, telemetry
// collected under the old one must not be uploaded under the new one.
//
//   detection   full initialisation compares the stored device path with the host's realm; a
//               difference marks the purge pending (detected_utc is kept from the first time)
//   block       while a purge is pending or runs, every upload path and retention start skips
//               (logs its line and returns); none of them waits, so the worker and the timer
//               pass go round (and feed the host's watchdog) however long the purge stays pending
//   purge       on the host's request: every dataset row logged up to the detection second is
//               deleted in both roots (the messaging plugin's files keep their last 180 days),
//               the bookmarks and stored device contexts are cleared, and completed_utc is
//               written
//   resume      the host lifts the block once a purge has completed (ResumeAfterPurge)
//
//   state       normal | pending | purging | purged, awaiting the host's resume
//
// Rows the purge cannot date (no logtime of the form "YYYY-MM-DDTHH:MM:SS") are kept, but never
// sent afterwards: in each file that keeps such rows, every family's bookmark is set to the first
// row dated after the detection (past the last row when there is none). Row ids grow with each
// row written, so the rows below it were written before the first row of the new realm.
//
// The state lives in memory; the markers are written through and read once, on first use.
// Markers, in the service's telemetry folder: "device_path_purge.pending" (empty),
// "device_path_purge.detected_utc" and "device_path_purge.completed_utc" (Unix seconds). It fails
// closed: a marker that cannot be written leaves the block in force in memory all the same; the
// problem is logged, shown in the status, and the mark reports it. Such a block lasts until the
// process ends, and the next start detects the realm change again.
//
// With no logged-on user configured, the shared root belongs to the service and is purged as
// the service; with one configured that cannot be acted as, the purge fails and stays pending.
//
// Thread safety: the purge runs on the caller's thread; every other call may come from any
// thread and answers at once. Uploads begin through TryBeginUpload, and the purge waits (through
// the agent's StopSignal, so a stop ends the wait) for the uploads that began before it blocked
// them. The guard (IsTelemetrySyncBlocked) reads two atomics; the marker
// state is under a small lock never held across file work. One purge or resume runs at a time;
// a second one meanwhile is refused, not queued. Databases are changed through the host's cache,
// each closed before and checkpointed and closed after; no "-wal" or "-shm" file is ever deleted.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "datasync/common/AgentState.h"
#include "datasync/common/DbRoots.h"
#include "datasync/common/Published.h"
#include "datasync/common/StopSignal.h"
#include "datasync/common/SyncTypes.h"
#include "datasync/host/Clock.h"
#include "datasync/host/BookmarkStore.h"
#include "datasync/host/HostFiles.h"
#include "datasync/host/Log.h"
#include "datasync/host/TelemetryTables.h"

namespace ZEL {
namespace DataSync {

inline constexpr const wchar_t* kPurgePendingMarker = L"device_path_purge.pending";
inline constexpr const wchar_t* kPurgeDetectedMarker = L"device_path_purge.detected_utc";
inline constexpr const wchar_t* kPurgeCompletedMarker = L"device_path_purge.completed_utc";

class DevicePathPurge {
public:
    enum class State { Normal, Pending, Purging, PurgedAwaitingResume };
    // What marking the purge pending did.
    enum class Mark {
        NotNeeded,  // already pending, or nothing to compare, or the same realm
        Marked,     // pending, and the markers are written
        NotSaved,   // pending in memory only: a marker could not be written (see Status::problem)
    };

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
        std::int64_t undatedRowsHeld = 0;  // kept, never to be sent
    };
    struct Status {
        State state = State::Normal;
        std::int64_t detectedUtc = 0;  // 0: no detection recorded
        std::string problem;           // a marker that could not be written or removed
        bool purged = false;           // a report exists
        Report last;
    };

    struct Parts {
        const AgentState& state;
        const StopSignal& stop;
        Clock& clock;
        Log& log;
        TelemetryTables& tables;
        BookmarkStore& bookmarks;
        HostFiles& files;
        // Waits for a retention run in progress (nothing may be deleted under it).
        std::function<void()> joinRetention;
        // Called when the block lifts (a resume), with no lock held.
        std::function<void()> blockLifted;
    };

    explicit DevicePathPurge(Parts parts);
    ~DevicePathPurge();
    DevicePathPurge(const DevicePathPurge&) = delete;
    DevicePathPurge& operator=(const DevicePathPurge&) = delete;

    bool IsTelemetryPurgeInProgress() const { return m_purgeInProgress.load(); }
    // Clearing the flag when no purge is pending lifts the block (blockLifted is called).
    void SetTelemetryPurgeInProgress(bool inProgress);
    // A purge runs, or is pending. No file-system call after the first use.
    bool IsTelemetrySyncBlocked() const;
    // An upload's permission to begin: empty while uploads are blocked. A purge, once it has
    // blocked uploads, waits for the passes still held before it deletes anything.
    UploadPass TryBeginUpload();

    // Marks a purge pending when the stored device path is not the host's realm.
    Mark TrySetPurgePendingOnDevicePathRealmMismatch();
    // The host's request: marks the purge pending if needed, waits for retention, purges.
    Report PurgeLocalTelemetryStoresForDevicePathRealmChange();
    // The purge itself (both roots; the shared one as the logged-on user).
    Report PurgeTelemetryStoresForDevicePathRealmChange();

    // The host lifts the block after a completed purge: the markers are removed (pending last)
    // and uploads resume. Empty on success; otherwise why nothing changed.
    std::string ResumeAfterPurge();
    // A purge has completed and the host has not resumed yet.
    bool PurgeCompleted() const;

    Status CurrentStatus() const;

private:
    // What the markers say, in memory; `*Saved`: the file holds it.
    struct Markers {
        bool pending = false;
        bool pendingSaved = false;
        std::int64_t detected = 0;  // Unix seconds; 0: none
        bool detectedSaved = false;
        std::int64_t completed = 0;
        std::string problem;
    };

    void LoadMarkersOnce() const;
    Markers CurrentMarkers() const;
    Mark CreatePurgePendingMarker();
    void RecordCompleted();
    std::chrono::system_clock::time_point ReadDetectCutoff();
    void PurgeOneTelemetryRoot(utility::EGetDBPathMethod root, const std::chrono::system_clock::time_point& cutoff,
                               Report& report);
    void ClearSyncPointRowsForTelemetryRoot(utility::EGetDBPathMethod root, Report& report);
    void ClearDeviceContextForRealmChange(utility::EGetDBPathMethod root, Report& report);
    std::int64_t TryClearDeviceContextDb(const TableRef& table, const wchar_t* attempt);
    void PurgeDatasetDbByLogtimeCutoff(const std::wstring& datasetId, const std::wstring& path,
                                       const std::chrono::system_clock::time_point& cutoff, const wchar_t* kind,
                                       utility::EGetDBPathMethod root, Report& report);
    void HoldUndatedRows(const TableRef& table, const std::wstring& path,
                         const std::chrono::system_clock::time_point& cutoff, Report& report);
    std::int64_t NowSeconds() const;
    void EndUpload();
    // Blocks new uploads for the purge and waits for those in flight; false when a stop came first.
    bool BlockAndWaitForUploadsInFlight();

    Parts m_parts;
    Log& m_log;
    std::atomic<bool> m_purgeInProgress{false};
    mutable std::once_flag m_loaded;
    mutable std::atomic<bool> m_pending{false};  // mirrors m_markers.pending for the guard
    mutable std::mutex m_markersMutex;           // guards m_markers; never held across file work
    mutable Markers m_markers;
    std::mutex m_requestMutex;  // one purge or resume at a time (tried, never waited for)
    std::mutex m_uploadsMutex;  // guards m_uploadsInFlight and the in-progress flag's setting by a purge
    std::size_t m_uploadsInFlight = 0;
    platform::HANDLE m_noUploads;  // manual reset: set while no upload holds a pass
    Published<Report> m_lastReport;
    std::atomic<bool> m_reported{false};
};

}  // namespace DataSync
}  // namespace ZEL
