// Telemetry retention: the start rules, the two folder walks and the delete per database.
#include "datasync/housekeeping/TelemetryRetentionHandler.h"

#include <cwchar>

#include "datasync/common/ImpersonateUser.h"
#include "datasync/common/Paths.h"
#include "datasync/common/StringUtil.h"
#include "datasync/common/WellKnownIds.h"
#include "datasync/host/Impersonation.h"
#include "datasync/housekeeping/RetentionUtils.h"

using TelemetryUtils::RetentionUtils;
using ZEL::utility::EGetDBPathMethod;

namespace {

const wchar_t* const kStart = L"TelemetryRetentionHandler::Start";
const wchar_t* const kExecute = L"TelemetryRetentionHandler::ExecuteRetention";
const wchar_t* const kHandleSingleDb = L"TelemetryRetentionHandler::HandleSingleDb";
// "<dataset id>" + this is the dataset's item-event database.
const std::wstring kItemEventSuffix = ZEL::DataSync::TelemetryFileName(L"", L"_ItemEvent");

}  // namespace

TelemetryRetentionHandler::TelemetryRetentionHandler(ZEL::Clock& clock, ZEL::DataSync::TelemetryTables& tables,
                                                     ZEL::DataSync::HostFiles& files, std::function<bool()> syncBlocked, ZEL::Log& log,
                                                     ThreadStarter startThread)
    : m_clock(clock),
      m_tables(tables),
      m_files(files),
      m_syncBlocked(std::move(syncBlocked)),
      m_log(log),
      m_startThread(startThread ? std::move(startThread)
                                : [](std::function<void()> body) { return std::thread(std::move(body)); }),
      m_lastStartTime(clock.SteadyNow() - std::chrono::hours(24)) {}

TelemetryRetentionHandler::~TelemetryRetentionHandler() { Stop(); }

void TelemetryRetentionHandler::Init() {
    m_stopRequested = false;
    try {
        UpdateRetentionSettings();
    } catch (const std::exception& ex) {
        m_log.e(L"%s Error updating retention settings: %s", L"TelemetryRetentionHandler::Init",
                ZEL::String::UTF8ToUTF16(ex.what()));
    }
}

void TelemetryRetentionHandler::ReInit() { Init(); }

bool TelemetryRetentionHandler::CanStartNow() { return m_clock.SteadyNow() - m_lastStartTime >= MinStartInterval; }

TelemetryRetentionHandler::StartResult TelemetryRetentionHandler::Start(bool blocking) {
    m_log.d(L"%s: Entry (blocking=%d)", kStart, blocking ? 1 : 0);
    {
        std::lock_guard<std::mutex> lock(m_startMutex);
        if (m_syncBlocked && m_syncBlocked()) {
            m_log.i(L"%s: Skipping retention start while device-path telemetry purge is active or resume pending",
                    kStart);
            return NotNow;
        }
        if (m_dbThreadRunning) {
            m_log.i(L"%s: Last retention cycle is still running for DB files. Exiting", kStart);
            return DbRetentionRunning;
        }
        if (m_sharedDbThreadRunning) {
            m_log.i(L"%s: Last retention cycle is still running for sharedDB files. Exiting", kStart);
            return SharedDbRetentionRunning;
        }
        for (std::unique_ptr<std::thread>* finished : {&m_dbThread, &m_sharedDbThread}) {
            if (*finished && (*finished)->joinable()) (*finished)->join();
            finished->reset();
        }
        if (!CanStartNow()) {
            m_log.i(L"%s: Received retention trigger too soon. Exiting", kStart);
            return NotNow;
        }
        if (m_stopRequested) {
            m_log.i(L"%s Stop Signalled so dont ExecuteRetention", kStart);
            return StopRequested;
        }
        try {
            UpdateRetentionSettings();
        } catch (const std::exception& ex) {
            m_log.e(L"%s Error updating retention settings: %s", kStart, ZEL::String::UTF8ToUTF16(ex.what()));
            return SettingsError;
        }
        // Marked running before the threads exist, so that no second Start slips in between. A
        // root whose thread cannot be made (nor any after it) is marked ended at once, with the
        // reason, so that the next Start may try again.
        SetThreadState(ZEL::utility::DB_PATH_INTERNAL, true);
        SetThreadState(ZEL::utility::DB_PATH_USER_SHARED, true);
        std::string failure;
        for (const EGetDBPathMethod root : {ZEL::utility::DB_PATH_INTERNAL, ZEL::utility::DB_PATH_USER_SHARED}) {
            try {
                if (failure.empty()) {
                    (root == ZEL::utility::DB_PATH_INTERNAL ? m_dbThread : m_sharedDbThread) =
                        std::make_unique<std::thread>(m_startThread([this, root] { ExecuteRetention(root); }));
                    continue;
                }
            } catch (const std::exception& ex) {
                failure = ex.what();
                m_log.e(L"%s: a retention thread could not be started: %s", kStart,
                        ZEL::String::UTF8ToUTF16(ex.what()));
            }
            const std::int64_t now = std::chrono::system_clock::to_time_t(m_clock.WallNow());
            UpdateRunStatus(root,
                            [&](RunStatus& run) { run = RunStatus{now, now, 0, 0, "failed to start: " + failure}; });
            EndRun(root);
        }
        if (!failure.empty()) return ThreadStartFailed;
        m_lastStartTime = m_clock.SteadyNow();
    }
    if (blocking) {
        // The threads stay where a purge's JoinRunningRetentionThreads finds them; this waits for
        // their end without joining them.
        m_log.i(L"%s: Blocking mode - waiting for retention threads to complete", kStart);
        std::unique_lock<std::mutex> lock(m_statusMutex);
        m_runEnded.wait(lock, [this] { return !m_dbThreadRunning && !m_sharedDbThreadRunning; });
        m_log.i(L"%s: Retention threads completed, continuing", kStart);
    }
    m_log.d(L"%s: Exit", kStart);
    return Started;
}

