// The agent's lifecycle: construction, Init, FullInit, NullInit, UnInit and destruction, in the
// order each step must happen. What each started piece does lives in the files of its
// subsystem.
#include "datasync/agent/DataSyncAgent.h"

#include <system_error>

#include "datasync/host/DataStore.h"
#include "datasync/host/SendTelemetryCommand.h"
#include "datasync/host/StringUtil.h"
#include "datasync/upload/SyncAgentsHelper.h"

namespace {

const wchar_t* const kFullInit = L"DataSyncAgent::FullInit";
const wchar_t* const kDeviceContextDatasetId = L"03D21916-F27E-41EB-B8B3-77372521FBC7";

const wchar_t* const kRecollectedDatasetNames[] = {
    L"DeviceContext",  L"ZELEvent",          L"BatteryEvent",         L"SystemBIOSEvent",
    L"CPUEvent",       L"DeviceDriversEvent", L"DisplayEvent",         L"MemoryEvent",
    L"NetworkEvent",   L"PCIe_NVMe_SMARTEvent", L"SATA_SSD_SMARTEvent", L"SMARTEvent",
    L"StorageEvent",   L"SystemPowerEvent",  L"USBPortEvent",         L"PackageStatus",
    L"AlexaEvent",     L"SMBIOSTable",       L"SystemInformation",    L"ZelInformation",
    L"DeviceStatus",   L"DeviceProcessEvent", L"PCIe_NVMe_SelfTestResult", L"SATA_SSD_SelfTestResult",
};

}  // namespace

std::wstring DataSyncAgent::m_certExpiryPauseReason;
std::chrono::steady_clock::time_point DataSyncAgent::m_certExpiryPauseTime;
std::mutex DataSyncAgent::m_certExpiryStateMutex;
std::atomic<bool> DataSyncAgent::m_dataSyncPausedDueToCertExpiry{false};
int DataSyncAgent::m_heartbeatCallCount = 0;
std::chrono::steady_clock::time_point DataSyncAgent::m_lastHeartbeatCallTime;
std::list<std::wstring> DataSyncAgent::anonymousMetricsNotRequired;

DataSyncAgent* DataSyncAgent::GetInstance() {
    static DataSyncAgent* const instance = new DataSyncAgent();  // never destroyed by the module
    return instance;
}

DataSyncAgent::DataSyncAgent() : IZELAgent(L"DataSyncAgent") {
    for (const wchar_t* name : kRecollectedDatasetNames) m_recollectedTelemetry[name] = {};
    m_hDeviceContextWake = platform::CreateEventW(true, false);
    m_hTasksCancel = platform::CreateEventW(true, false);
}

DataSyncAgent::~DataSyncAgent() {
    m_log.d(L"%s: Enter", L"DataSyncAgent::~DataSyncAgent");
    if (_b_is_start) UnInit();
    // A device-context thread still running here would outlive the object.
    if (m_deviceContextThread && m_deviceContextThread->joinable()) {
        m_deviceContextStopRequested = true;
        platform::SetEvent(m_hDeviceContextWake);
        m_deviceContextThread->join();
    }
    if (!m_subscriptionId.empty()) ZEL::ZELPublisherSubscriber::GetInstance()->Unsubscribe(m_subscriptionId);
    platform::CloseHandle(m_hDeviceContextWake);
    platform::CloseHandle(m_hTasksCancel);
    m_log.d(L"%s: exit", L"DataSyncAgent::~DataSyncAgent");
}

void DataSyncAgent::Init(platform::HANDLE& serviceStop) {
    // The host initialises the agent once; a second call would subscribe twice and replace a
    // running thread's handle, which ends the process.
    if (m_deviceContextThread) {
        m_log.e(L"%s: already initialised, call ignored", L"DataSyncAgent::Init");
        return;
    }
    m_hServiceStop = serviceStop;
    m_subscriptionId = ZEL::ZELPublisherSubscriber::GetInstance()->Subscribe(
        [this](ZEL::ZELNotificationData& data) { OnNotification(data); }, false);
    ZEL::utility::InitLog(m_log, L"DataSync.log", 4);
    m_msgQueue.InitLog(L"DataSync.log");
    m_deviceContextStopRequested = false;
    m_deviceContextThread = std::make_unique<std::thread>([this] { DeviceContextSyncThread(); });
}

