// The uploaders' shared steps. Log texts are the agent's; each line starts with the caller's
// function name.
#include "datasync/upload/UploadSteps.h"

#include "datasync/common/SyncTypes.h"
#include "datasync/common/TimeText.h"
#include "datasync/common/StringUtil.h"
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
bool RecreatedBelowBookmark(TelemetryTables& tables, const TableRef& table, std::int64_t bookmark) {
    const std::int64_t largest = tables.LargestIdEverUsed(table);
    return largest < 0 || largest < bookmark - 1;
}

// Whether rows wait: at or after the bookmark, or in a table created again below it.
bool RowsWait(TelemetryTables& tables, const TableRef& table, std::int64_t bookmark, std::int64_t lastId) {
    if (lastId >= NextRowToSend(bookmark)) return true;
    return lastId >= 1 && lastId < bookmark - 1 && RecreatedBelowBookmark(tables, table, bookmark);
}

// The bookmark of `t`'s table under `method`'s root; 0 when there is none (logged).
std::int64_t BookmarkOf(Log& log, const UploadServices& stores, const BookmarkedTable& t, const wchar_t* table,
                        utility::EGetDBPathMethod method, std::string* logtime, bool& found) {
    std::int64_t bookmark = 0;
    const BookmarkKey key{t.syncPointFile, IdQueryRoot(method), t.datasetId, table};
    found = stores.bookmarks->Read(key, bookmark, logtime) == BookmarkRead::Found;
    if (!found) {
        bookmark = 0;
        log.i(L"%s: %s,no SyncPoint data", t.function, t.datasetId);
    }
    return bookmark;
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

bool HaveUnsentRows(const UploadServices& stores, const BookmarkedTable& t, utility::EGetDBPathMethod method) {
    AgentLog log;
    const wchar_t* table = TableOf(log, t);
    if (table == nullptr) return false;
    bool found = false;
    const std::int64_t bookmark = BookmarkOf(log, stores, t, table, method, nullptr, found);
    const TableRef ref{t.datasetId, std::wstring(L"class ") + table, IdQueryRoot(method)};
    const std::int64_t lastId = stores.tables->LastId(ref);
    return lastId < 0 || RowsWait(*stores.tables, ref, bookmark, lastId);
}

bool HaveUnsentRowsDue(const UploadServices& stores, const BookmarkedTable& t, utility::EGetDBPathMethod method,
                       std::uint32_t frequency, std::string& logtime) {
    AgentLog log;
    const wchar_t* table = TableOf(log, t);
    if (table == nullptr) return false;
    bool found = false;
    const std::int64_t bookmark = BookmarkOf(log, stores, t, table, method, &logtime, found);
    if (!found)
        return IsFrequencyElapsedSinceNewestRow(*stores.tables, t.datasetId, table, IdQueryRoot(method), frequency,
                                                logtime);
    const TableRef ref{t.datasetId, std::wstring(L"class ") + table, IdQueryRoot(method)};
    const std::int64_t lastId = stores.tables->LastId(ref);
    if (lastId < 0 || !RowsWait(*stores.tables, ref, bookmark, lastId)) return false;
    if (bookmark != 0) {
        return DateTimeUtility::GetCurrentGmtDatetime() >=
               DateTimeUtility::GetGmtTimeStamp(logtime) + static_cast<std::int64_t>(frequency);
    }
    log.i(L"%s: %s,data present but none synced so far", t.function, t.datasetId);
    return IsFrequencyElapsedSinceNewestRow(*stores.tables, t.datasetId, table, IdQueryRoot(method), frequency,
                                            logtime);
}

bool IsFrequencyElapsedSinceNewestRow(TelemetryTables& tables, const std::wstring& datasetId,
                                      const std::wstring& table, utility::EGetDBPathMethod method,
                                      std::uint32_t frequency, std::string& logtime) {
    const std::string newest = tables.NewestLogtime({datasetId, L"class " + table, method});
    if (newest.empty()) return false;
    logtime = newest;
    return DateTimeUtility::GetCurrentGmtDatetime() >=
           DateTimeUtility::GetGmtTimeStamp(logtime) + static_cast<std::int64_t>(frequency);
}

}  // namespace upload
}  // namespace DataSync
}  // namespace ZEL
