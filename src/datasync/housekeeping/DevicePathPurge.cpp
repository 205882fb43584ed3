// The device-path purge: detection, markers, the purge of both roots, and its state.
#include "datasync/housekeeping/DevicePathPurge.h"

#include <algorithm>
#include <regex>
#include <stdexcept>
#include <system_error>

#include "datasync/common/ImpersonateUser.h"
#include "datasync/common/StringUtil.h"
#include "datasync/common/WellKnownIds.h"
#include "datasync/config/EndpointFamilies.h"
#include "datasync/host/DeviceStatus.h"
#include "datasync/host/HostFiles.h"
#include "datasync/host/Impersonation.h"
#include "datasync/housekeeping/MessagingRetention.h"
#include "datasync/housekeeping/PurgeFiles.h"

namespace ZEL {
namespace DataSync {
namespace {

const wchar_t* const kPurge = L"ZEL::DevicePathTelemetryPurger::PurgeTelemetryStoresForDevicePathRealmChange";
const wchar_t* const kPurgeRoot = L"ZEL::PurgeOneTelemetryRoot";

// Never purged by the dataset walk (compared ignoring case), besides every family's bookmark file.
const wchar_t* const kProtectedNames[] = {
    kGlobalContextFileName, L"SystemPowerStateEventsTimestampConfig.ini", kDeviceContextFileName};

bool IsProtected(const std::wstring& name) {
    for (const wchar_t* protectedName : kProtectedNames)
        if (String::CaseInsesitiveEqual(name, protectedName)) return true;
    for (const EndpointFamily& family : kEndpointFamilies)
        if (String::CaseInsesitiveEqual(name, family.bookmarkFile)) return true;
    return false;
}

// The Unix seconds a marker's text holds; 0 when there is none or it holds no positive number.
std::int64_t SecondsIn(const std::optional<std::string>& marker) {
    if (!marker) return 0;
    std::string text = *marker;
    text.erase(0, text.find_first_not_of(" \t\r\n"));
    text.erase(std::min(text.size(), text.find_first_of(" \t\r\n")));
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 18) return 0;
    return std::stoll(text);
}

std::wstring MarkerPath(HostFiles& files, const wchar_t* name) {
    const std::wstring folder = files.DbFolder(utility::DB_PATH_INTERNAL);
    return folder.empty() ? std::wstring() : folder + name;
}

// Leaves the service's identity for the logged-on user's while it lives; ok() when it could, or
// when no user is configured (the shared root is the service's then, and nothing switches).
class AsLogonUser {
public:
    AsLogonUser() : m_code(m_user.EnterLogOnUserMode()) {}
    ~AsLogonUser() {
        if (m_code == 0) m_user.ExitLogOnUserMode();
    }
    bool ok() const { return m_code == 0 || m_code == kNoLogOnUserConfigured; }
    int code() const { return m_code; }

private:
    ImpersonateUser m_user;
    int m_code;
};

}  // namespace

DevicePathPurge::DevicePathPurge(Parts parts)
    : m_parts(std::move(parts)), m_log(m_parts.log), m_noUploads(platform::CreateEventW(true, true)) {}

DevicePathPurge::~DevicePathPurge() { platform::CloseHandle(m_noUploads); }

void DevicePathPurge::SetTelemetryPurgeInProgress(bool inProgress) {
    const bool was = m_purgeInProgress.exchange(inProgress);
    if (was && !inProgress && !IsTelemetrySyncBlocked() && m_parts.blockLifted) m_parts.blockLifted();
}

UploadPass DevicePathPurge::TryBeginUpload() {
    LoadMarkersOnce();  // any file work before the lock
    std::lock_guard<std::mutex> lock(m_uploadsMutex);
    if (IsTelemetrySyncBlocked()) return nullptr;
    if (m_uploadsInFlight++ == 0) platform::ResetEvent(m_noUploads);
    return UploadPass(this, [](void* purge) { static_cast<DevicePathPurge*>(purge)->EndUpload(); });
}

void DevicePathPurge::EndUpload() {
    std::lock_guard<std::mutex> lock(m_uploadsMutex);
    if (--m_uploadsInFlight == 0) platform::SetEvent(m_noUploads);
}

bool DevicePathPurge::BlockAndWaitForUploadsInFlight() {
    {
        std::lock_guard<std::mutex> lock(m_uploadsMutex);
        SetTelemetryPurgeInProgress(true);
    }
    for (;;) {
        std::size_t inFlight = 0;
        {
            std::lock_guard<std::mutex> lock(m_uploadsMutex);
            inFlight = m_uploadsInFlight;
        }
        if (inFlight == 0) return true;
        m_log.i(L"%s: waiting for %d uploads in flight to end", kPurge, static_cast<int>(inFlight));
        if (m_parts.stop.WaitForEvent(m_noUploads, platform::INFINITE) != StopSignal::Woke::Event) return false;
    }
}

void DevicePathPurge::LoadMarkersOnce() const {
    std::call_once(m_loaded, [this] {
        Markers loaded;
        HostFiles& files = m_parts.files;
        const auto exists = [&files](const std::wstring& path) { return !path.empty() && files.Exists(path); };
        loaded.pending = loaded.pendingSaved = exists(MarkerPath(files, kPurgePendingMarker));
        loaded.detectedSaved = exists(MarkerPath(files, kPurgeDetectedMarker));
        loaded.detected = SecondsIn(files.ReadText(MarkerPath(files, kPurgeDetectedMarker)));
        if (loaded.pending && exists(MarkerPath(files, kPurgeCompletedMarker)))
            loaded.completed = std::max<std::int64_t>(
                SecondsIn(files.ReadText(MarkerPath(files, kPurgeCompletedMarker))), 1);
        std::lock_guard<std::mutex> lock(m_markersMutex);
        m_markers = loaded;
        m_pending = loaded.pending;
    });
}

DevicePathPurge::Markers DevicePathPurge::CurrentMarkers() const {
    LoadMarkersOnce();
    std::lock_guard<std::mutex> lock(m_markersMutex);
    return m_markers;
}

bool DevicePathPurge::IsTelemetrySyncBlocked() const {
    if (IsTelemetryPurgeInProgress()) return true;
    LoadMarkersOnce();
    return m_pending.load();
}

std::int64_t DevicePathPurge::NowSeconds() const {
    return std::chrono::system_clock::to_time_t(m_parts.clock.WallNow());
}

DevicePathPurge::Mark DevicePathPurge::CreatePurgePendingMarker() {
    LoadMarkersOnce();
    Markers wanted;
    {
        // The block first: it holds whatever becomes of the files.
        std::lock_guard<std::mutex> lock(m_markersMutex);
        if (m_markers.detected == 0) m_markers.detected = NowSeconds();
        m_markers.pending = true;
        m_pending = true;
        wanted = m_markers;
    }
    const std::wstring folder = m_parts.files.DbFolder(utility::DB_PATH_INTERNAL);
    std::string problem = folder.empty() ? "no service telemetry folder to hold the purge markers" : "";
    // detected_utc is written only when it does not exist yet: it keeps the first detection.
    if (problem.empty() && !wanted.detectedSaved)
        problem = m_parts.files.WriteText(folder + kPurgeDetectedMarker, std::to_string(wanted.detected));
    if (problem.empty() && !wanted.pendingSaved) problem = m_parts.files.WriteText(folder + kPurgePendingMarker, "");
    {
        std::lock_guard<std::mutex> lock(m_markersMutex);
        if (problem.empty()) m_markers.detectedSaved = m_markers.pendingSaved = true;
        m_markers.problem = problem;
    }
    if (problem.empty()) return Mark::Marked;
    m_log.e(L"%s: the purge is pending in memory only (uploads stay blocked until the process ends): %s",
            L"ZEL::DevicePathTelemetryPurger::CreatePurgePendingMarker", String::UTF8ToUTF16(problem));
    return Mark::NotSaved;
}

DevicePathPurge::Mark DevicePathPurge::TrySetPurgePendingOnDevicePathRealmMismatch() {
    if (CurrentMarkers().pending) return Mark::NotNeeded;
    EpUrlProvider* provider = EpUrlProvider::GetInstance();
    if (provider == nullptr) return Mark::NotNeeded;
    DeviceContext stored;
    if (!m_parts.tables.NewestDeviceContext(stored)) return Mark::NotNeeded;
    std::wstring realm;
    provider->GetRealm(realm);
    if (realm.empty()) return Mark::NotNeeded;
    if (stored.device_info().device_path() == L"organization\\" + realm) return Mark::NotNeeded;
    m_log.i(L"%s: policy device_path differs from stored context; setting purge pending",
            L"ZEL::DevicePathTelemetryPurger::TrySetPurgePendingOnDevicePathRealmMismatch");
    return CreatePurgePendingMarker();
}

std::chrono::system_clock::time_point DevicePathPurge::ReadDetectCutoff() {
    const std::int64_t seconds = CurrentMarkers().detected;
    return seconds > 0 ? std::chrono::system_clock::from_time_t(static_cast<std::time_t>(seconds))
                       : m_parts.clock.WallNow();
}

DevicePathPurge::Report DevicePathPurge::PurgeLocalTelemetryStoresForDevicePathRealmChange() {
    std::unique_lock<std::mutex> request(m_requestMutex, std::try_to_lock);
    Report report;
    if (!request.owns_lock()) {
        report.error = "a purge is already running";
        return report;
    }
    // Also writes what an earlier attempt could not; the block holds in memory either way.
    const Markers markers = CurrentMarkers();
    if (!markers.pendingSaved || !markers.detectedSaved) CreatePurgePendingMarker();
    try {
        if (!BlockAndWaitForUploadsInFlight()) throw std::runtime_error("stopped while uploads were still in flight");
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

void DevicePathPurge::RecordCompleted() {
    const std::int64_t now = NowSeconds();
    const std::wstring path = MarkerPath(m_parts.files, kPurgeCompletedMarker);
    const std::string problem = path.empty() ? "no service telemetry folder to hold the purge markers"
                                             : m_parts.files.WriteText(path, std::to_string(now));
    if (!problem.empty())
        m_log.e(L"%s: the completed purge is known in memory only: %s", kPurge, String::UTF8ToUTF16(problem));
    std::lock_guard<std::mutex> lock(m_markersMutex);
    m_markers.completed = now;
    m_markers.pending = true;
    m_pending = true;
    if (!problem.empty()) m_markers.problem = problem;
}

std::string DevicePathPurge::ResumeAfterPurge() {
    std::unique_lock<std::mutex> request(m_requestMutex, std::try_to_lock);
    if (!request.owns_lock() || IsTelemetryPurgeInProgress()) return "a purge is running";
    const Markers markers = CurrentMarkers();
    if (!markers.pending) return "no purge has completed: uploads are not blocked by a purge";
    if (markers.completed == 0) return "no purge has completed yet: a purge is pending (datasyncctl purge runs it)";
    // The pending marker last: should a removal fail, the block stays and the host can try again.
    for (const wchar_t* name : {kPurgeCompletedMarker, kPurgeDetectedMarker, kPurgePendingMarker}) {
        const std::wstring path = MarkerPath(m_parts.files, name);
        const std::string problem = path.empty() ? std::string() : m_parts.files.Remove(path);
        if (!problem.empty()) return problem;
    }
    {
        std::lock_guard<std::mutex> lock(m_markersMutex);
        m_markers = Markers();
        m_pending = false;
    }
    m_log.i(L"%s: the purge block is lifted; uploads resume", L"DataSyncAgent::ResumeAfterPurge");
    if (m_parts.blockLifted) m_parts.blockLifted();
    return std::string();
}

bool DevicePathPurge::PurgeCompleted() const {
    const Markers markers = CurrentMarkers();
    return markers.pending && markers.completed > 0;
}

DevicePathPurge::Report DevicePathPurge::PurgeTelemetryStoresForDevicePathRealmChange() {
    Report report;
    const auto cutoff = ReadDetectCutoff();
    report.cutoff = std::chrono::system_clock::to_time_t(cutoff);
    m_log.i(L"%s: starting full telemetry purge for device_path / realm change", kPurge);
    PurgeOneTelemetryRoot(utility::DB_PATH_INTERNAL, cutoff, report);
    {
        AsLogonUser user;
        if (!user.ok()) {
            m_log.e(L"%s: user-context (SharedDB) telemetry purge skipped; impersonation failed", kPurge);
            report.error = "shared telemetry purge: cannot act as the configured logged-on user (error " +
                           std::to_string(user.code()) +
                           ": unknown user, or the service may not switch identities); the purge stays pending";
        } else {
            PurgeOneTelemetryRoot(utility::DB_PATH_USER_SHARED, cutoff, report);
        }
    }
    report.ok = report.error.empty();
    if (report.ok) {
        RecordCompleted();
        m_log.i(L"%s: completed telemetry purge for device_path / realm change", kPurge);
    }
    m_lastReport.Publish(report);
    m_reported = true;
    return report;
}

void DevicePathPurge::PurgeOneTelemetryRoot(utility::EGetDBPathMethod root,
                                            const std::chrono::system_clock::time_point& cutoff, Report& report) {
    const std::wstring folder = m_parts.files.DbFolder(root);
    const std::wstring label = utility::DBPathMethodLabel(root);
    m_log.i(L"%s: purging telemetry root [%s] path=%s", kPurgeRoot, label, folder);
    if (folder.empty() || !m_parts.files.Exists(folder)) {
        m_log.d(L"%s: telemetry root [%s] does not exist path=%s", kPurgeRoot, label, folder);
        return;
    }
    m_parts.tables.CheckIntegrityOnNextOpen();
    ClearSyncPointRowsForTelemetryRoot(root, report);
    ClearDeviceContextForRealmChange(root, report);
    const auto messagingCutoff = m_parts.clock.WallNow() - std::chrono::hours(24) * kMessagingRetentionDays;

    const std::wregex datasetContexts(kDatasetContextPattern, std::regex::ECMAScript | std::regex::icase);
    const std::wregex itemEvents(kItemEventPattern, std::regex::ECMAScript | std::regex::icase);
    const std::wregex itemContexts(kItemContextPattern, std::regex::ECMAScript | std::regex::icase);
    std::string problem;
    for (const std::wstring& name : m_parts.files.ListFiles(folder, problem)) {
        try {
            if (IsProtected(name)) continue;
            const std::wstring path = folder + name;
            for (const auto& [pattern, kind] : {std::pair{&datasetContexts, L"DatasetContext"},
                                                std::pair{&itemEvents, L"ItemEvent"},
                                                std::pair{&itemContexts, L"ItemContext"}}) {
                std::wsmatch match;
                if (!std::regex_match(name, match, *pattern)) continue;
                if (String::CaseInsesitiveEqual(match[1].str(), kMessagingPluginDatasetId)) continue;
                PurgeDatasetDbByLogtimeCutoff(match[1].str(), path, cutoff, kind, root, report);
            }
        } catch (const std::exception& ex) {
            m_log.e(L"%s: purge skipped for one file under %s: %s", kPurgeRoot, folder, String::UTF8ToUTF16(ex.what()));
        }
    }
    if (!problem.empty()) m_log.e(L"%s: %s", kPurgeRoot, String::UTF8ToUTF16(problem));
    const std::int64_t trimmed =
        ApplyMessagingRetentionPolicy(m_parts.tables, m_parts.files, messagingCutoff, root, m_log);
    report.rowsDeleted += trimmed;
}

void DevicePathPurge::ClearSyncPointRowsForTelemetryRoot(utility::EGetDBPathMethod root, Report& report) {
    const std::wstring folder = m_parts.files.DbFolder(root);
    if (folder.empty()) return;
    // The bookmark files of every family, as the stores name them.
    for (const EndpointFamily& family : kEndpointFamilies) {
        const std::wstring path = folder + family.bookmarkFile;
        if (!m_parts.files.IsRegularFile(path)) continue;
        const std::int64_t cleared = m_parts.bookmarks.Clear({family.bookmarkFile, root, L"", L""});
        if (cleared < 0) {
            m_log.w(L"%s: DELETE SyncPoint failed path=%s root=%s", kPurgeRoot, path, utility::DBPathMethodLabel(root));
            continue;
        }
        report.bookmarksCleared += cleared;
        ++report.bookmarkFiles;
        m_log.i(L"%s: cleared SyncPoint rows [%s] path=%s", kPurgeRoot, std::wstring(family.bookmarkFile), path);
    }
}

void DevicePathPurge::ClearDeviceContextForRealmChange(utility::EGetDBPathMethod root, Report& report) {
    const std::wstring folder = m_parts.files.DbFolder(root);
    const std::wstring path = folder + kDeviceContextFileName;
    if (!m_parts.files.IsRegularFile(path)) {
        m_log.d(L"%s: no DeviceContext DB under %s (method=%d)", kPurgeRoot, folder, static_cast<int>(root));
        return;
    }
    const TableRef table{L"", DeviceContext::TypeName(), root};
    m_parts.tables.ReleaseAll(root);
    std::int64_t cleared = TryClearDeviceContextDb(table, L"first");
    if (cleared < 0) {
        m_parts.tables.ReleaseAll(root);
        cleared = TryClearDeviceContextDb(table, L"retry");
    }
    if (cleared >= 0) {
        report.deviceContextsCleared += cleared;
        m_log.i(L"%s: cleared DeviceContext rows path=%s (method=%d)", kPurgeRoot, path,
                static_cast<int>(root));
    } else {
        m_log.w(L"%s: failed to clear DeviceContext rows path=%s (method=%d)", kPurgeRoot, path,
                static_cast<int>(root));
    }
    m_parts.tables.Release(table);
}

std::int64_t DevicePathPurge::TryClearDeviceContextDb(const TableRef& table, const wchar_t* attempt) {
    const std::int64_t cleared = m_parts.tables.DeleteAllRows(table);
    if (cleared < 0)
        m_log.w(L"%s: (%s) DELETE FROM DeviceContext failed root=%s", kPurgeRoot, std::wstring(attempt),
                utility::DBPathMethodLabel(table.method));
    return cleared;
}

void DevicePathPurge::PurgeDatasetDbByLogtimeCutoff(const std::wstring& datasetId, const std::wstring& path,
                                                    const std::chrono::system_clock::time_point& cutoff,
                                                    const wchar_t* kind, utility::EGetDBPathMethod root,
                                                    Report& report) {
    if (!m_parts.files.IsRegularFile(path)) return;
    const TableRef table = TableInFile(datasetId, kind, root, path);
    m_parts.tables.Release(table);
    const std::int64_t deleted = m_parts.tables.DeleteDatedRows(table, cutoff, CutoffBound::UpToItsSecond);
    if (deleted >= 0) {
        ++report.files;
        report.rowsDeleted += deleted;
        m_log.i(L"%s: SQL-purged %s through device_path detect cutoff (local logtime) dataset=%s path=%s", kPurgeRoot,
                std::wstring(kind), datasetId, path);
        HoldUndatedRows(table, path, cutoff, report);
    } else {
        m_log.w(L"%s: SQL-purge failed for %s dataset=%s path=%s", kPurgeRoot, std::wstring(kind), datasetId, path);
    }
    m_parts.tables.Release(table);
}

void DevicePathPurge::HoldUndatedRows(const TableRef& table, const std::wstring& path,
                                      const std::chrono::system_clock::time_point& cutoff, Report& report) {
    const std::wstring& datasetId = table.datasetId;
    const std::wstring kind = BookmarkTypeName(table.typeName);
    const std::optional<UploadRestart> restart = m_parts.tables.FindUploadRestart(table, cutoff);
    if (!restart) {
        m_log.w(L"%s: cannot tell which rows of %s dataset=%s path=%s are left undated", kPurgeRoot,
                std::wstring(kind), datasetId, path);
        return;
    }
    if (restart->heldRows == 0) return;  // the cleared bookmarks start at the first row left
    for (const EndpointFamily& family : kEndpointFamilies) {
        if (!m_parts.bookmarks.Write({family.bookmarkFile, table.method, datasetId, kind}, restart->firstId))
            m_log.e(L"%s: cannot set the bookmark of %s dataset=%s in %s to %lld: its undated rows may be sent",
                    kPurgeRoot, std::wstring(kind), datasetId, std::wstring(family.bookmarkFile), restart->firstId);
    }
    report.undatedRowsHeld += restart->heldRows;
    m_log.i(L"%s: %lld rows of %s dataset=%s cannot be dated: kept, never sent (uploads start at row %lld)",
            kPurgeRoot, restart->heldRows, std::wstring(kind), datasetId, restart->firstId);
}

DevicePathPurge::Status DevicePathPurge::CurrentStatus() const {
    const Markers markers = CurrentMarkers();
    Status status;
    status.detectedUtc = markers.detected;
    status.problem = markers.problem;
    if (IsTelemetryPurgeInProgress())
        status.state = State::Purging;
    else if (markers.pending)
        status.state = markers.completed > 0 ? State::PurgedAwaitingResume : State::Pending;
    status.purged = m_reported;
    status.last = *m_lastReport.Read();
    return status;
}

}  // namespace DataSync
}  // namespace ZEL
