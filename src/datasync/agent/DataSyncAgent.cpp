// The agent's lifecycle: Init, FullInit, NullInit, UnInit and destruction, in the order each
// step must happen. What each started piece does lives in its component.
#include "datasync/agent/DataSyncAgent.h"

#include "datasync/agent/AgentComponents.h"
#include "datasync/agent/AgentStatus.h"
#include "datasync/agent/SendTelemetryCommand.h"
#include "datasync/common/Paths.h"
#include "datasync/common/StringUtil.h"
#include "datasync/host/Folders.h"
#include "datasync/upload/SyncAgentsHelper.h"

namespace {

const wchar_t* const kFullInit = L"DataSyncAgent::FullInit";

// Runs `f` on every exit from the scope.
template <typename F>
struct AtExit {
    F f;
    ~AtExit() { f(); }
};
template <typename F>
AtExit<F> OnExit(F f) {
    return {std::move(f)};
}

}  // namespace

DataSyncAgent* DataSyncAgent::GetInstance() {
    static DataSyncAgent* const instance = new DataSyncAgent();  // never destroyed by the module
    return instance;
}

DataSyncAgent::DataSyncAgent() : DataSyncAgent(ZEL::DataSync::AgentEnvironment::Host()) {}

DataSyncAgent::DataSyncAgent(ZEL::DataSync::AgentEnvironment environment)
    : IZELAgent(L"DataSyncAgent"),
      m_watching(environment.watching),
      m_c(std::make_unique<ZEL::DataSync::AgentComponents>(
          std::move(environment),
          ZEL::DataSync::NotificationHandler::Hooks{
              [this](const wchar_t* reason) { Restart(reason); }, [this] { m_c->retention.Start(false); },
              [this](ZEL::ZELNotificationData data) { OnSendTelemetryCommand(data); }})) {}

DataSyncAgent::~DataSyncAgent() {
    m_c->log.d(L"%s: Enter", L"DataSyncAgent::~DataSyncAgent");
    UnInit();
    m_c->log.d(L"%s: exit", L"DataSyncAgent::~DataSyncAgent");
}

void DataSyncAgent::Init(platform::HANDLE& serviceStop) {
    std::lock_guard<std::mutex> lock(m_lifecycleMutex);
    // The host initialises the agent once per run; a second call would subscribe twice.
    if (m_initialised) {
        m_c->log.e(L"%s: already initialised, call ignored", L"DataSyncAgent::Init");
        return;
    }
    m_initialised = true;
    m_c->stop.UseServiceStop(serviceStop);
    m_c->stop.Reset();  // a new run after UnInit
    m_c->notifications.Subscribe();
    ZEL::utility::InitLog(m_c->log, L"DataSync.log", 4);
    m_c->queue.InitLog(L"DataSync.log");
    m_c->deviceContext.Start();
}

bool DataSyncAgent::ClaimLifecycle(bool initialised) {
    std::unique_lock<std::mutex> lock(m_lifecycleMutex);
    m_lifecycleIdle.wait(lock, [this] { return !m_stepRunning || m_stopping; });
    if (m_stopping || (initialised && !m_initialised)) return false;
    m_stepRunning = true;
    return true;
}

void DataSyncAgent::ReleaseLifecycle() {
    {
        std::lock_guard<std::mutex> lock(m_lifecycleMutex);
        m_stepRunning = false;
    }
    m_lifecycleIdle.notify_all();
}

bool DataSyncAgent::Stopping() {
    std::lock_guard<std::mutex> lock(m_lifecycleMutex);
    return m_stopping;
}

bool DataSyncAgent::GiveUp(const wchar_t* function) {
    if (!Stopping()) return false;
    m_c->log.d(L"%s: the agent stops, start abandoned", function);
    return true;
}

void DataSyncAgent::FullInit() {
    if (!ClaimLifecycle()) return;  // UnInit runs
    // A FullInit of an agent that ran is a restart.
    FullInitAndRelease(m_c->state.m_fullInitDone || m_c->state._b_is_start);
}

