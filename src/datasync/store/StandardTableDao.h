// Access to one telemetry table: reading rows by id range for upload, duplicating the newest
// row so that it is sent again, and deleting rows older than a cutoff.
//
// File: GetDBPath(method) + [datasetId + "_"] + table + ".sqlite3", where the table name is the
// record kind's type name without its "class " prefix ("class ItemEvent" -> "ItemEvent"). The
// table is created on every open when missing:
//   id integer primary key autoincrement, log_index LONGVARCHAR, data TEXT NOT NULL, logtime date
//
// Reading: GetList decodes each row's `data` with JsonSerialize::DeSerialize, GetListForSync
// with DeSerializeForSync. A row that cannot be decoded is logged and left out, and the read
// goes on; the returned last id still covers it, so a bookmark moved past the batch moves past
// the bad row too instead of stopping at it for ever.
//
// Lifetime and threads: a StandardTableDao lives for one call on the calling thread. The files
// are written concurrently by other processes; consistency rests on SQLite.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "datasync/common/DbRoots.h"
#include "datasync/host/DataStore.h"
#include "datasync/host/Log.h"
#include "datasync/store/Records.h"
#include "datasync/store/TelemetryTables.h"

namespace ZEL {
namespace DataSync {

class StandardTableDao {
public:
    // Computes table name and path; opens nothing. A kind text shorter than six characters
    // throws std::out_of_range.
    StandardTableDao(const std::wstring& datasetId, const std::wstring& kindTypeName,
                     utility::EGetDBPathMethod method);

    StandardTableDao(const StandardTableDao&) = delete;
    StandardTableDao& operator=(const StandardTableDao&) = delete;

    // Runs `select` (columns: id, data) and appends one record per decodable row, its row id
    // set. Returns the id of the last row selected, or -1 when there was none or the read
    // failed. GetList exists for DatasetContext, DeviceContext and ItemEvent; GetListForSync
    // also for ItemContext.
    template <typename T>
    std::int64_t GetList(std::list<T>& records, const std::string& select);
    template <typename T>
    std::int64_t GetListForSync(std::list<T>& records, const std::string& select);
    // The same for the rows with ids in [firstId, endId), in id order, telling a table without
    // such rows from one that cannot be read.
    template <typename T>
    TableRead GetRange(std::list<T>& records, std::int64_t firstId, std::int64_t endId, bool forSync);

    // The smallest row id at or after `id`; 0 when there is none, -1 when the read failed.
    std::int64_t FirstIdAtOrAfter(std::int64_t id);
    // The largest row id the table has ever used (SQLite keeps it for autoincrement tables,
    // deleted rows included); 0 when the table never had a row, -1 when the read failed.
    std::int64_t LargestIdEverUsed();

    // Appends a copy of the newest row (same log_index, data, logtime; a new, larger id).
    // False when the table is empty or the write failed.
    bool DuplicateLastExact();
    // Deletes the rows logged before `cutoff` (see DeleteRowsByCutoff); `deleted` receives how
    // many. False when the file cannot be opened or a delete failed. `stop`, when given, is asked
    // before each delete step; once it answers true the rest is left for a later run.
    bool Del(const std::chrono::system_clock::time_point& cutoff, std::int64_t* deleted = nullptr,
             const std::function<bool()>& stop = nullptr);

    const std::wstring& TableName() const { return m_tableName; }
    const std::wstring& DbPath() const { return m_dbPath; }

private:
    enum class Decoder { DeSerialize, DeSerializeForSync };

    DatabasePtr Open(bool create, bool reader);
    // A select and the values of its `?` parameters.
    struct RowQuery {
        std::string sql;
        std::vector<long long> parameters;
    };
    template <typename T>
    TableRead ReadRows(std::list<T>& records, const RowQuery& select, Decoder decoder);

    std::wstring m_tableName;
    std::wstring m_dbPath;
    Log m_log;
};

// The end of [startId, startId + count), clamped so that a start near the largest id cannot
// overflow.
std::int64_t RangeEnd(std::int64_t startId, int count);

// Deletes from `table` of `db` the rows logged before `cutoff` (`inclusive`: at or before its
// second; QueryBuilderUtility::BuildCutoffCondition) in steps of a bounded id window, so that no
// statement holds the write lock for long and writers in other processes never stall behind a
// large delete; the rows deleted are exactly those one statement would delete. Returns how many,
// or -1 when a step failed (the steps before it stay done). `table` must be a plain identifier.
// `stop`, when given, is asked before each step: once it answers true no further step runs and
// the rows deleted so far are returned.
std::int64_t DeleteRowsByCutoff(Database& db, const std::string& table,
                                const std::chrono::system_clock::time_point& cutoff, bool inclusive,
                                const std::function<bool()>& stop = nullptr);

// Reads the rows with ids in [startId, startId + count), decoded for the KTA/NAVS uploaders
// (DeSerializeForSync). Returns true for "no data" (nothing selected, or the read failed); on
// success startId holds the id of the last row read. `dataStore` is not used.
template <typename T>
bool GetEvents(EventDataLogging* dataStore, const std::wstring& datasetId, std::int64_t& startId, int count,
               std::list<T>& records, utility::EGetDBPathMethod method);

namespace navp {
// The same read for the NAVP uploader, decoded with DeSerialize (no ItemContext).
template <typename T>
bool GetEvents(EventDataLogging* dataStore, const std::wstring& datasetId, std::int64_t& startId, int count,
               std::list<T>& records, utility::EGetDBPathMethod method);
}  // namespace navp

}  // namespace DataSync
}  // namespace ZEL