void TelemetryRetentionHandler::RequestStop() {
    if (!m_stopRequested.exchange(true))
        m_log.i(L"%s: retention asked to stop", L"TelemetryRetentionHandler::RequestStop");
}

void TelemetryRetentionHandler::Stop() {
    std::lock_guard<std::mutex> lock(m_startMutex);
    RequestStop();
    for (std::unique_ptr<std::thread>* thread : {&m_dbThread, &m_sharedDbThread})
        if (*thread && (*thread)->joinable()) (*thread)->join();
}

void TelemetryRetentionHandler::JoinRunningRetentionThreads() {
    std::lock_guard<std::mutex> lock(m_startMutex);
    for (std::unique_ptr<std::thread>* thread : {&m_dbThread, &m_sharedDbThread}) {
        if (*thread && (*thread)->joinable()) (*thread)->join();
        thread->reset();
    }
}

std::chrono::system_clock::time_point TelemetryRetentionHandler::ComputeCutoffUtc(int days) {
    return m_clock.WallNow() - std::chrono::hours(24) * days;
}

void TelemetryRetentionHandler::SetThreadState(EGetDBPathMethod root, bool running) {
    (root == ZEL::utility::DB_PATH_INTERNAL ? m_dbThreadRunning : m_sharedDbThreadRunning).exchange(running);
}

void TelemetryRetentionHandler::EndRun(EGetDBPathMethod root) {
    {
        std::lock_guard<std::mutex> lock(m_statusMutex);
        SetThreadState(root, false);
    }
    m_runEnded.notify_all();
}

void TelemetryRetentionHandler::UpdateRunStatus(EGetDBPathMethod root, const std::function<void(RunStatus&)>& change) {
    std::lock_guard<std::mutex> lock(m_statusMutex);
    change(root == ZEL::utility::DB_PATH_INTERNAL ? m_runs.service : m_runs.shared);
    m_status.Publish(m_runs);
}

void TelemetryRetentionHandler::ExecuteRetention(EGetDBPathMethod root) {
    m_log.i(L"%s: Entry", kExecute);
    SetThreadState(root, true);
    const std::int64_t started = std::chrono::system_clock::to_time_t(m_clock.WallNow());
    UpdateRunStatus(root, [started](RunStatus& run) { run = RunStatus{started, 0, 0, 0, "running"}; });
    std::string result = "done";
    int databases = 0;
    std::int64_t deleted = 0;
    const auto finish = [&] {
        const std::int64_t ended = std::chrono::system_clock::to_time_t(m_clock.WallNow());
        UpdateRunStatus(root, [&](RunStatus& run) {
            run.endedAt = ended, run.databases = databases, run.rowsDeleted = deleted, run.result = result;
        });
        EndRun(root);
        m_log.i(L"%s: Exit", kExecute);
    };

    const std::wstring folder = m_files.DbFolder(root);
    if (folder.empty() || !m_files.FolderModified(folder)) {
        m_log.e(L"%s: Telemetry folder does not exist or is not a directory: %s", kExecute, folder);
        result = "no folder";
        finish();
        return;
    }
    try {
        std::string problem;
        for (const std::wstring& name : m_files.ListFiles(folder, problem)) {
            if (m_stopRequested) {
                m_log.i(L"%s Stop Requested, break the Retention Process", kExecute);
                result = "stopped";
                break;
            }
            if (!RetentionUtils::ends_with(name, kItemEventSuffix)) continue;
            try {
                deleted += HandleSingleDb(name.substr(0, name.size() - kItemEventSuffix.size()), root);
                ++databases;
            } catch (const std::exception& ex) {
                m_log.e(L"%s Error handling DB file : %s", kExecute, ZEL::String::UTF8ToUTF16(ex.what()));
            }
        }
        if (!problem.empty() && result == "done") {
            m_log.e(L"%s Filesystem error: %s", kExecute, ZEL::String::UTF8ToUTF16(problem));
            result = "failed: " + problem;
        }
    } catch (const std::exception& ex) {
        m_log.e(L"%s Exception: %s", kExecute, ZEL::String::UTF8ToUTF16(ex.what()));
        result = std::string("failed: ") + ex.what();
    }
    if (result == "done" && m_stopRequested) result = "stopped";  // perhaps within the last database
    finish();
}