void DataSyncAgent::FullInitAndRelease(bool restart) {
    if (restart) m_c->notifications.BeginRestart();
    // In this order: the lifecycle released, then what was kept meanwhile handled (or dropped,
    // when the agent stops); a notification that restarts again then finds the lifecycle free.
    const auto endRestart = OnExit([this, restart] {
        if (restart) m_c->notifications.EndRestart(!Stopping());
    });
    const auto release = OnExit([this] { ReleaseLifecycle(); });
    FullInitClaimed();
}

void DataSyncAgent::FullInitClaimed() {
    ZEL::DataSync::AgentComponents& c = *m_c;
    c.duplication.CreateGlobalEvents();
    c.log.d(L"%s: enter\n", kFullInit);
    if (c.state._b_is_start) NullInitClaimed();
    if (GiveUp(kFullInit)) return;
    c.notifications.ReadLastNotifications();
    c.log.d(L"%s: Entry,_b_is_start=%d\n", kFullInit, c.state._b_is_start ? 1 : 0);
    c.backoff.InitRetryInfo();
    if (!c.state._b_is_start) {
        c.purge.TrySetPurgePendingOnDevicePathRealmMismatch();
        c.retention.Init();
        // After Init, which clears an earlier stop: UnInit marks the agent stopping before it
        // asks retention to stop, so either this gives up or the run below sees that stop.
        if (GiveUp(kFullInit)) return;
        c.retention.Start(true);
        if (GiveUp(kFullInit)) return;

        ZEL::IConfigAgent* configAgent = ZEL::ConfigPolicyAgent::GetInstance();
        std::shared_ptr<const ZEL::TelemetryPolicy> policy =
            configAgent == nullptr ? nullptr : configAgent->TelemetryPolicyInForce();
        if (policy == nullptr) {
            c.log.e(L"%s: failed due to GetTelemetryPolicy failed!\n", kFullInit);
            c.state.m_fullInitDone = true;
            return;
        }
        c.endpoints.SetTelemetryScope(policy->telemetryScope);
        c.log.d(L"%s: telemery_scope=%s", kFullInit, policy->telemetryScope);
        try {
            if (ZEL::String::CaseInsesitiveEqual(policy->telemetryScope, L"none")) {
                c.log.d(L"%s: Exit,telemery_scope=none,sync nothing!", kFullInit);
                c.state.m_fullInitDone = true;
                return;
            }
        } catch (...) {
            c.log.d(L"%s: check telemery_scope=?none,if failed,contitue to go!", kFullInit);
        }

        c.ApplyPolicy(std::move(policy));
        StartWatchersAndTimer();
        c.worker.Start();
        c.deviceContext.SetDeviceContextSynced(ZEL::DataSync::SyncAgentsHelper::IsDeviceContextSyncSuccess(
            ZEL::DataSync::FamilyOf(SyncEP::SyncEP_KTA).bookmarkFile));
        c.state.m_fullInitDone = true;
        c.notifications.ReadLastNotifications();
        if (c.state._b_is_online && c.state._b_is_DevRegistered) {
            if (c.queue.PutMsg(sync_msg{ZEL::DataSync::DEVICE_ONLINE, L""}))
                c.log.d(L"%s: putmsg DEVICE_REGISTRATION ok", kFullInit);
            else
                c.log.e(L"%s: putmsg DEVICE_REGISTRATION failed!", kFullInit);
        }
    }
    c.log.d(L"%s: Completed!", kFullInit);
}

