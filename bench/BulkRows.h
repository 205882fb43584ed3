// Bulk-filling an item-event table for the benchmarks: the agent's telemetry layout, WAL mode,
// every row in one transaction through one prepared insert, so that a million rows take seconds.
// The contents (each row's `data` and `logtime`) come from the caller.
//
// Thread safety: one call per file at a time. The connection is closed before it returns.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "linuxhost/datastore/SqliteHandles.h"

namespace bench {

// Appends rows 1..`rows` to table ItemEvent of `path` (creating both), row n holding data(n) and
// logtime(n), and checkpoints the WAL into the file.
inline void FillItemEvents(const std::string& path, std::int64_t rows,
                           const std::function<std::string(std::int64_t)>& data,
                           const std::function<std::string(std::int64_t)>& logtime) {
    std::string error;
    const ZEL::linuxhost::SqliteDatabase db =
        ZEL::linuxhost::OpenSqlite(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error);
    sqlite3_exec(db.get(),
                 "PRAGMA journal_mode=WAL; CREATE TABLE IF NOT EXISTS ItemEvent(id integer primary key "
                 "autoincrement, log_index LONGVARCHAR, data TEXT NOT NULL,logtime date); BEGIN",
                 nullptr, nullptr, nullptr);
    const ZEL::linuxhost::SqliteStatement insert = ZEL::linuxhost::PrepareSqlite(
        db.get(), "INSERT INTO ItemEvent(log_index, data, logtime) VALUES('0', ?, ?)");
    for (std::int64_t n = 1; n <= rows; ++n) {
        const std::string rowData = data(n), rowLogtime = logtime(n);
        sqlite3_bind_text(insert.get(), 1, rowData.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert.get(), 2, rowLogtime.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(insert.get());
        sqlite3_reset(insert.get());
    }
    sqlite3_exec(db.get(), "COMMIT; PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
}

}  // namespace bench
