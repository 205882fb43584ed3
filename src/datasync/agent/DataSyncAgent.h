// DataSyncAgent: the one object of the sync module. The host obtains it with GetInstance() and
// drives it through IZELAgent (Init, FullInit, UnInit) and IDataSyncAgent (upload one file,
// hand over a device-context record, purge after a realm change, applicability of a file).
//
// Start and stop: Init subscribes to the notification bus, opens the log and starts the
// device-context thread; FullInit reads the policy, settles the endpoint families, creates the
// file watchers, the 2-second timer and the worker thread; NullInit stops timer, watchers and
// worker; UnInit also stops retention, waits for asynchronous work and joins the device-context
// thread. The member functions of each subsystem live in files of their own under agent/,
// config/, scheduling/, resilience/ and housekeeping/.
//
// Threads: the host's thread (Init, FullInit, UnInit, the IDataSyncAgent calls), the worker
// (MsgHandleProc), the timer thread, the file watchers' threads, the bus thread, the
// device-context thread and asynchronous tasks. Each shared container has its own mutex, named
// beside it. Lock order: m_nrtMutex or m_scheduledMutex, then m_syncMapMutex, then
// m_deviceStatusMutex; m_nrtMutex before m_watcherMutex; m_datasetPoliciesMutex is a leaf.
#pragma once

#include <json/json.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "datasync/agent/MessageQueue.h"
#include "datasync/config/SyncEP.h"
#include "datasync/host/ConfigPolicy.h"
#include "datasync/host/FileWatcher.h"
#include "datasync/host/Log.h"
#include "datasync/host/Notification.h"
#include "datasync/host/Transport.h"
#include "datasync/host/Utility.h"
#include "datasync/housekeeping/TelemetryRetentionHandler.h"
#include "datasync/upload/SyncTypes.h"
#include "platform/KernelObjects.h"

// The sync interface the host calls.
class IDataSyncAgent {
public:
    virtual bool HandleNRT(std::wstring fileName) = 0;
    virtual bool HandleSharedNRT(std::wstring fileName) = 0;
    virtual bool HandleDeviceContext(std::wstring fileName) = 0;
    virtual void AddDeviceContextRecordToSync(std::int64_t recordId) = 0;
    virtual void PurgeLocalTelemetryStoresForDevicePathRealmChange() = 0;
    virtual ~IDataSyncAgent() = default;
    virtual bool IsApplicableForSync(const std::wstring& dbPath) = 0;
};

// The host's agent base.
class IZELAgent {
public:
    explicit IZELAgent(std::wstring name) : m_agentName(std::move(name)) {}
    virtual ~IZELAgent() = default;
    // `serviceStop`: a manual-reset event the host sets when the service stops.
    virtual void Init(platform::HANDLE& serviceStop) = 0;
    virtual void UnInit() = 0;
    virtual void FullInit() = 0;
    const std::wstring& AgentName() const { return m_agentName; }

private:
    std::wstring m_agentName;
};

namespace ZEL {
namespace DataSync {
class SyncAgentsHelper;
class NavpSyncAgent;
}  // namespace DataSync
}  // namespace ZEL

class DataSyncAgent : public IDataSyncAgent, public IZELAgent {
public:
    // One queued request of the worker.
    struct sync_msg {
        int type = -1;
        std::wstring data;
    };
    enum MessageKind { DEVICE_ONLINE = 1, DEVICE_CONTEXT_CHANGE = 2, ONE_DATASET_SYNC = 3 };

    // One record of the dataset sync map.
    struct _sync_data {
        std::uint32_t db_root = 0;
        std::uint32_t sync_kind = 0;
        std::uint32_t trigger_times = 0;
        std::uint32_t last_result = 0;
        std::uint32_t sync_state = 0;
        std::uint32_t remain_data = 0;
        std::int32_t retry_times = 0;
        std::uint32_t interval = 0;
        std::int64_t last_sync_time = 0;
        bool no_data_logged = false;
        bool sync_now = false;
        bool last_applicable = true;
        std::uint32_t applicability_failure_count = 0;
        std::uint32_t iterations_since_applicability_check = 0;
    };

