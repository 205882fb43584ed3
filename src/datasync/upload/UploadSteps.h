// Steps that the KTA/NAVS and the NAVP uploaders share: bookmark reads and writes, the restart
// point after an empty read, posting as the service, and the "is anything unsent" questions.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "datasync/host/Impersonation.h"
#include "datasync/host/Log.h"
#include "datasync/host/Utility.h"
#include "datasync/store/SyncPointDao.h"

namespace ZEL {
namespace DataSync {
namespace upload {

// The agent's log ("DataSync.log"), bound for one call.
class AgentLog : public Log {
public:
    AgentLog() { utility::InitLog(*this, L"DataSync.log", 4); }
};

// `base` and `suffix` joined with exactly one "/" ("https://h/kta" + "events-data" and
// "https://h/kta/" + "events-data" both give "https://h/kta/events-data").
std::wstring JoinUrl(const std::wstring& base, const std::wstring& suffix);

// Whether the status is a 2xx answer.
inline bool IsSuccessStatus(int status) { return status >= 200 && status <= 299; }

// The bookmark of (datasetId, typeName); when there is none, writes 0 and returns 0.
// `initFailedFormat` is the error line ("%s: ... %s": function, dataset id) for a failed write.
std::int64_t ReadOrInitBookmark(Log& log, const wchar_t* function, SyncPointDao& dao, const std::wstring& datasetId,
                                const std::wstring& typeName, const wchar_t* initFailedFormat);

// Where to read again after the read at the bookmark found nothing, or 0 when every row has been
// sent. The rows before the bookmark may have been deleted (restart at the first row), rows
// after a gap may wait further on (restart at the first row at or after the bookmark), or the
// table may have been recreated with every id below the bookmark (restart at its first row).
struct RecoveryQuery {
    const wchar_t* function;
    std::wstring datasetId;
    std::wstring typeName;  // "class ItemEvent"
    utility::EGetDBPathMethod method;
    std::int64_t syncId;  // the bookmark as stored
    std::int64_t startId;
    bool logNavpQueries;  // the NAVP uploader logs each id query before it is made
};
std::int64_t FindRecoveryStart(Log& log, const RecoveryQuery& query);

// Reads the batch at `cursor` with `read(cursor, records)` (true: no data); after an empty read,
// once more with `recoveryRead` at the recovery's restart point. False when there is nothing to
// send. Otherwise `startid` is where the read began and `cursor` the id of the last row read.
template <typename T, typename Read, typename RecoveryRead>
bool ReadBatchOrRecover(Log& log, const RecoveryQuery& q, std::int64_t& startid, std::int64_t& cursor,
                        std::list<T>& records, Read read, RecoveryRead recoveryRead) {
    if (!read(cursor, records)) return true;
    log.i(L"%s: GetEvents no data startid = %lld,type= %s,dataset_id = %s", q.function, startid, q.typeName,
          q.datasetId);
    const std::int64_t restart = FindRecoveryStart(log, q);
    if (restart == 0) return false;
    cursor = startid = restart;
    log.i(L"%s:Got recovery db record for guid(%s) firstid = %lld, syncId=%lld startid=%lld endid=%lld", q.function,
          q.datasetId, restart, q.syncId, startid, cursor);
    if (!recoveryRead(cursor, records)) return true;
    log.i(L"%s: GetEvents no data even after recovery startid = %lld,type= %s,dataset_id = %s", q.function, startid,
          q.typeName, q.datasetId);
    return false;
}

// Posts as the service: when the calling thread acts as the logged-on user, the user mode is
// left at construction ("Exit log on user mode") and re-entered only around bookmark writes.
class ServiceIdentity {
public:
    ServiceIdentity(Log& log, const wchar_t* function);
    ServiceIdentity(const ServiceIdentity&) = delete;
    ServiceIdentity& operator=(const ServiceIdentity&) = delete;

    // Writes the bookmark (as the user when the thread was one); logs `failureFormat` (function,
    // dataset id) when the write fails.
    bool SaveBookmark(SyncPointDao& dao, const SyncPoint& bookmark, const wchar_t* failureFormat);

private:
    Log& m_log;
    const wchar_t* m_function;
    bool m_userMode = false;
    ImpersonateUser m_user;
};

// The thread id as the agent's log lines show it.
unsigned long ThreadIdForLog();

// The table whose bookmarks one HaveUnsentRows question reads.
struct BookmarkedTable {
    const wchar_t* function;      // for the log lines
    std::wstring syncPointFile;   // opened under the root of `method` (1, else 2)
    std::wstring datasetId;
    int syncType;                 // a SyncTypes value; others are logged and answer false
};

// Whether rows at or after the bookmark exist (true when the last id cannot be read). A
// bookmark of 0, or none, means that the next row to send is row 1.
bool HaveUnsentRows(const BookmarkedTable& table, utility::EGetDBPathMethod method);

// HaveUnsentRows, and `frequency` seconds passed since the bookmark's last write, or without a
// usable bookmark since the newest row was logged. `logtime` receives the time text used.
bool HaveUnsentRowsDue(const BookmarkedTable& table, utility::EGetDBPathMethod method, std::uint32_t frequency,
                       std::string& logtime);

// Whether `frequency` seconds passed since the newest row of the table was logged.
bool IsFrequencyElapsedSinceNewestRow(const std::wstring& datasetId, const std::wstring& table,
                                      utility::EGetDBPathMethod method, std::uint32_t frequency,
                                      std::string& logtime);

}  // namespace upload
}  // namespace DataSync
}  // namespace ZEL
