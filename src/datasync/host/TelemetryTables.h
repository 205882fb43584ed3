// TelemetryTables: everything the module asks of the telemetry tables, and nothing else. The
// host answers from its SQLite files (linuxhost/datastore/SqliteTelemetryTables.h); tests answer
// from memory or wrap the host's to make a call fail.
//
// A table is named by its dataset id (empty for the device context), its record kind's type name
// ("class ItemEvent") and the root of its file; `file` names the file when a caller found it in a
// folder walk (otherwise the file is TelemetryFileName(datasetId, kind) in the root). Every table
// has the layout
//   id integer primary key autoincrement, log_index LONGVARCHAR, data TEXT NOT NULL, logtime date
// where `data` is one record as the record codec writes it and `logtime` a local time text
// "%Y-%m-%dT%H:%M:%S..." (other texts, or none, cannot be dated).
//
// Results: -1 (or ReadStatus::Failed) always means "could not be read or written"; a table whose
// file does not exist holds no rows.
//
// Thread safety: every operation may be called from any thread at once; other processes write the
// same files at the same time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <string>

#include "datasync/store/Records.h"
#include "datasync/common/DbRoots.h"

namespace ZEL {
namespace DataSync {

struct TableRef {
    std::wstring datasetId;
    std::wstring typeName;  // "class ItemEvent"
    utility::EGetDBPathMethod method;
    std::wstring file = {};  // the file's name in the root, when known; empty: the kind's file
};

// How a read of rows went: rows were selected (some may not have decoded), none were, or the
// table could not be read (the rows read before the failure are not to be used).
enum class ReadStatus { Rows, NoRows, Failed };
struct TableRead {
    ReadStatus status = ReadStatus::NoRows;
    std::int64_t lastId = -1;  // the id of the last row selected, decodable or not (Rows only)
};

// Which rows a cutoff takes: those logged before its second, or also those of its second.
enum class CutoffBound { Before, UpToItsSecond };

// Where uploads of a table may start again after its rows up to a cutoff were deleted: the first
// row dated after the cutoff, or past the last row when none is. `heldRows` counts the rows left
// below it, which cannot be dated.
struct UploadRestart {
    std::int64_t firstId = 0;
    std::int64_t heldRows = 0;
};

class TelemetryTables {
public:
    virtual ~TelemetryTables() = default;

    // Appends the decodable rows with ids in [from, from + count), in id order, their row ids set.
    // A row that cannot be decoded is logged and left out; lastId still covers it.
    virtual TableRead Read(const TableRef& table, std::int64_t from, int count,
                           std::list<ItemEvent>& rows) = 0;
    virtual TableRead Read(const TableRef& table, std::int64_t from, int count,
                           std::list<DatasetContext>& rows) = 0;
    virtual TableRead Read(const TableRef& table, std::int64_t from, int count,
                           std::list<ItemContext>& rows) = 0;
    virtual TableRead Read(const TableRef& table, std::int64_t from, int count,
                           std::list<DeviceContext>& rows) = 0;

    // The smallest / largest row id: 0 for an empty table, -1 when it cannot be read.
    virtual std::int64_t FirstId(const TableRef& table) = 0;
    virtual std::int64_t LastId(const TableRef& table) = 0;
    // The smallest row id at or after `id`: 0 when there is none, -1 when the read failed.
    virtual std::int64_t FirstIdAtOrAfter(const TableRef& table, std::int64_t id) = 0;
    // The largest id the table ever used (deleted rows included): 0 when it never had a row, -1
    // when the read failed.
    virtual std::int64_t LargestIdEverUsed(const TableRef& table) = 0;
    // The logtime text of the row with the largest id; empty when there is none.
    virtual std::string NewestLogtime(const TableRef& table) = 0;

    // The newest device context of the service folder; false when there is none or it cannot be
    // decoded.
    virtual bool NewestDeviceContext(DeviceContext& context) = 0;
    // Tells the data store that the encrypted item rows [firstId, lastId] were handled.
    virtual void MarkEncryptedItemsHandled(std::int64_t firstId, std::int64_t lastId) = 0;

    // Appends a copy of the newest row (same log_index, data and logtime, a new larger id), so
    // that it is sent again. False when the table is empty or the write failed.
    virtual bool DuplicateNewest(const TableRef& table) = 0;
    // Deletes the rows dated by `bound` of `cutoff`, in steps of a bounded id window, so that no
    // statement holds the file's write lock for long; undated rows are never taken. `stop`, when
    // given, is asked before each step: once it answers true the rest is left. How many rows went,
    // or -1 when the file cannot be opened or a step failed (the steps before it stay done).
    virtual std::int64_t DeleteDatedRows(const TableRef& table,
                                         const std::chrono::system_clock::time_point& cutoff,
                                         CutoffBound bound, const std::function<bool()>& stop = nullptr) = 0;
    // Deletes every row; how many, or -1.
    virtual std::int64_t DeleteAllRows(const TableRef& table) = 0;
    // After DeleteDatedRows(table, cutoff, UpToItsSecond): where uploads may start again. Nothing
    // when the table has no rows or cannot be read.
    virtual std::optional<UploadRestart> FindUploadRestart(
        const TableRef& table, const std::chrono::system_clock::time_point& cutoff) = 0;

    // Leaves the file consistent for other processes and lets it go: what its write-ahead log
    // holds goes into the database, and a cached handle is closed (never deletes a "-wal" file).
    virtual void Release(const TableRef& table) = 0;
    // Closes every cached handle of a file under `root`'s folder.
    virtual void ReleaseAll(utility::EGetDBPathMethod root) = 0;
    // Closes the cached handles of the store files (telemetry and bookmarks) that no call used
    // since the previous call. Called once a timer pass: a file drained one batch a pass keeps
    // its handle, and an agent with nothing to send holds no file open.
    virtual void CloseIdleHandles() {}
    // The next open of each file checks its integrity (and logs a failure).
    virtual void CheckIntegrityOnNextOpen() = 0;
};

}  // namespace DataSync
}  // namespace ZEL