    // The back-off state of one endpoint family.
    struct RetryInfo {
        std::int64_t _backoff_delay = 0;
        std::int64_t _last_sync_call_time = 0;
        // Clock::TickCount64() of the same failure: the wait is measured on it, so that a wall
        // clock set back or forward neither stretches nor cuts the wait. The wall-clock time
        // above is kept for the log lines and the status.
        std::uint64_t _last_sync_call_tick = 0;
        std::int32_t _backoff_retry_count = 0;
        bool _sync_allowed = true;
        std::vector<std::uint32_t> _retry_counts = std::vector<std::uint32_t>(3, 0);
    };

    static DataSyncAgent* GetInstance();

    // Public so that tests can build agents of their own; the host uses GetInstance().
    DataSyncAgent();
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
    void PurgeLocalTelemetryStoresForDevicePathRealmChange() override;
    bool IsApplicableForSync(const std::wstring& dbPath) override;

    // Policy access.
    ZEL::DataSet GetDatasetPolicy(const std::wstring& key, int byId);
    bool IsNullOrNoneDataSet(std::wstring& datasetId);

    // The endpoint URLs and the NAVS authentication type (mutual TLS when the policy's auth
    // mode is "mtls"), copied together under the endpoint lock.
    struct EndpointUrls {
        std::wstring kta;
        std::wstring navs;
        std::wstring navp;
        ZELCore::HttpAuthType navsAuth = ZELCore::HTTP_AUTH_DEFAULT;
    };
    EndpointUrls CurrentEndpointUrls();

    // Endpoint readiness.
    bool IsKtaSyncReady();
    bool IsNavsSyncReady();
    bool IsNavpSyncReady();

    // Back-off records.
    bool GetRetryInfo(const SyncEP::SyncEp_type& type, RetryInfo& out);
    void SetRetryInfo(const SyncEP::SyncEp_type& type, const RetryInfo& info);

    // A consistent picture of the agent's state for the control socket, taken under the
    // agent's locks one at a time (never two at once).
    Json::Value GetStatusSnapshot();

    // The worker's interruptible pause: WaitSync(ms, false) pauses at most `ms`, ending early
    // when WaitSync(any, true) frees it; a free that finds no pauser ends the next pause.
    static void WaitSync(unsigned milliseconds, bool release);

    // The record kind (SyncTypes) of a database file name.
    static int GetDataItemType(const std::wstring& name);

    // Device-path purge flags, process-wide. While a purge is pending or running, no upload
    // path sends anything.
    static bool IsTelemetryPurgeInProgress();
    static void SetTelemetryPurgeInProgress(bool inProgress);
    static bool IsTelemetrySyncBlocked();

    // Flags, readable without a lock.
    bool IsStarted() const { return _b_is_start; }
    bool IsOnline() const { return _b_is_online; }
    bool IsDevRegistered() const { return _b_is_DevRegistered; }
    bool IsFullInitDone() const { return m_fullInitDone; }

protected:
    // Unit tests drive single steps (a change notification, one timer pass) without the threads.
    friend class DataSyncAgentTestAccess;

    void NullInit();
    void OnNotification(ZEL::ZELNotificationData& data);
    void OnSendTelemetryCommand(ZEL::ZELNotificationData& data);

private:

    // Lifecycle helpers.
    void ResolveEndpointUrls(const ZEL::TelemetryPolicy& policy);
    void ReadContextChangeFlags(const ZEL::TelemetryPolicy& policy);
    void BuildDatasetLists(const ZEL::TelemetryPolicy& policy);
    void CreateFileWatchers();
    void InitRetryInfo();

    // Worker.
    void MsgHandleProc();
    bool SomeEndpointReady();

    // Notifications.
    void ReadLastNotifications();
    bool SendRegistrationRequest();
    bool CheckTelemetrySyncNeedsRegistration();
    void HandleRegistrationDone(ZEL::ZELNotificationData& data);
    void HandleServerCommand(ZEL::ZELNotificationData& data);
    void Restart(const wchar_t* reason);
    template <typename Work>
    void RunAsync(Work work);