void DataSyncAgent::StartWatchersAndTimer() {
    ZEL::DataSync::AgentComponents& c = *m_c;
    ZEL::Watching* watching =
        m_watching != nullptr ? m_watching : ZEL::DataSync::InstalledEnvironment().watching;
    if (watching == nullptr) {
        c.log.e(L"%s: no watching service: neither file watchers nor the timer run", kFullInit);
        return;
    }
    const ZEL::DataSync::DatasetPolicies::Names names = c.policies.NrtDatabases();
    const std::list<std::wstring>& nrt = *names;
    if (!nrt.empty()) {
        ZEL::DataSync::SyncMap& map = c.syncMap;
        const platform::HANDLE stop = c.stop.ServiceStop();
        m_fileWatchers.push_back(watching->WatchFiles(
            c.files.DbFolder(ZEL::utility::DB_PATH_INTERNAL), nrt,
            [&map](const std::wstring& path) { map.InternalDBChangesNotify(path); }, stop));
        m_fileWatchers.push_back(watching->WatchFiles(
            c.files.DbFolder(ZEL::utility::DB_PATH_USER_SHARED), nrt,
            [&map](const std::wstring& path) { map.SharedDBChangesNotify(path); }, stop));
        c.log.d(L"%s: NRTDB dump(total:%d):\n", kFullInit, static_cast<int>(nrt.size()));
        for (const std::wstring& name : nrt) c.log.d(L"%s(NRT): %s", kFullInit, name);
    }
    const auto scheduled = c.policies.ScheduledDatasets();
    if (!scheduled.empty()) {
        c.log.d(L"%s: Scheduled Dataset dump(total:%d):\n", kFullInit, static_cast<int>(scheduled.size()));
        for (const auto& entry : scheduled) c.log.d(L"%s(Scheduled): %s", kFullInit, entry.first);
    }
    ZEL::DataSync::TimerSync& timer = c.timer;
    ZEL::DataSync::TelemetryTables& tables = c.tables;
    m_timers.push_back(watching->Every(std::chrono::seconds(2), std::chrono::milliseconds(0), L"",
                                       [this, &timer, &tables](const std::wstring& name) {
                                           timer.DoTimerPost(name);
                                           tables.CloseIdleHandles();
                                           ReportLiveness();
                                       }));
}

void DataSyncAgent::SetLivenessCallback(LivenessCallback callback) {
    std::lock_guard<std::mutex> lock(m_livenessMutex);
    m_liveness = std::move(callback);
}

void DataSyncAgent::ReportLiveness() {
    LivenessCallback callback;
    {
        std::lock_guard<std::mutex> lock(m_livenessMutex);
        callback = m_liveness;
    }
    if (callback) callback(m_c->worker.BusyFor());
}

void DataSyncAgent::NullInit() {
    if (!ClaimLifecycle()) return;  // UnInit runs, and stops everything itself
    const auto release = OnExit([this] { ReleaseLifecycle(); });
    NullInitClaimed();
}

void DataSyncAgent::NullInitClaimed() {
    const wchar_t* const function = L"DataSyncAgent::NullInit";
    ZEL::DataSync::AgentComponents& c = *m_c;
    c.log.d(L"%s: Entry:_b_is_start=%d", function, c.state._b_is_start ? 1 : 0);
    c.state.m_fullInitDone = false;
    if (!c.state._b_is_start) {
        c.log.d(L"%s: finish", function);
        return;
    }
    try {
        c.state._b_is_start = false;
        c.stop.Changed();  // a ready wait of the timer, a watcher or the worker gives up
        // Destroying them joins their threads (no lock held); their callbacks never claim the
        // lifecycle.
        m_timers.clear();
        m_fileWatchers.clear();
        c.worker.Stop();
        c.syncMap.Clear();
        c.policies.ClearScheduled();
    } catch (const std::exception& ex) {
        c.log.e(L"%s: Exception caught %s", function, ZEL::String::UTF8ToUTF16(ex.what()));
        return;
    }
    c.log.d(L"%s: finish", function);
}

void DataSyncAgent::Restart(const wchar_t* reason) {
    m_c->log.d(reason, L"DataSyncAgent::OnNotification", m_c->state._b_is_start ? 1 : 0);
    if (!ClaimLifecycle(true)) return;  // shut down, or shutting down
    FullInitAndRelease(true);           // stops the started agent first
}