void DataSyncAgent::FullInit() {
    CreateGlobalEvents();
    m_log.d(L"%s: enter\n", kFullInit);
    if (_b_is_start) NullInit();
    ReadLastNotifications();
    m_nullOrNoneDatasets = {L"1118F4A1-5F72-4175-8CCD-36F64DBE5133", L"FBCCBF01-BCB0-41B3-A360-2E8387AF6711",
                            L"837F9CAE-8AF1-4E88-A690-61DD550E32D9"};
    m_log.d(L"%s: Entry,_b_is_start=%d\n", kFullInit, _b_is_start ? 1 : 0);
    InitRetryInfo();

    if (!_b_is_start) {
        TrySetPurgePendingOnDevicePathRealmMismatch();
        m_retentionHandler.Init();
        m_retentionHandler.Start(true);

        ZEL::TelemetryPolicy policy;
        ZEL::IConfigAgent* configAgent = ZEL::ConfigPolicyAgent::GetInstance();
        if (configAgent == nullptr || !configAgent->ReadTelemetryPolicy(policy)) {
            m_log.e(L"%s: failed due to GetTelemetryPolicy failed!\n", kFullInit);
            m_fullInitDone = true;
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_endpointMutex);
            m_telemetryScope = policy.telemetryScope;
        }
        m_log.d(L"%s: telemery_scope=%s", kFullInit, policy.telemetryScope);
        try {
            if (ZEL::String::CaseInsesitiveEqual(policy.telemetryScope, L"none")) {
                m_log.d(L"%s: Exit,telemery_scope=none,sync nothing!", kFullInit);
                m_fullInitDone = true;
                return;
            }
        } catch (...) {
            m_log.d(L"%s: check telemery_scope=?none,if failed,contitue to go!", kFullInit);
        }

        ResolveEndpointUrls(policy);
        ReadContextChangeFlags(policy);
        _b_is_start = true;
        BuildDatasetLists(policy);
        CreateFileWatchers();
        {
            std::lock_guard<std::mutex> lock(m_scheduledMutex);
            if (!m_scheduledDatasets.empty()) {
                m_log.d(L"%s: Scheduled Dataset dump(total:%d):\n", kFullInit,
                        static_cast<int>(m_scheduledDatasets.size()));
                for (const auto& entry : m_scheduledDatasets) m_log.d(L"%s(Scheduled): %s", kFullInit, entry.first);
            }
        }
        {
            std::lock_guard<std::mutex> lock(m_watcherMutex);
            m_timers.push_back(std::make_shared<ZEL::PeriodicTimer>(
                std::chrono::seconds(2), std::chrono::milliseconds(0), L"",
                [this](const std::wstring& name) { DoTimerPost(name); }));
        }
        m_workerThread = std::make_unique<std::thread>([this] { MsgHandleProc(); });
        m_deviceContextSynced = ZEL::DataSync::SyncAgentsHelper::IsDeviceContextSyncSuccess(L"SyncPoint.sqlite3");
        m_fullInitDone = true;
        ReadLastNotifications();
        if (_b_is_online && _b_is_DevRegistered) {
            if (m_msgQueue.PutMsg(sync_msg{DEVICE_ONLINE, L""}))
                m_log.d(L"%s: putmsg DEVICE_REGISTRATION ok", kFullInit);
            else
                m_log.e(L"%s: putmsg DEVICE_REGISTRATION failed!", kFullInit);
        }
    }
    m_log.d(L"%s: Completed!", kFullInit);
}

void DataSyncAgent::BuildDatasetLists(const ZEL::TelemetryPolicy& policy) {
    {
        std::lock_guard<std::mutex> lock(m_nrtMutex);
        m_nrtDbList.clear();
    }
    {
        std::lock_guard<std::mutex> lock(m_datasetPoliciesMutex);
        m_datasetPolicies = policy.datasets;
    }
    ZEL::EventDataLogging* store = ZEL::EventDataLogging::GetInstance();
    m_ktaEnabled = 0;  // a restart must not keep KTA when no dataset of the new policy names it
    for (const ZEL::DataSet& dataset : policy.datasets) {
        if (!dataset.dataset_enable()) continue;
        if (dataset.syncEPs().find(L"KTA") != std::wstring::npos) m_ktaEnabled = 1;
        const std::wstring frequency = ZEL::String::ToLower(dataset.syncEP_frequency());
        if (frequency != L"nrt") {
            std::lock_guard<std::mutex> lock(m_scheduledMutex);
            m_scheduledDatasets[dataset.dataset_id()] =
                static_cast<std::uint32_t>(ZEL::utility::GetIntervalInMilliseconds(frequency) / 1000);
            continue;
        }
        std::lock_guard<std::mutex> lock(m_nrtMutex);
        if (dataset.dataset_id() == kDeviceContextDatasetId) {
            m_nrtDbList.push_back(store->ToDbFile(L"", L"DeviceContext"));
        } else {
            m_nrtDbList.push_back(store->ToDbFile(dataset.dataset_id(), L"ItemEvent"));
            m_nrtDbList.push_back(store->ToDbFile(dataset.dataset_id(), L"DatasetContext"));
        }
    }
}

