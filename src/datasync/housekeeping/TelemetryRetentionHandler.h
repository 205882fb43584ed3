// TelemetryRetentionHandler: deletes, from every "<dataset id>_ItemEvent.sqlite3" in the service's
// telemetry folder and in the logged-on user's shared folder, the rows logged before the
// dataset's retention period ("Retention" setting of its policy, "<n>d", at most 90 days, 30 when
// missing or unusable). Other record kinds are never touched.
//
// A run works on the two folders at once, on two threads of its own (the shared folder as the
// logged-on user), one database after the other, each in bounded delete steps (writers in other
// processes never wait long). Runs start at full initialisation (Start(true) waits for them) and
// on the daily maintenance (Start(false)), never more often than every 10 minutes (monotonic
// clock), never while a device-path purge is pending or running, and not after Stop() until
// Init() or ReInit().
//
// Thread safety: Start, Stop and JoinRunningRetentionThreads may be called from any thread and
// are serialised by m_startMutex, which is released before a blocking Start waits. The retention
// threads read the settings under m_settingsMutex and check the stop flag before each database
// and each delete step, so a stop waits for one bounded step, never for a whole database.
// CurrentStatus() never waits for a run. A retention thread that cannot be made is logged and
// shown in the status ("failed to start: ..."); Start then answers ThreadStartFailed, leaves no
// running flag set and does not count as a start, so the next Start may try again.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "datasync/common/Published.h"
#include "datasync/host/Clock.h"
#include "datasync/host/ConfigPolicy.h"
#include "datasync/host/Folders.h"
#include "datasync/host/HostFiles.h"
#include "datasync/host/Log.h"
#include "datasync/host/TelemetryTables.h"
#include "datasync/common/DbRoots.h"

class TelemetryRetentionHandler {
public:
    enum StartResult {
        Started = 0,
        DbRetentionRunning = 1,
        SharedDbRetentionRunning = 2,
        NotNow = 3,
        StopRequested = 4,
        SettingsError = 5,
        ThreadStartFailed = 6,  // a retention thread could not be made (logged, shown in the status)
    };
    static constexpr int DEFAULT_RETENTION_DAYS = 30;
    static constexpr int MAX_RETENTION_DAYS = 90;
    static constexpr std::chrono::minutes MinStartInterval{10};

    // The last run over one folder, for the status.
    struct RunStatus {
        std::int64_t startedAt = 0;  // wall clock, seconds; 0: never ran
        std::int64_t endedAt = 0;    // 0 while running
        int databases = 0;           // databases visited
        std::int64_t rowsDeleted = 0;
        std::string result;  // "running", "done", "stopped", "no folder", "failed: ...", "failed to start: ..."
    };
    struct Status {
        RunStatus service;  // root 1
        RunStatus shared;   // root 2
    };

    // Starts one thread running `body`; throws (std::system_error) when the thread cannot be made.
    using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

    // `tables` holds the rows to delete, `files` the folders of the roots; `syncBlocked` tells whether the device-path purge blocks
    // (retention then does not start); `startThread` makes the retention threads (std::thread
    // unless given).
    TelemetryRetentionHandler(ZEL::Clock& clock, ZEL::DataSync::TelemetryTables& tables,
                              ZEL::DataSync::HostFiles& files, std::function<bool()> syncBlocked, ZEL::Log& log, ThreadStarter startThread = nullptr);
    ~TelemetryRetentionHandler();
    TelemetryRetentionHandler(const TelemetryRetentionHandler&) = delete;
    TelemetryRetentionHandler& operator=(const TelemetryRetentionHandler&) = delete;

    void Init();
    void ReInit();
    StartResult Start(bool blocking);
    // Asks a run to end after the delete step in hand and returns at once; no run starts until
    // Init() or ReInit().
    void RequestStop();
    // RequestStop(), then waits for both threads.
    void Stop();
    // Waits for the threads of a run in progress (a purge must not delete under them).
    void JoinRunningRetentionThreads();

    std::shared_ptr<const Status> CurrentStatus() const { return m_status.Read(); }

protected:
    bool CanStartNow();

private:
    std::chrono::system_clock::time_point ComputeCutoffUtc(int days);
    void SetThreadState(ZEL::utility::EGetDBPathMethod root, bool running);
    void ExecuteRetention(ZEL::utility::EGetDBPathMethod root);
    // Deletes the old rows of one dataset's item events; returns how many.
    std::int64_t HandleSingleDb(const std::wstring& name, ZEL::utility::EGetDBPathMethod root);
    int GetRetentionDays(const std::wstring& datasetId);
    static bool ReadDatasetSettingsFromConfigPolicy(const ZEL::TelemetryPolicy& policy, const std::wstring& datasetId,
                                                    std::map<std::wstring, std::wstring>& settings);
    void UpdateRetentionSettings();
    // Clears the root's running flag and wakes a blocking Start.
    void EndRun(ZEL::utility::EGetDBPathMethod root);
    void UpdateRunStatus(ZEL::utility::EGetDBPathMethod root, const std::function<void(RunStatus&)>& change);

    ZEL::Clock& m_clock;
    ZEL::DataSync::TelemetryTables& m_tables;
    ZEL::DataSync::HostFiles& m_files;
    const std::function<bool()> m_syncBlocked;
    ZEL::Log& m_log;
    const ThreadStarter m_startThread;

    std::atomic<bool> m_stopRequested{false};
    std::unique_ptr<std::thread> m_dbThread;        // guarded by m_startMutex
    std::unique_ptr<std::thread> m_sharedDbThread;  // guarded by m_startMutex
    std::map<std::wstring, int> m_retentionDays;    // upper-case dataset id; guarded by m_settingsMutex
    std::mutex m_settingsMutex;
    std::atomic<bool> m_dbThreadRunning{false};
    std::atomic<bool> m_sharedDbThreadRunning{false};
    std::mutex m_startMutex;
    std::chrono::steady_clock::time_point m_lastStartTime;  // guarded by m_startMutex
    std::mutex m_statusMutex;
    Status m_runs;                       // guarded by m_statusMutex
    std::condition_variable m_runEnded;  // a run's running flag was cleared (under m_statusMutex)
    ZEL::DataSync::Published<Status> m_status;
};