    // Sync map and change-driven sync.
    void InternalDBChangesNotify(std::wstring path);
    void SharedDBChangesNotify(std::wstring path);
    void DBChangesNotify(std::wstring path, ZEL::utility::EGetDBPathMethod method);
    void SyncDB(std::wstring key);
    int CheckDBType(std::wstring name);
    std::int64_t GetCurrTimeGivenFilePath(std::wstring& path);

    // Dispatch of one database to its endpoint families.
    bool DoPostWithLogonUser(std::wstring datasetId, int syncType, ZEL::utility::EGetDBPathMethod method);
    bool DoPost(std::wstring datasetId, int syncType, ZEL::utility::EGetDBPathMethod method, bool logonUser);
    // The gates in front of a KTA or NAVS upload, in their order: certificate pause, consent, the
    // family's readiness, its back-off pre-check. Logs the post about to be made.
    bool MayPostTo(SyncEP::SyncEp_type family, const ZEL::DataSet& policy, ZEL::DataSync::SyncTypes type,
                   const wchar_t* function);
    bool DoKtaPost(const ZEL::DataSet& policy, ZEL::DataSync::SyncTypes type, ZEL::utility::EGetDBPathMethod method);
    bool DoNavsPost(const ZEL::DataSet& policy, ZEL::DataSync::SyncTypes type, ZEL::utility::EGetDBPathMethod method);
    bool DoNavpPost(const ZEL::DataSet& policy, ZEL::DataSync::_NavpSyncType type,
                    ZEL::utility::EGetDBPathMethod method);
    bool RemainData2Sync(int method, std::wstring path);
    // The question each family's uploader answers about one file.
    struct RemainingRowsQuestion {
        std::function<bool(ZEL::DataSync::SyncAgentsHelper&, ZEL::utility::EGetDBPathMethod)> ktaOrNavs;
        std::function<bool(ZEL::DataSync::NavpSyncAgent&, ZEL::utility::EGetDBPathMethod)> navp;
    };
    bool AskFamiliesForRemainingRows(int method, const std::wstring& path, const RemainingRowsQuestion& ask,
                                     bool navpBeforeNavs);
    bool RemainData2SyncEx(int method, std::wstring path, unsigned long intervalSeconds, std::string& lastLogtime);
    // Waits in 250 ms steps until some endpoint family is ready; false when the agent stops first.
    bool WaitUntilSomeEndpointReady(const wchar_t* function);
    // Waits in 50 ms steps while a device-path purge blocks uploads, as long as the agent runs and
    // the service is not stopping.
    void WaitWhileTelemetrySyncBlocked();

    // Timer-driven and start-up sync.
    void DoTimerPost(const std::wstring& timerName);
    void InitTimerDatasetStates();
    bool IsTelemetryReadyToSync();
    void DeviceReadySync(bool recoveryCheckOnly);
    void RecheckNrtDatasetStates();
    void SyncImmediateTelemetries();
    void SyncOnDemandTimerTelemetry();
    void AllowSyncOfOnDemandTelemetry();
    // One record of the timer pass; `now` is read per record.
    void QueueNearRealTimeRecord(const std::wstring& key, _sync_data& record);
    void QueueScheduledRecord(const std::wstring& key, _sync_data& record);

    // Device-context sync.
    void DeviceContextSyncThread();