void DataSyncAgent::CreateFileWatchers() {
    std::lock_guard<std::mutex> nrtLock(m_nrtMutex);
    if (m_nrtDbList.empty()) return;
    {
        std::lock_guard<std::mutex> watcherLock(m_watcherMutex);
        m_fileWatchers.push_back(std::make_shared<ZEL::FileWatcher>(
            ZEL::utility::GetDBPath(ZEL::utility::DB_PATH_INTERNAL), m_nrtDbList,
            [this](const std::wstring& path) { InternalDBChangesNotify(path); }, false, m_hServiceStop));
        m_fileWatchers.push_back(std::make_shared<ZEL::FileWatcher>(
            ZEL::utility::GetDBPath(ZEL::utility::DB_PATH_USER_SHARED), m_nrtDbList,
            [this](const std::wstring& path) { SharedDBChangesNotify(path); }, false, m_hServiceStop));
    }
    m_log.d(L"%s: NRTDB dump(total:%d):\n", kFullInit, static_cast<int>(m_nrtDbList.size()));
    for (const std::wstring& name : m_nrtDbList) m_log.d(L"%s(NRT): %s", kFullInit, name);
}

void DataSyncAgent::NullInit() {
    const wchar_t* const function = L"DataSyncAgent::NullInit";
    m_log.d(L"%s: Entry:_b_is_start=%d", function, _b_is_start ? 1 : 0);
    m_fullInitDone = false;
    if (!_b_is_start) {
        m_log.d(L"%s: finish", function);
        return;
    }
    try {
        _b_is_start = false;
        {
            // Destroyed outside the lock: a watcher's or timer's thread may be inside a callback
            // that needs the agent's locks, and destruction joins it.
            std::list<std::shared_ptr<ZEL::PeriodicTimer>> timers;
            std::list<std::shared_ptr<ZEL::FileWatcher>> watchers;
            {
                std::lock_guard<std::mutex> lock(m_watcherMutex);
                timers.swap(m_timers);
                watchers.swap(m_fileWatchers);
            }
        }
        m_msgQueue.Stop();
        if (m_workerThread && m_workerThread->joinable()) {
            WaitSync(5000, true);
            m_log.d(L"%s: waitSync exited...", function);
            m_workerThread->join();
        }
        m_workerThread.reset();
        {
            std::lock_guard<std::recursive_mutex> lock(m_syncMapMutex);
            m_syncMap.clear();
        }
        {
            std::lock_guard<std::mutex> lock(m_scheduledMutex);
            m_scheduledDatasets.clear();
        }
    } catch (const std::exception& ex) {
        m_log.e(L"%s: Exception caught %s", function, ZEL::String::UTF8ToUTF16(ex.what()));
        return;
    }
    m_log.d(L"%s: finish", function);
}

void DataSyncAgent::UnInit() {
    const wchar_t* const function = L"DataSyncAgent::UnInit";
    m_log.d(L"%s: Entry:_b_is_start=%d", function, _b_is_start ? 1 : 0);
    m_retentionHandler.Stop();
    NullInit();
    ZEL::SendTelemetryCommandHandler::Cancel();
    platform::SetEvent(m_hTasksCancel);
    m_log.d(L"%s: Wait for futures if any", function);
    std::vector<std::future<void>> notificationFutures;
    std::vector<std::future<bool>> duplicateFutures;
    {
        std::lock_guard<std::mutex> lock(m_futuresMutex);
        notificationFutures.swap(m_notificationFutures);
        duplicateFutures.swap(m_duplicateFutures);
    }
    for (auto& future : notificationFutures)
        if (future.valid()) future.wait();
    for (auto& future : duplicateFutures)
        if (future.valid()) future.wait();
    if (m_deviceContextThread) {
        // The host may or may not have set its stop event; the request ends the thread either way.
        m_deviceContextStopRequested = true;
        platform::SetEvent(m_hDeviceContextWake);
        if (m_deviceContextThread->joinable()) m_deviceContextThread->join();
        m_deviceContextThread.reset();
    }
    m_log.d(L"%s: exit:_b_is_start=%d", function, _b_is_start ? 1 : 0);
}

void DataSyncAgent::InitRetryInfo() {
    std::lock_guard<std::mutex> lock(m_retryMutex);
    for (SyncEP::SyncEp_type type : {SyncEP::SyncEP_KTA, SyncEP::SyncEP_NAVS}) {
        if (m_retryInfo.find(type) == m_retryInfo.end()) m_retryInfo[type] = RetryInfo{};
    }
}

bool DataSyncAgent::GetRetryInfo(const SyncEP::SyncEp_type& type, RetryInfo& out) {
    std::lock_guard<std::mutex> lock(m_retryMutex);
    auto found = m_retryInfo.find(type);
    if (found == m_retryInfo.end()) return false;
    out = found->second;
    return true;
}

void DataSyncAgent::SetRetryInfo(const SyncEP::SyncEp_type& type, const RetryInfo& info) {
    std::lock_guard<std::mutex> lock(m_retryMutex);
    m_retryInfo[type] = info;
}

void DataSyncAgent::NotAvailableYet(const wchar_t* function) {
    {
        std::lock_guard<std::mutex> lock(m_notAvailableMutex);
        for (const std::wstring& logged : m_notAvailableLogged)
            if (logged == function) return;
        m_notAvailableLogged.push_back(function);
    }
    m_log.w(L"%s: not available yet in this build", function);
}
