// DataSyncAgent: the one object of the sync module. The host obtains it with GetInstance() and
// drives it through IZELAgent (Init, FullInit, UnInit) and IDataSyncAgent (upload one file, hand
// over a device-context record, purge after a realm change, applicability of a file).
//
// A thin facade: the work is done by the components it owns (agent/AgentComponents.h, kept out of
// this header behind a pointer); every member function below forwards to one of them. What the facade itself
// holds is the lifecycle:
//
//   Init      subscribe to the bus, open the log, start the device-context thread
//   FullInit  create the duplication events, read the policy into the components, start the
//             file watchers, the 2-second timer and the worker; queue DEVICE_ONLINE when the
//             device is online and registered. A second FullInit restarts.
//   NullInit  stop timer, watchers and worker; empty the sync map and the scheduled datasets
//   UnInit    the one shutdown path (also run by the destructor, safe twice): mark the agent
//             stopping, cancel every wait and ask retention to stop, unsubscribe, wait for a
//             step in flight to give up, stop retention, NullInit, wait for the asynchronous
//             tasks, join the device-context thread, close the named events. Init may follow.
//
// Threads: the host's thread runs Init, FullInit, UnInit and the IDataSyncAgent calls; the bus
// thread runs notifications and restarts; the worker, timer, watcher and device-context threads
// and the tasks belong to the components.
//
// One lifecycle step at a time: FullInit, NullInit, a restart and UnInit's stop each claim the
// lifecycle under m_lifecycleMutex, run with no lock held (joining threads, waiting for a
// retention run) and release it under the mutex; a step that finds another one running waits
// for its end on m_lifecycleIdle. UnInit does not wait for a step in flight before it asks
// retention to stop and cancels every wait: the step then gives up at its next check (it starts
// nothing more). m_lifecycleMutex is held only to read or change the few flags below (and by
// Init, which starts a thread but waits for none), never across a join, a wait or an upload; no
// component lock is ever held while it is taken.
// Notifications that arrive while a restart runs are kept and handled, in order, once it is
// done (NotificationHandler::BeginRestart). GetStatusSnapshot reads what the components publish
// and never waits.
#pragma once

#include <json/json.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "datasync/agent/AgentEnvironment.h"
#include "datasync/agent/AgentInterfaces.h"
#include "datasync/agent/SendTelemetryCommand.h"
#include "datasync/agent/WaitReasons.h"
#include "datasync/common/SyncMessage.h"
#include "datasync/config/EndpointConfig.h"
#include "datasync/host/ConfigPolicy.h"
#include "datasync/host/Notification.h"
#include "datasync/host/Watching.h"
#include "datasync/housekeeping/DevicePathPurge.h"
#include "datasync/resilience/Backoff.h"
#include "datasync/scheduling/SyncRecord.h"

namespace ZEL::DataSync {
class AgentComponents;
}  // namespace ZEL::DataSync

class DataSyncAgent : public IDataSyncAgent, public IZELAgent {
public:
    using sync_msg = ZEL::DataSync::sync_msg;
    using _sync_data = ZEL::DataSync::_sync_data;
    using RetryInfo = ZEL::DataSync::RetryInfo;
    using EndpointUrls = ZEL::DataSync::EndpointUrls;

    static DataSyncAgent* GetInstance();

    // Public so that tests can build agents of their own (on a clock of their own); the host
    // uses GetInstance().
    DataSyncAgent();
    explicit DataSyncAgent(ZEL::DataSync::AgentEnvironment environment);
    ~DataSyncAgent() override;
    DataSyncAgent(const DataSyncAgent&) = delete;
    DataSyncAgent& operator=(const DataSyncAgent&) = delete;

    // IZELAgent
    void Init(platform::HANDLE& serviceStop) override;
    void UnInit() override;
    void FullInit() override;

    // IDataSyncAgent
    bool HandleNRT(std::wstring fileName) override;
    bool HandleSharedNRT(std::wstring fileName) override;
    bool HandleDeviceContext(std::wstring fileName) override;
    void AddDeviceContextRecordToSync(std::int64_t recordId) override;
    // Throws std::runtime_error naming the reason when the purge failed.
    void PurgeLocalTelemetryStoresForDevicePathRealmChange() override;
    bool IsApplicableForSync(const std::wstring& dbPath) override;

    // The purge the host asks for, with what it did (the daemon shows it).
    using PurgeReport = ZEL::DataSync::DevicePathPurge::Report;
    PurgeReport PurgeWithReport();
    static void PurgeTelemetryStoresForDevicePathRealmChange();
    // True when the purge was marked pending and its markers written; a marker that could not be
    // written still blocks uploads (the status says why).
    static bool TrySetPurgePendingOnDevicePathRealmMismatch();
    // The host lifts the block after a completed purge; empty, or why nothing changed.
    std::string ResumeAfterPurge();
    bool PurgeCompleted() const;