void DataSyncAgent::UnInit() {
    const wchar_t* const function = L"DataSyncAgent::UnInit";
    ZEL::DataSync::AgentComponents& c = *m_c;
    c.log.d(L"%s: Entry:_b_is_start=%d", function, c.state._b_is_start ? 1 : 0);
    // First what a step in flight (a restart) may be waiting on, without waiting for it: the
    // step gives up at its next check, retention ends its run after the delete step in hand, and
    // every wait ends, whether or not the host has set its stop event.
    {
        std::lock_guard<std::mutex> lock(m_lifecycleMutex);
        m_stopping = true;
    }
    m_lifecycleIdle.notify_all();
    c.stop.Cancel();
    c.retention.RequestStop();
    // Then no notification reaches the agent any more (a callback in progress, a restart too, is
    // waited for), and the step in flight has ended.
    c.notifications.Unsubscribe();
    {
        std::unique_lock<std::mutex> lock(m_lifecycleMutex);
        m_lifecycleIdle.wait(lock, [this] { return !m_stepRunning; });
        m_stepRunning = true;
    }
    c.retention.Stop();
    NullInitClaimed();
    ZEL::SendTelemetryCommandHandler::Cancel();
    c.log.d(L"%s: Wait for futures if any", function);
    c.tasks.WaitAll();
    c.recollected.TakeAcknowledgements();
    c.deviceContext.Stop();
    c.duplication.CloseGlobalEvents();
    {
        std::lock_guard<std::mutex> lock(m_lifecycleMutex);
        m_initialised = m_stopping = m_stepRunning = false;
    }
    m_lifecycleIdle.notify_all();
    c.log.d(L"%s: exit:_b_is_start=%d", function, c.state._b_is_start ? 1 : 0);
}

void DataSyncAgent::WaitSync(unsigned milliseconds, bool release) {
    GetInstance()->m_c->worker.WaitSync(milliseconds, release);
}

bool DataSyncAgent::IsTelemetryPurgeInProgress() {
    return GetInstance()->m_c->purge.IsTelemetryPurgeInProgress();
}

void DataSyncAgent::SetTelemetryPurgeInProgress(bool inProgress) {
    GetInstance()->m_c->purge.SetTelemetryPurgeInProgress(inProgress);
}

bool DataSyncAgent::IsTelemetrySyncBlocked() {
    return GetInstance()->m_c->purge.IsTelemetrySyncBlocked();
}

void DataSyncAgent::PurgeTelemetryStoresForDevicePathRealmChange() {
    GetInstance()->m_c->purge.PurgeTelemetryStoresForDevicePathRealmChange();
}

bool DataSyncAgent::TrySetPurgePendingOnDevicePathRealmMismatch() {
    return GetInstance()->m_c->purge.TrySetPurgePendingOnDevicePathRealmMismatch() ==
           ZEL::DataSync::DevicePathPurge::Mark::Marked;
}

void DataSyncAgent::PurgeLocalTelemetryStoresForDevicePathRealmChange() {
    const PurgeReport report = PurgeWithReport();
    if (!report.ok) throw std::runtime_error(report.error);
}

// ---- The facade's forwarders ----

bool DataSyncAgent::HandleNRT(std::wstring fileName) {
    return m_c->dispatch.HandleNRT(std::move(fileName));
}

bool DataSyncAgent::HandleSharedNRT(std::wstring fileName) {
    return m_c->dispatch.HandleSharedNRT(std::move(fileName));
}

bool DataSyncAgent::HandleDeviceContext(std::wstring fileName) {
    return m_c->deviceContext.HandleDeviceContext(std::move(fileName));
}

void DataSyncAgent::AddDeviceContextRecordToSync(std::int64_t recordId) {
    m_c->deviceContext.AddDeviceContextRecordToSync(recordId);
}

bool DataSyncAgent::IsApplicableForSync(const std::wstring& dbPath) {
    return m_c->applicability.IsApplicableForSync(dbPath);
}

DataSyncAgent::PurgeReport DataSyncAgent::PurgeWithReport() {
    return m_c->purge.PurgeLocalTelemetryStoresForDevicePathRealmChange();
}

std::string DataSyncAgent::ResumeAfterPurge() {
    return m_c->purge.ResumeAfterPurge();
}

bool DataSyncAgent::PurgeCompleted() const {
    return m_c->purge.PurgeCompleted();
}

