// Owners of the SQLite C API's handles, for every piece of code that talks to SQLite directly
// (the store wrapper, the daemon's and datasyncctl's readers, the user agent, the test writers
// and the benchmarks): a connection closes with sqlite3_close_v2 (deferred while statements are
// alive), a statement finalizes. Also the opening and preparing they all do, each failure in
// words that name the file.
//
// Header-only so that programs linking nothing but SQLite can use it.
// Thread safety: the owners are plain unique_ptrs; a connection is as thread-safe as SQLite's
// threading mode makes it.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

namespace ZEL {
namespace linuxhost {

struct SqliteClose {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct SqliteFinalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using SqliteDatabase = std::unique_ptr<sqlite3, SqliteClose>;
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteFinalize>;

// A connection to `path` opened with `flags` (SQLITE_OPEN_READONLY, or READWRITE with or without
// CREATE), with a busy timeout of `busyTimeoutMs`. Empty when it cannot be opened; `error` then
// says so: "<path>: cannot be opened: <SQLite's message>".
inline SqliteDatabase OpenSqlite(const std::string& path, int flags, std::string& error,
                                 int busyTimeoutMs = 5000) {
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    SqliteDatabase db(raw);  // a failed open may still hand back a handle to close
    if (opened != SQLITE_OK) {
        error = path + ": cannot be opened: " + (db ? sqlite3_errmsg(db.get()) : "out of memory");
        return nullptr;
    }
    sqlite3_busy_timeout(db.get(), busyTimeoutMs);
    return db;
}

// An existing file opened read-only (never created).
inline SqliteDatabase OpenSqliteReadOnly(const std::string& path, std::string& error) {
    return OpenSqlite(path, SQLITE_OPEN_READONLY, error);
}

// `sql` prepared on `db`; empty when it cannot be (sqlite3_errmsg(db) says why).
inline SqliteStatement PrepareSqlite(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr) != SQLITE_OK) {
        sqlite3_finalize(raw);
        return nullptr;
    }
    return SqliteStatement(raw);
}

}  // namespace linuxhost
}  // namespace ZEL
