// The device-path purge: detection, markers, the purge of both roots, and its state.
#include "datasync/housekeeping/DevicePathPurge.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <system_error>

#include "datasync/common/WellKnownIds.h"
#include "datasync/config/EndpointFamilies.h"
#include "datasync/housekeeping/MessagingRetention.h"
#include "datasync/housekeeping/PurgeFiles.h"
#include "datasync/host/DataStore.h"
#include "datasync/host/DeviceStatus.h"
#include "datasync/host/Impersonation.h"
#include "datasync/host/StringUtil.h"

namespace ZEL {
namespace DataSync {
namespace {

const wchar_t* const kPurge = L"ZEL::DevicePathTelemetryPurger::PurgeTelemetryStoresForDevicePathRealmChange";
const wchar_t* const kPurgeRoot = L"ZEL::PurgeOneTelemetryRoot";

// Never purged by the dataset walk (compared ignoring case).
const wchar_t* const kProtectedNames[] = {L"GlobalContext.sqlite3",  L"SystemPowerStateEventsTimestampConfig.ini",
                                          L"SyncPoint.sqlite3",      L"navp_syncPoint.sqlite3",
                                          L"navs_SyncPoint.sqlite3", L"DeviceContext.sqlite3"};

namespace fs = std::filesystem;

std::string Narrow(const std::wstring& text) { return String::UTF16ToUTF8(text); }

bool IsProtected(const std::wstring& name) {
    for (const wchar_t* protectedName : kProtectedNames)
        if (String::CaseInsesitiveEqual(name, protectedName)) return true;
    return false;
}

// Writes `text` to `path` (creating its folder), replacing what was there.
void WriteMarker(const std::wstring& path, const std::string& text) {
    std::error_code error;
    fs::create_directories(fs::path(Narrow(path)).parent_path(), error);
    std::ofstream(Narrow(path), std::ios::trunc) << text;
}

// The Unix seconds a marker holds; 0 when it is missing or holds no positive number.
std::int64_t ReadSeconds(const std::wstring& path) {
    std::ifstream in(Narrow(path));
    std::string text;
    if (!(in >> text) || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 18) return 0;
    return std::stoll(text);
}

// Leaves the service's identity for the logged-on user's while it lives; ok() when it could.
class AsLogonUser {
public:
    AsLogonUser() : m_code(m_user.EnterLogOnUserMode()) {}
    ~AsLogonUser() {
        if (ok()) m_user.ExitLogOnUserMode();
    }
    bool ok() const { return m_code == 0; }
    int code() const { return m_code; }

private:
    ImpersonateUser m_user;
    int m_code;
};

}  // namespace

std::wstring DevicePathPurge::MarkerPath(const wchar_t* name) {
    const std::wstring folder = utility::GetDBPath(utility::DB_PATH_INTERNAL);
    return folder.empty() ? std::wstring() : folder + name;
}

bool DevicePathPurge::IsPurgePending() const {
    const std::wstring pending = MarkerPath(kPurgePendingMarker);
    std::error_code error;
    return !pending.empty() && fs::exists(Narrow(pending), error);
}

bool DevicePathPurge::IsTelemetrySyncBlocked() const { return IsTelemetryPurgeInProgress() || IsPurgePending(); }

void DevicePathPurge::WaitWhileTelemetrySyncBlocked() const {
    while (IsTelemetrySyncBlocked() && m_parts.state._b_is_start) {
        if (m_parts.stop.WaitFor(50)) return;
    }
}

std::int64_t DevicePathPurge::NowSeconds() const { return std::chrono::system_clock::to_time_t(m_parts.clock.WallNow()); }

void DevicePathPurge::CreatePurgePendingMarker() {
    const std::wstring detected = MarkerPath(kPurgeDetectedMarker);
    if (detected.empty()) return;
    std::error_code error;
    if (!fs::exists(Narrow(detected), error)) WriteMarker(detected, std::to_string(NowSeconds()));
    WriteMarker(MarkerPath(kPurgePendingMarker), "");
}

bool DevicePathPurge::TrySetPurgePendingOnDevicePathRealmMismatch() {
    if (IsPurgePending()) return false;
    EventDataLogging* store = EventDataLogging::GetInstance();
    EpUrlProvider* provider = EpUrlProvider::GetInstance();
    if (store == nullptr || provider == nullptr) return false;
    DeviceContext stored;
    if (store->GetLastDeviceContext(&stored, 0) != 0) return false;
    std::wstring realm;
    provider->GetRealm(realm);
    if (realm.empty()) return false;
    if (stored.device_info().device_path() == L"organization\\" + realm) return false;
    m_log.i(L"%s: policy device_path differs from stored context; setting purge pending",
            L"ZEL::DevicePathTelemetryPurger::TrySetPurgePendingOnDevicePathRealmMismatch");
    CreatePurgePendingMarker();
    return true;
}

std::chrono::system_clock::time_point DevicePathPurge::ReadDetectCutoff() {
    const std::int64_t seconds = ReadSeconds(MarkerPath(kPurgeDetectedMarker));
    return seconds > 0 ? std::chrono::system_clock::from_time_t(static_cast<std::time_t>(seconds))
                       : m_parts.clock.WallNow();
}

DevicePathPurge::Report DevicePathPurge::PurgeLocalTelemetryStoresForDevicePathRealmChange() {
    if (!IsPurgePending()) CreatePurgePendingMarker();
    SetTelemetryPurgeInProgress(true);
    Report report;
    try {
        if (m_parts.joinRetention) m_parts.joinRetention();
        report = PurgeTelemetryStoresForDevicePathRealmChange();
    } catch (const std::exception& ex) {
        report.ok = false;
        report.error = ex.what();
    }
    if (!report.ok)
        m_log.e(L"%s: Purge failed: %s", L"DataSyncAgent::PurgeLocalTelemetryStoresForDevicePathRealmChange",
                String::UTF8ToUTF16(report.error));
    SetTelemetryPurgeInProgress(false);
    return report;
}

DevicePathPurge::Report DevicePathPurge::PurgeTelemetryStoresForDevicePathRealmChange() {
    struct SuppressSyncPointReset {
        SuppressSyncPointReset() { DatabaseManager::SuppressSyncPointResetDuringPurge(true); }
        ~SuppressSyncPointReset() { DatabaseManager::SuppressSyncPointResetDuringPurge(false); }
    } suppress;
    Report report;
    const auto cutoff = ReadDetectCutoff();
    report.cutoff = std::chrono::system_clock::to_time_t(cutoff);
    m_log.i(L"%s: starting full telemetry purge for device_path / realm change", kPurge);
    PurgeOneTelemetryRoot(utility::DB_PATH_INTERNAL, cutoff, report);
    {
        AsLogonUser user;
        if (!user.ok()) {
            m_log.e(L"%s: user-context (SharedDB) telemetry purge skipped; impersonation failed", kPurge);
            report.error = "shared telemetry purge: cannot act as the logged-on user (error " +
                           std::to_string(user.code()) + "; is logon_user set?); the purge stays pending";
        } else {
            PurgeOneTelemetryRoot(utility::DB_PATH_USER_SHARED, cutoff, report);
        }
    }
    report.ok = report.error.empty();
    if (report.ok) {
        WriteMarker(MarkerPath(kPurgeCompletedMarker), std::to_string(NowSeconds()));
        m_log.i(L"%s: completed telemetry purge for device_path / realm change", kPurge);
    }
    m_lastReport.Publish(report);
    m_reported = true;
    return report;
}

void DevicePathPurge::PurgeOneTelemetryRoot(utility::EGetDBPathMethod root,
                                            const std::chrono::system_clock::time_point& cutoff, Report& report) {
    const std::wstring folder = utility::GetDBPath(root);
    const std::wstring label = utility::DBPathMethodLabel(root);
    m_log.i(L"%s: purging telemetry root [%s] path=%s", kPurgeRoot, label, folder);
    std::error_code error;
    if (folder.empty() || !fs::exists(Narrow(folder), error)) {
        if (error)
            m_log.e(L"%s: cannot stat telemetry root %s: %s", kPurgeRoot, folder, String::UTF8ToUTF16(error.message()));
        else
            m_log.d(L"%s: telemetry root [%s] does not exist path=%s", kPurgeRoot, label, folder);
        return;
    }
    if (EventDataLogging* store = EventDataLogging::GetInstance()) store->mark_integrity_check_all();
    ClearSyncPointRowsForTelemetryRoot(root, report);
    ClearDeviceContextForRealmChange(root, report);
    const auto messagingCutoff = m_parts.clock.WallNow() - std::chrono::hours(24) * kMessagingRetentionDays;

    const std::wregex datasetContexts(kDatasetContextPattern, std::regex::ECMAScript | std::regex::icase);
    const std::wregex itemEvents(kItemEventPattern, std::regex::ECMAScript | std::regex::icase);
    for (fs::directory_iterator it(Narrow(folder), error), end; !error && it != end; it.increment(error)) {
        try {
            std::error_code entryError;
            if (!it->is_regular_file(entryError)) continue;
            const std::wstring name = String::UTF8ToUTF16(it->path().filename().string());
            if (IsProtected(name)) continue;
            const std::wstring path = folder + name;
            for (const auto& [pattern, kind] : {std::pair{&datasetContexts, L"DatasetContext"}, std::pair{&itemEvents, L"ItemEvent"}}) {
                std::wsmatch match;
                if (!std::regex_match(name, match, *pattern)) continue;
                if (String::CaseInsesitiveEqual(match[1].str(), kMessagingPluginDatasetId)) continue;
                PurgeDatasetDbByLogtimeCutoff(match[1].str(), path, cutoff, kind, report);
            }
        } catch (const std::exception& ex) {
            m_log.e(L"%s: purge skipped for one file under %s: %s", kPurgeRoot, folder, String::UTF8ToUTF16(ex.what()));
        }
    }
    if (error)
        m_log.e(L"%s: filesystem_error iterating %s: %s", kPurgeRoot, folder, String::UTF8ToUTF16(error.message()));
    const std::int64_t trimmed = ApplyMessagingRetentionPolicy(messagingCutoff, root, m_log);
    report.rowsDeleted += trimmed;
}

void DevicePathPurge::ClearSyncPointRowsForTelemetryRoot(utility::EGetDBPathMethod root, Report& report) {
    const std::wstring folder = utility::GetDBPath(root);
    EventDataLogging* store = EventDataLogging::GetInstance();
    if (folder.empty() || store == nullptr) return;
    // The bookmark files of every family, as the stores name them.
    for (const EndpointFamily& family : kEndpointFamilies) {
        const std::wstring path = folder + family.bookmarkFile;
        if (!IsExistingRegularFile(path)) continue;
        CloseCachedDbAtPath(path);
        DatabasePtr db = store->GetDatabase(path, true, false);
        if (!db) {
            m_log.w(L"%s: cannot open SyncPoint db for selective clear name=%s root=%s", kPurgeRoot,
                    std::wstring(family.bookmarkFile), utility::DBPathMethodLabel(root));
            continue;
        }
        try {
            report.bookmarksCleared += db->execDML("DELETE FROM SyncPoint");
            ++report.bookmarkFiles;
            db.reset();
            CheckpointAndCloseCachedDb(path, L"SyncPoint purge", m_log);
            m_log.i(L"%s: cleared SyncPoint rows [%s] path=%s", kPurgeRoot, std::wstring(family.bookmarkFile), path);
        } catch (const std::exception&) {
            m_log.w(L"%s: DELETE SyncPoint failed path=%s", kPurgeRoot, path);
        }
    }
}

void DevicePathPurge::ClearDeviceContextForRealmChange(utility::EGetDBPathMethod root, Report& report) {
    const std::wstring folder = utility::GetDBPath(root);
    const std::wstring path = folder + kDeviceContextFileName;
    if (!IsExistingRegularFile(path)) {
        m_log.d(L"%s: no DeviceContext DB under %s (method=%d)", kPurgeRoot, folder, static_cast<int>(root));
        return;
    }
    CloseCachedDbAtPath(path);
    DatabaseManager::GetInstance()->CloseCachedDatabasesUnderPath(folder);
    std::int64_t cleared = TryClearDeviceContextDb(path, root, L"first");
    if (cleared < 0) {
        CloseCachedDbAtPath(path);
        DatabaseManager::GetInstance()->CloseCachedDatabasesUnderPath(folder);
        cleared = TryClearDeviceContextDb(path, root, L"retry");
    }
    if (cleared >= 0) {
        report.deviceContextsCleared += cleared;
        m_log.i(L"%s: cleared DeviceContext rows path=%s (method=%d)", kPurgeRoot, path, static_cast<int>(root));
    } else {
        m_log.w(L"%s: failed to clear DeviceContext rows path=%s (method=%d)", kPurgeRoot, path, static_cast<int>(root));
    }
    CheckpointAndCloseCachedDb(path, L"DeviceContext", m_log);
}

std::int64_t DevicePathPurge::TryClearDeviceContextDb(const std::wstring& path, utility::EGetDBPathMethod,
                                                      const wchar_t* attempt) {
    DatabasePtr db = EventDataLogging::GetInstance()->GetDatabase(path, true, false);
    if (!db) {
        m_log.w(L"%s: (%s) cannot open DeviceContext DB path=%s", kPurgeRoot, std::wstring(attempt), path);
        return -1;
    }
    try {
        return db->execDML("DELETE FROM DeviceContext");
    } catch (const std::exception&) {
        m_log.w(L"%s: (%s) DELETE FROM DeviceContext failed path=%s", kPurgeRoot, std::wstring(attempt), path);
        return -1;
    }
}

void DevicePathPurge::PurgeDatasetDbByLogtimeCutoff(const std::wstring& datasetId, const std::wstring& path,
                                                    const std::chrono::system_clock::time_point& cutoff,
                                                    const wchar_t* kind, Report& report) {
    if (!IsExistingRegularFile(path)) return;
    CloseCachedDbAtPath(path);
    const std::int64_t deleted = ExecSqlOnDbFile(path, kind, cutoff);
    if (deleted >= 0) {
        ++report.files;
        report.rowsDeleted += deleted;
        m_log.i(L"%s: SQL-purged %s through device_path detect cutoff (local logtime) dataset=%s path=%s", kPurgeRoot,
                std::wstring(kind), datasetId, path);
    } else {
        m_log.w(L"%s: SQL-purge failed for %s dataset=%s path=%s", kPurgeRoot, std::wstring(kind), datasetId, path);
    }
    CheckpointAndCloseCachedDb(path, kind, m_log);
}

DevicePathPurge::Status DevicePathPurge::CurrentStatus() const {
    Status status;
    status.detectedUtc = ReadSeconds(MarkerPath(kPurgeDetectedMarker));
    if (IsTelemetryPurgeInProgress()) {
        status.state = State::Purging;
    } else if (IsPurgePending()) {
        std::error_code error;
        const std::wstring completed = MarkerPath(kPurgeCompletedMarker);
        status.state = fs::exists(Narrow(completed), error) ? State::PurgedAwaitingResume : State::Pending;
    }
    status.purged = m_reported;
    status.last = *m_lastReport.Read();
    return status;
}

}  // namespace DataSync
}  // namespace ZEL