    // The "sendTelemetry" command and the duplication it asks for.
    void CreateGlobalEvents();
    void AddFileNamesToRecollectedTelemetry();
    void DuplicateTelemetryHandler(ZEL::SendTelemetryCommandParams& params);
    void ProcessDuplicateTelemetryList(std::list<std::wstring>& names);
    bool DuplicateLastRecordInDB(std::wstring datasetId, std::wstring dbName);
    bool NotifyAndWaitForAck(int kind);
    void ListenToCollectionDoneNotification();

    // The host's watchdog: called on the timer thread after each pass (every 2 s while the agent
    // is fully initialised) with how long the worker has been inside the message it handles (zero
    // while it waits for one: an idle worker is alive, one that stays inside a message is stuck;
    // a timer that no longer runs makes no call). Any thread may set or clear it; the call runs
    // with no lock of the agent held.
    using LivenessCallback = std::function<void(std::chrono::milliseconds workerBusyFor)>;
    void SetLivenessCallback(LivenessCallback callback);

    // The host's configuration: the URL KTA falls back to and the custom URL defaults to.
    void SetDefaultDeviceEndpointUrl(const std::wstring& url);

    // Policy and endpoints.
    ZEL::DataSet GetDatasetPolicy(const std::wstring& key, int byId);
    bool IsNullOrNoneDataSet(std::wstring& datasetId);
    EndpointUrls CurrentEndpointUrls();
    bool IsKtaSyncReady();
    bool IsNavsSyncReady();
    bool IsNavpSyncReady();
    // The consent gate's exempt datasets (empty unless the host sets them).
    void SetAnonymousMetricsNotRequired(std::list<std::wstring> ids);

    // Back-off records.
    bool GetRetryInfo(const SyncEP::SyncEp_type& type, RetryInfo& out);
    void SetRetryInfo(const SyncEP::SyncEp_type& type, const RetryInfo& info);

    // The agent's state as one JSON object for the control socket, from what the components
    // published: it never waits for an upload, a store query or another thread.
    Json::Value GetStatusSnapshot();
    // Why rows of `datasetId` wait for `family` now (see WaitReasons.h); never waits.
    ZEL::DataSync::WaitReason WhyRowsWait(const std::wstring& datasetId, SyncEP::SyncEp_type family);

    // The worker's interruptible pause, on the one agent instance.
    static void WaitSync(unsigned milliseconds, bool release);
    // The record kind (SyncTypes) of a database file name.
    static int GetDataItemType(const std::wstring& name);
    // The device-path purge flags of the one agent instance: while a purge is pending or runs, no
    // upload path sends anything.
    static bool IsTelemetryPurgeInProgress();
    static void SetTelemetryPurgeInProgress(bool inProgress);
    static bool IsTelemetrySyncBlocked();

    // Flags, readable without a lock.
    bool IsStarted() const;
    bool IsOnline() const;
    bool IsDevRegistered() const;
    bool IsFullInitDone() const;

protected:
    void NullInit();
    void OnNotification(ZEL::ZELNotificationData& data);
    void OnSendTelemetryCommand(ZEL::ZELNotificationData& data);

private:
    // REQUIRES: the lifecycle claimed (ClaimLifecycle), m_lifecycleMutex not held.
    void NullInitClaimed();
    void FullInitClaimed();
    void StartWatchersAndTimer();
    // NullInit and FullInit for a notification that asks for a restart.
    void Restart(const wchar_t* reason);
    void ReportLiveness();
    // Claims the lifecycle for one step, waiting (with no lock held) for a step in progress to
    // end. False when UnInit has begun (or, with `initialised`, the agent is not initialised):
    // the caller does nothing.
    bool ClaimLifecycle(bool initialised = false);
    void ReleaseLifecycle();
    bool Stopping();
    // UnInit has begun: a step in flight gives up (logged under `function`).
    bool GiveUp(const wchar_t* function);
    // FullInit under the claim, then the claim released. For a restart, the notifications that
    // arrive meanwhile are kept and handled afterwards on this thread.
    void FullInitAndRelease(bool restart);

    // The environment's watching service (not owned); null: the installed one's at start.
    ZEL::Watching* const m_watching;
    std::unique_ptr<ZEL::DataSync::AgentComponents> m_c;  // the components, behind the facade
    std::mutex m_lifecycleMutex;
    std::condition_variable m_lifecycleIdle;  // a step ended, or UnInit began
    bool m_initialised = false;               // guarded by m_lifecycleMutex
    bool m_stepRunning = false;               // a step holds the lifecycle; guarded by m_lifecycleMutex
    bool m_stopping = false;                  // UnInit runs; guarded by m_lifecycleMutex
    // Used only by the step that holds the lifecycle.
    std::list<std::unique_ptr<ZEL::Watch>> m_timers;
    std::list<std::unique_ptr<ZEL::Watch>> m_fileWatchers;
    std::mutex m_livenessMutex;
    LivenessCallback m_liveness;  // guarded by m_livenessMutex
};