    // Gates in front of and behind each upload.
    // Certificate-expiry pause (resilience/CertExpiryPause.cpp). The gate is true while paused,
    // except when a heartbeat call is due: it then records the call and answers false.
    bool IsDataSyncPausedDueToCertExpiry();
    bool IsCertificateExpiryError(const ZELCore::InvokeHttpResponse& response);
    bool CheckAndHandleCertificateExpiryError(const ZELCore::InvokeHttpResponse& response);
    void PauseDataSyncDueToCertExpiry(const std::wstring& reason);
    // Seconds to wait before the next heartbeat call after `heartbeatCallCount` calls.
    static int HeartbeatWaitSeconds(int heartbeatCallCount);
    bool ShouldPostForKta();
    bool ShouldPostForNavs();
    bool CheckForExponentialBackoffRetry(int result, SyncEP::SyncEp_type type);
    bool CheckAndHandle403DeviceMissingError(ZELCore::InvokeHttpResponse& response);
    bool IsSyncAllowedByMetrics(const std::wstring& datasetId);
    bool IsSyncAllowedByMetrics();
    bool IsSyncAllowedByMetricsForFile(const std::wstring& key);
    bool CheckApplicabilityFilterForDataset(const ZEL::DataSet& policy);
    bool IsApplicableForSyncWithThrottling(const std::wstring& key, _sync_data& record);
    bool ShouldSyncHeartbeatTelemetry(const std::wstring& key);
    // The suppression condition itself (resilience/HeartbeatSuppression.cpp); ignores its argument.
    bool ShouldSuppressDeviceStatusHeartbeatSync(std::wstring& dbPath);

    // Resilience.
    bool HandleResetBackoffState();
    bool HandleResetBackoffStateOnDnsRecovery();
    void Reset403DeviceMissingError();

    // Back-off records (resilience/Backoff.cpp). The record operations work on a copy that the
    // caller reads and stores under m_retryMutex.
    bool ShouldPostForEndpoint(SyncEP::SyncEp_type type);
    bool IsZelFacingCirticalGatewayError();
    void UpdateRetryValues(const int& result, int& attempts, int& start, int& cap, int& classIndex,
                           RetryInfo& info);
    void IncrementRetriesExpired(int classIndex, RetryInfo& info);
    void ResetExponentialBackoff(int classIndex, RetryInfo& info);
    // Waits for the random delay of a reset task; true when the service stops first (or the
    // wait cannot be made), in which case the reset is not done.
    bool WaitBeforeBackoffReset(std::uint64_t milliseconds);

    // The device-missing (403) state (resilience/DeviceMissing.cpp). Each takes m_403StateMutex
    // itself and holds it for no other lock or call.
    void Set403DeviceMissingError();
    bool IsDeviceIn403DeviceMissingErrorState();
    bool IsMaxLimitReachedFor403DeviceMissingCounter();
    bool IsTimeLimitFor403ErrorExceeded();
    void CheckTimeLimitAndResetThe403DeviceError();
    void ResumeDataSyncAfterCertRenewal();

    // Housekeeping.
    void CreateGlobalEvents();
    bool TrySetPurgePendingOnDevicePathRealmMismatch();

