// The uploaders' shared steps. Log texts are the agent's; each line starts with the caller's
// function name.
#include "datasync/upload/UploadSteps.h"

#include "datasync/common/SyncTypes.h"
#include "datasync/common/TimeText.h"
#include "datasync/host/DataStore.h"
#include "datasync/store/StandardTableDao.h"
#include "datasync/store/SyncPointDao.h"
#include "datasync/upload/AgentLog.h"

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
