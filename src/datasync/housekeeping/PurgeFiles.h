// The file-level steps of the device-path purge and of the messaging retention: finding a
// database file, deleting its rows up to a cutoff, and leaving it consistent for other
// processes.
//
// No step ever deletes a "-wal" or "-shm" file: a writer in another process may have the database
// open, and its committed rows may still be in the WAL. After a change the WAL is checkpointed
// into the database instead, before the cached handle is let go.
//
// Thread safety: free functions; each works through the host's database cache.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "datasync/host/Log.h"

namespace ZEL {

// Telemetry database file names (whole name, ignoring case); the group is the dataset id.
inline constexpr const wchar_t* kDatasetContextPattern = L"([0-9A-Fa-f\\-]{36})_DatasetContext\\.sqlite3$";
inline constexpr const wchar_t* kItemEventPattern = L"([0-9A-Fa-f\\-]{36})_ItemEvent\\.sqlite3$";
inline constexpr const wchar_t* kItemContextPattern = L"([0-9A-Fa-f\\-]{36})_ItemContext\\.sqlite3$";

bool IsExistingRegularFile(const std::wstring& path);
// Drops the database cache's handle of `path` (its absolute form).
void CloseCachedDbAtPath(const std::wstring& path);
// Checkpoints the WAL of `path` into the database (PRAGMA wal_checkpoint(TRUNCATE)), then drops
// the cached handle. `label` names the step in the log line.
void CheckpointAndCloseCachedDb(const std::wstring& path, const std::wstring& label, Log& log);
// "DELETE FROM <kind> WHERE <logtime form> AND substr(logtime, 1, 19) <= '<cutoff, local time>'":
// the rows logged at or before the cutoff's second. Empty for an empty table name or a zero cutoff.
std::string BuildLogtimeCutoffDeleteSql(const std::wstring& kind, const std::chrono::system_clock::time_point& cutoff);
// Deletes the rows of table `kind` in the file `path` that BuildLogtimeCutoffDeleteSql names, in
// bounded steps. Returns how many, or -1 when the file cannot be opened or a step failed.
std::int64_t ExecSqlOnDbFile(const std::wstring& path, const std::wstring& kind,
                             const std::chrono::system_clock::time_point& cutoff);

// Where uploads of table `kind` in `path` may start again after its rows up to `cutoff` were
// deleted: the first row dated after the cutoff, or past the last row when none is. `heldRows`
// counts the rows left below it, which cannot be dated. Nothing when the table has no rows or
// cannot be read.
struct UploadRestart {
    std::int64_t firstId = 0;
    std::int64_t heldRows = 0;
};
std::optional<UploadRestart> FindUploadRestart(const std::wstring& path, const std::wstring& kind,
                                               const std::chrono::system_clock::time_point& cutoff);

}  // namespace ZEL