    // Logs a "not available yet" line once per seam.
    void NotAvailableYet(const wchar_t* function);

public:
    // Process-wide state of the certificate-expiry pause.
    static std::wstring m_certExpiryPauseReason;
    static std::chrono::steady_clock::time_point m_certExpiryPauseTime;
    static std::mutex m_certExpiryStateMutex;
    static std::atomic<bool> m_dataSyncPausedDueToCertExpiry;
    // Heartbeat allowance of the pause.
    static int m_heartbeatCallCount;
    static std::chrono::steady_clock::time_point m_lastHeartbeatCallTime;
    // Dataset ids exempt from the consent gate.
    static std::list<std::wstring> anonymousMetricsNotRequired;

private:
    // Members, in the order of the agent's data model.
    std::atomic<bool> m_fullInitDone{false};
    platform::HANDLE m_hServiceStop;
    std::atomic<bool> _b_is_start{false};
    std::wstring m_subscriptionId;
    std::list<ZEL::DataSet> m_datasetPolicies;  // guarded by m_datasetPoliciesMutex
    std::mutex m_datasetPoliciesMutex;
    std::list<std::shared_ptr<ZEL::PeriodicTimer>> m_timers;       // guarded by m_watcherMutex
    std::list<std::shared_ptr<ZEL::FileWatcher>> m_fileWatchers;  // guarded by m_watcherMutex
    std::atomic<bool> m_deviceContextSynced{false};
    bool m_syncGlobalContextOnChange = false;
    bool m_syncDatasetContextOnChange = false;
    std::wstring m_ktaUrl;
    std::wstring m_navsUrl;
    std::wstring m_navpUrl;
    std::wstring m_customUrl;
    std::atomic<bool> _b_is_online{false};
    std::atomic<bool> _b_is_DevRegistered{false};
    std::atomic<bool> m_ktaUrlValid{false};
    std::atomic<bool> m_navsUrlValid{false};
    std::atomic<bool> m_navpUrlValid{false};
    bool m_heartbeatSuppressedLogged = false;
    bool m_heartbeatNotSuppressedLogged = false;
    std::map<std::wstring, std::uint32_t> m_scheduledDatasets;  // guarded by m_scheduledMutex
    std::list<std::wstring> m_nullOrNoneDatasets;
    std::atomic<bool> m_firstDeviceReady{true};  // worker and timer thread
    std::map<std::wstring, std::int64_t> m_deviceStatusLastSync;  // guarded by m_deviceStatusMutex
    std::list<std::wstring> m_nrtDbList;                          // guarded by m_nrtMutex
    std::map<std::wstring, _sync_data> m_syncMap;                  // guarded by m_syncMapMutex
    std::recursive_mutex m_syncMapMutex;
    std::mutex m_retryMutex;
    std::recursive_mutex m_notificationMutex;
    std::mutex m_scheduledMutex;
    std::mutex m_nrtMutex;
    std::mutex m_deviceStatusMutex;
    std::mutex m_watcherMutex;
    std::unique_ptr<std::thread> m_workerThread;
    std::atomic<bool> m_registrationRequested{false};
    std::wstring m_authMode;
    std::vector<std::future<void>> m_notificationFutures;  // guarded by m_futuresMutex
    std::atomic<std::uint32_t> m_backoffResetDelayMinutes{15};
    std::unique_ptr<std::thread> m_deviceContextThread;
    std::list<std::int64_t> m_deviceContextRecords;  // guarded by m_deviceContextMutex
    platform::HANDLE m_hDeviceContextWake;
    std::mutex m_deviceContextMutex;
    std::vector<std::future<bool>> m_duplicateFutures;  // guarded by m_futuresMutex
    platform::HANDLE m_hNotifyDuplicate;
    platform::HANDLE m_hAckDuplicate;
    TelemetryRetentionHandler m_retentionHandler;
    CMessageQueue<sync_msg> m_msgQueue;
    std::wstring m_telemetryScope;
    std::atomic<std::uint32_t> m_ktaEnabled{0};
    std::atomic<std::uint32_t> m_navsEnabled{0};
    std::atomic<std::uint32_t> m_navpEnabled{0};
    std::map<SyncEP::SyncEp_type, RetryInfo> m_retryInfo;  // guarded by m_retryMutex
    std::map<std::wstring, std::vector<std::wstring>> m_recollectedTelemetry;
    std::mutex m_403StateMutex;
    bool m_403DeviceMissingFlag = false;
    std::atomic<std::int32_t> m_403DeviceMissingCounter{0};
    std::int64_t m_403ErrorSetTime = 0;
    // Clock::TickCount64() when the flag was last set: the one-hour window is measured on it;
    // m_403ErrorSetTime (wall clock) is kept for the status. Guarded by m_403StateMutex.
    std::uint64_t m_403ErrorSetTick = 0;

    // Implementation state beyond the data model.
    ZEL::Log m_log;
    std::mutex m_futuresMutex;
    std::mutex m_endpointMutex;  // guards the URL texts and m_authMode for readers on other threads
    std::vector<platform::HANDLE> m_globalEvents;  // the four duplication hand-shake events
    std::mutex m_notAvailableMutex;
    std::list<std::wstring> m_notAvailableLogged;
    // Set by UnInit (and the destructor) before waking the device-context thread: the thread
    // ends on it whether or not the host has set its service-stop event.
    std::atomic<bool> m_deviceContextStopRequested{false};
    // Set by UnInit: asynchronous tasks still waiting (the back-off reset's random delay) end.
    platform::HANDLE m_hTasksCancel;
    // The 5-minute rescan's clock (tick count in ms); 0 until the first timer pass with a ready
    // endpoint starts it.
    std::uint64_t m_recheckTick = 0;  // timer thread only
};
