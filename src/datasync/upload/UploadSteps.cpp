// The uploaders' shared steps. Log texts are the agent's; each line starts with the caller's
// function name.
#include "datasync/upload/UploadSteps.h"

#include <functional>
#include <thread>

#include "datasync/host/DataStore.h"
#include "datasync/store/StandardTableDao.h"
#include "datasync/common/SyncTypes.h"

namespace ZEL {
namespace DataSync {
namespace upload {
namespace {

utility::EGetDBPathMethod IdQueryRoot(utility::EGetDBPathMethod method) {
    return method == utility::DB_PATH_INTERNAL ? utility::DB_PATH_INTERNAL : utility::DB_PATH_USER_SHARED;
}

// Row ids go from 1: a bookmark of 0 (nothing sent yet) means the next row is row 1.
std::int64_t NextRowToSend(std::int64_t bookmark) { return bookmark < 1 ? 1 : bookmark; }

// Whether a table whose rows all lie below the last row sent (`bookmark` - 1) was created again,
// so that every row of it is new: it never used an id as large as that row. Rows deleted after
// they were sent leave the largest id used at or past it. True when the table cannot tell.
bool RecreatedBelowBookmark(const std::wstring& datasetId, const wchar_t* table, utility::EGetDBPathMethod method,
                            std::int64_t bookmark) {
    StandardTableDao dao(datasetId, std::wstring(L"class ") + table, method);
    const std::int64_t largest = dao.LargestIdEverUsed();
    return largest < 0 || largest < bookmark - 1;
}

// Whether rows wait: at or after the bookmark, or in a table created again below it.
bool RowsWait(const std::wstring& datasetId, const wchar_t* table, utility::EGetDBPathMethod method,
              std::int64_t bookmark, std::int64_t lastId) {
    if (lastId >= NextRowToSend(bookmark)) return true;
    return lastId >= 1 && lastId < bookmark - 1 && RecreatedBelowBookmark(datasetId, table, method, bookmark);
}

// The table behind the sync type, or nullptr (logged) for a type without one.
const wchar_t* TableOf(Log& log, const BookmarkedTable& t) {
    const wchar_t* table = TableNameOfSyncType(t.syncType);
    if (table == nullptr) log.e(L"%s: parse synctype error:%d", t.function, t.syncType);
    return table;
}

}  // namespace

std::wstring JoinUrl(const std::wstring& base, const std::wstring& suffix) {
    std::wstring url = base;
    while (!url.empty() && url.back() == L'/') url.pop_back();
    std::size_t from = 0;
    while (from < suffix.size() && suffix[from] == L'/') ++from;
    return url + L"/" + suffix.substr(from);
}

std::int64_t ReadOrInitBookmark(Log& log, const wchar_t* function, SyncPointDao& dao, const std::wstring& datasetId,
                                const std::wstring& typeName, const wchar_t* initFailedFormat) {
    std::int64_t syncId = 0;
    if (dao.Get(syncId, datasetId, typeName)) return syncId;
    log.i(L"%s: SyncPoint no data", function);
    if (dao.Set(SyncPoint{datasetId, typeName, 0}))
        log.i(L"%s: SyncPoint initialized: dataset_id - %s, type - %s", function, datasetId, typeName);
    else
        log.e(initFailedFormat, function, datasetId);
    return 0;
}

std::int64_t FindRecoveryStart(Log& log, const RecoveryQuery& q) {
    const wchar_t* fn = q.function;
    const std::wstring table = q.typeName.substr(6);
    EventDataLogging* store = EventDataLogging::GetInstance();

    if (q.logNavpQueries)
        log.i(L"%s: recovery GetFirstID navp_db_method=%d dataset_id=%s", fn, static_cast<int>(q.method), q.datasetId);
    const std::int64_t firstId = store->GetFirstID(q.datasetId, table, q.method);
    log.i(L"%s:Got recovery firstId for guid(%s) firstid = %lld, syncId=%lld startid=%lld endid=%lld", fn,
          q.datasetId, firstId, q.syncId, q.startId, q.startId);
    // The rows before the bookmark were deleted: go on with the oldest row left.
    if (firstId >= 1 && firstId >= q.syncId) return firstId;

    log.i(L"%s: firstId for guid(%s) firstid = %lld is less than syncId=%lld, Data was already synced  "
          L"(startid=%lld endid=%lld)",
          fn, q.datasetId, firstId, q.syncId, q.startId, q.startId);
    if (q.logNavpQueries)
        log.i(L"%s: recovery GetLastID navp_db_method=%d dataset_id=%s", fn, static_cast<int>(q.method), q.datasetId);
    const std::int64_t lastId = store->GetLastID(q.datasetId, table, q.method);
    log.i(L"%s:Got recovery lastId for guid(%s) lastid = %lld, syncId=%lld startid=%lld endid=%lld", fn, q.datasetId,
          lastId, q.syncId, q.startId, q.startId);
    if (lastId < 1 || q.syncId == lastId + 1) return 0;  // every row has been sent

    // Rows wait after a gap wider than one batch: the first of them is next.
    if (lastId >= q.syncId) {
        StandardTableDao dao(q.datasetId, q.typeName, q.method);
        const std::int64_t next = dao.FirstIdAtOrAfter(q.syncId);
        return next > 0 ? next : 0;
    }
    // Every id lies below the bookmark. The table remembers the largest id it ever used: one at
    // or past the last row sent means the newest rows were deleted and everything left was
    // sent; a smaller one means the table (or its file) was recreated, and all of it is new.
    StandardTableDao dao(q.datasetId, q.typeName, q.method);
    const std::int64_t largest = dao.LargestIdEverUsed();
    if (largest >= q.syncId - 1) {
        log.i(L"%s: rows up to %lld of guid(%s) were deleted after they were sent, nothing to resend", fn, largest,
              q.datasetId);
        return 0;
    }
    return firstId >= 1 ? firstId : 0;
}

ServiceIdentity::ServiceIdentity(Log& log, const wchar_t* function) : m_log(log), m_function(function) {
    if (System::check_admin_privilege()) return;
    m_userMode = true;
    m_log.i(L"%s: Exit log on user mode", m_function);
    m_user.ExitLogOnUserMode();
}

bool ServiceIdentity::SaveBookmark(SyncPointDao& dao, const SyncPoint& bookmark, const wchar_t* failureFormat) {
    if (m_userMode) m_user.EnterLogOnUserMode();
    const bool saved = dao.Set(bookmark);
    if (m_userMode) m_user.ExitLogOnUserMode();
    if (!saved) m_log.e(failureFormat, m_function, bookmark.guid);
    return saved;
}

unsigned long ThreadIdForLog() {
    return static_cast<unsigned long>(std::hash<std::thread::id>()(std::this_thread::get_id()) & 0xffffffffu);
}

bool HaveUnsentRows(const BookmarkedTable& t, utility::EGetDBPathMethod method) {
    AgentLog log;
    const wchar_t* table = TableOf(log, t);
    if (table == nullptr) return false;
    SyncPointDao dao(method, t.syncPointFile);
    std::int64_t bookmark = 0;
    if (!dao.Get(bookmark, t.datasetId, table)) log.i(L"%s: %s,no SyncPoint data", t.function, t.datasetId);
    const std::int64_t lastId = EventDataLogging::GetInstance()->GetLastID(t.datasetId, table, IdQueryRoot(method));
    return lastId < 0 || RowsWait(t.datasetId, table, IdQueryRoot(method), bookmark, lastId);
}

bool HaveUnsentRowsDue(const BookmarkedTable& t, utility::EGetDBPathMethod method, std::uint32_t frequency,
                       std::string& logtime) {
    AgentLog log;
    const wchar_t* table = TableOf(log, t);
    if (table == nullptr) return false;
    SyncPointDao dao(method, t.syncPointFile);
    std::int64_t bookmark = 0;
    if (!dao.Get(bookmark, logtime, t.datasetId, table)) {
        log.i(L"%s: %s,no SyncPoint data", t.function, t.datasetId);
        return IsFrequencyElapsedSinceNewestRow(t.datasetId, table, IdQueryRoot(method), frequency, logtime);
    }
    const std::int64_t lastId = EventDataLogging::GetInstance()->GetLastID(t.datasetId, table, IdQueryRoot(method));
    if (lastId < 0 || !RowsWait(t.datasetId, table, IdQueryRoot(method), bookmark, lastId)) return false;
    if (bookmark != 0) {
        return DateTimeUtility::GetCurrentGmtDatetime() >=
               DateTimeUtility::GetGmtTimeStamp(logtime) + static_cast<std::int64_t>(frequency);
    }
    log.i(L"%s: %s,data present but none synced so far", t.function, t.datasetId);
    return IsFrequencyElapsedSinceNewestRow(t.datasetId, table, IdQueryRoot(method), frequency, logtime);
}

bool IsFrequencyElapsedSinceNewestRow(const std::wstring& datasetId, const std::wstring& table,
                                      utility::EGetDBPathMethod method, std::uint32_t frequency,
                                      std::string& logtime) {
    const std::string newest = EventDataLogging::GetInstance()->GetLastLogtime(datasetId, table, method);
    if (newest.empty()) return false;
    logtime = newest;
    return DateTimeUtility::GetCurrentGmtDatetime() >=
           DateTimeUtility::GetGmtTimeStamp(logtime) + static_cast<std::int64_t>(frequency);
}

}  // namespace upload
}  // namespace DataSync
}  // namespace ZEL
