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
#include <optional>
#include <string>
#include <vector>

#include "datasync/common/DbRoots.h"
#include "linuxhost/datastore/DataStore.h"
#include "datasync/host/Log.h"
#include "datasync/store/Records.h"
#include "datasync/host/TelemetryTables.h"
#include "datasync/host/Folders.h"

namespace ZEL {
namespace linuxhost {

using DataSync::CutoffBound;
using DataSync::ReadStatus;
using DataSync::TableRead;

class StandardTableDao {
public:
    // Computes table name and path; opens nothing. A kind text shorter than six characters
    // throws std::out_of_range.
    StandardTableDao(const std::wstring& datasetId, const std::wstring& kindTypeName,
                     utility::EGetDBPathMethod method);
    // The same for a table reference; its `file`, when set, names the file in the root.
    explicit StandardTableDao(const DataSync::TableRef& table);

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
    // Deletes the rows `bound` takes of `cutoff` (see DeleteRowsByCutoff): how many, or -1 when
    // the file cannot be opened or a step failed. `stop`, when given, is asked before each step;
    // once it answers true the rest is left for a later run.
    std::int64_t DeleteDatedRows(const std::chrono::system_clock::time_point& cutoff, CutoffBound bound,
                                 const std::function<bool()>& stop = nullptr);
    // Deletes every row: how many, or -1.
    std::int64_t DeleteAllRows();
    // The logtime text of the row with the largest id; empty when there is none.
    std::string NewestLogtime();
    // See TelemetryTables::FindUploadRestart.
    std::optional<DataSync::UploadRestart> FindUploadRestart(const std::chrono::system_clock::time_point& cutoff);

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


}  // namespace linuxhost
}  // namespace ZEL