void DataSyncAgent::CreateGlobalEvents() {
    m_c->duplication.CreateGlobalEvents();
}

void DataSyncAgent::AddFileNamesToRecollectedTelemetry() {
    m_c->duplication.AddFileNamesToRecollectedTelemetry();
}

void DataSyncAgent::DuplicateTelemetryHandler(ZEL::SendTelemetryCommandParams& params) {
    m_c->duplication.DuplicateTelemetryHandler(params);
}

void DataSyncAgent::ProcessDuplicateTelemetryList(std::list<std::wstring>& names) {
    m_c->duplication.ProcessDuplicateTelemetryList(names);
}

bool DataSyncAgent::DuplicateLastRecordInDB(std::wstring datasetId, std::wstring dbName) {
    return m_c->duplication.DuplicateLastRecordInDB(std::move(datasetId), std::move(dbName));
}

bool DataSyncAgent::NotifyAndWaitForAck(int kind) {
    return m_c->duplication.NotifyAndWaitForAck(kind);
}

void DataSyncAgent::ListenToCollectionDoneNotification() {
    m_c->duplication.ListenToCollectionDoneNotification();
}

void DataSyncAgent::SetDefaultDeviceEndpointUrl(const std::wstring& url) {
    m_c->endpoints.SetDefaultDeviceEndpointUrl(url);
}

ZEL::DataSet DataSyncAgent::GetDatasetPolicy(const std::wstring& key, int byId) {
    return m_c->policies.GetDatasetPolicy(key, byId);
}

bool DataSyncAgent::IsNullOrNoneDataSet(std::wstring& datasetId) {
    return m_c->policies.IsNullOrNoneDataSet(datasetId);
}

DataSyncAgent::EndpointUrls DataSyncAgent::CurrentEndpointUrls() {
    return m_c->endpoints.CurrentEndpointUrls();
}

bool DataSyncAgent::IsKtaSyncReady() {
    return m_c->readiness.IsKtaSyncReady();
}

bool DataSyncAgent::IsNavsSyncReady() {
    return m_c->readiness.IsNavsSyncReady();
}

bool DataSyncAgent::IsNavpSyncReady() {
    return m_c->readiness.IsNavpSyncReady();
}

void DataSyncAgent::SetAnonymousMetricsNotRequired(std::list<std::wstring> ids) {
    m_c->consent.SetAnonymousMetricsNotRequired(std::move(ids));
}

bool DataSyncAgent::GetRetryInfo(const SyncEP::SyncEp_type& type, RetryInfo& out) {
    return m_c->backoff.GetRetryInfo(type, out);
}

void DataSyncAgent::SetRetryInfo(const SyncEP::SyncEp_type& type, const RetryInfo& info) {
    m_c->backoff.SetRetryInfo(type, info);
}

Json::Value DataSyncAgent::GetStatusSnapshot() {
    return ZEL::DataSync::AgentStatus(*m_c);
}

ZEL::DataSync::WaitReason DataSyncAgent::WhyRowsWait(const std::wstring& datasetId,
                                                     SyncEP::SyncEp_type family) {
    return ZEL::DataSync::WhyRowsWait(*m_c, datasetId, family);
}

bool DataSyncAgent::IsStarted() const {
    return m_c->state._b_is_start;
}

bool DataSyncAgent::IsOnline() const {
    return m_c->state._b_is_online;
}

bool DataSyncAgent::IsDevRegistered() const {
    return m_c->state._b_is_DevRegistered;
}

bool DataSyncAgent::IsFullInitDone() const {
    return m_c->state.m_fullInitDone;
}

void DataSyncAgent::OnNotification(ZEL::ZELNotificationData& data) {
    m_c->notifications.OnNotification(data);
}

void DataSyncAgent::OnSendTelemetryCommand(ZEL::ZELNotificationData& data) {
    m_c->duplication.OnSendTelemetryCommand(data);
}

int DataSyncAgent::GetDataItemType(const std::wstring& name) {
    return ZEL::DataSync::GetDataItemType(name);
}