std::int64_t TelemetryRetentionHandler::HandleSingleDb(const std::wstring& name, EGetDBPathMethod root) {
    m_log.d(L"%s: Enter, db = %s", kHandleSingleDb, name);
    if (m_stopRequested) return 0;
    if (name.empty()) {
        m_log.e(L"%s: dbPath is empty", kHandleSingleDb);
        return 0;
    }
    const std::wstring datasetId = ZEL::DataSync::DatasetIdOfFile(name + kItemEventSuffix);
    int days = GetRetentionDays(datasetId);
    if (days < 1) {
        m_log.w(L"%s: Invalid retention days %d for dataset %s", kHandleSingleDb, days, datasetId);
        days = DEFAULT_RETENTION_DAYS;
    }
    m_log.i(L"%s: Retention days for dataset %s is %d", kHandleSingleDb, datasetId, days);
    ZEL::ImpersonateUser user;
    if (root != ZEL::utility::DB_PATH_INTERNAL) {
        const int rc = user.EnterLogOnUserMode();
        if (rc != 0) {
            m_log.e(L"%s: Failed to impersonate user. Exiting; errorcode=%d\n", kHandleSingleDb, rc);
            return 0;
        }
    }
    const std::int64_t deleted =
        m_tables.DeleteDatedRows({datasetId, ZEL::ItemEvent::TypeName(), root}, ComputeCutoffUtc(days),
                                 ZEL::DataSync::CutoffBound::Before, [this] { return m_stopRequested.load(); });
    if (root != ZEL::utility::DB_PATH_INTERNAL) user.ExitLogOnUserMode();
    m_log.d(L"%s: Exit, db = %s", kHandleSingleDb, name);
    return deleted < 0 ? 0 : deleted;
}

int TelemetryRetentionHandler::GetRetentionDays(const std::wstring& datasetId) {
    std::lock_guard<std::mutex> lock(m_settingsMutex);
    const auto found = m_retentionDays.find(RetentionUtils::ToUpper(datasetId));
    return found == m_retentionDays.end() ? DEFAULT_RETENTION_DAYS : found->second;
}

bool TelemetryRetentionHandler::ReadDatasetSettingsFromConfigPolicy(const ZEL::TelemetryPolicy& policy,
                                                                    const std::wstring& datasetId,
                                                                    std::map<std::wstring, std::wstring>& settings) {
    const std::wstring wanted = ZEL::String::ToUpper(datasetId);
    for (const ZEL::DataSet& dataset : policy.datasets) {
        if (ZEL::String::ToUpper(dataset.dataset_id()) != wanted) continue;
        settings = dataset.dataset_settings_map();
        return true;
    }
    return false;
}

void TelemetryRetentionHandler::UpdateRetentionSettings() {
    // One reading of the policy serves every dataset.
    ZEL::IConfigAgent* config = ZEL::ConfigPolicyAgent::GetInstance();
    const std::shared_ptr<const ZEL::TelemetryPolicy> policy =
        config == nullptr ? nullptr : config->TelemetryPolicyInForce();
    if (policy == nullptr) {
        m_log.e(L"EventManager Initialize GetTelemetryPolicy() return fail!");
        return;
    }
    std::map<std::wstring, int> days;
    for (const ZEL::DataSet& dataset : policy->datasets) {
        std::map<std::wstring, std::wstring> settings;
        int value = DEFAULT_RETENTION_DAYS;
        if (ReadDatasetSettingsFromConfigPolicy(*policy, dataset.dataset_id(), settings)) {
            const auto retention = settings.find(L"Retention");
            bool overflowed = false;
            if (retention != settings.end())
                value = RetentionUtils::ParseRetentionDays(retention->second, DEFAULT_RETENTION_DAYS,
                                                           MAX_RETENTION_DAYS, &overflowed);
            if (overflowed)
                m_log.w(L"%s: Retention \"%s\" of dataset %s is too large; using %d days",
                        L"TelemetryRetentionHandler::UpdateRetentionSettings", retention->second, dataset.dataset_id(),
                        MAX_RETENTION_DAYS);
        }
        days[RetentionUtils::ToUpper(dataset.dataset_id())] = value;
    }
    std::lock_guard<std::mutex> lock(m_settingsMutex);
    for (auto& entry : m_retentionDays) entry.second = DEFAULT_RETENTION_DAYS;  // not seen: the default
    for (const auto& entry : days) m_retentionDays[entry.first] = entry.second;
}
