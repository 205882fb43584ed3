// The host's data-store services: the telemetry database handle (ZEL::Database), the cache
// that shares one handle per database file (ZEL::DatabaseManager), and the data-store service
// (ZEL::EventDataLogging) through which the agent opens databases and asks for row-id bounds
// and the newest device context.
//
// File naming: ToDbFile(id, kind) = id + "_" + kind + ".sqlite3", or kind + ".sqlite3" for an
// empty id. Every telemetry table has the layout
//   id integer primary key autoincrement, log_index LONGVARCHAR, data TEXT NOT NULL, logtime date
// and `data` holds one record as the JSON object written by ZEL::JsonSerialize.
//
// Singletons: GetInstance() returns the installed instance, or the host's SQLite-backed default
// when none is installed. SetInstance(nullptr) restores the default. Tests install doubles.
// Thread safety: every operation may be called from any thread; handles are shared.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "datasync/common/DbRoots.h"
#include "datasync/store/Records.h"
#include "linuxhost/datastore/BookmarkMemo.h"
#include "linuxhost/datastore/SQLiteWrapper.h"

namespace ZEL {

// One open database file. Also usable as the wrapper's connection (CppSQLite3DB).
class Database : public CppSQLite3DB {
public:
    explicit Database(std::wstring path) : m_path(std::move(path)) {}

    const std::wstring& path() const { return m_path; }
    // CREATE TABLE `createStatement` unless a table named `tableName` exists already (UTF-8).
    // False on failure (logged by the host).
    bool CreateTable(const std::string& tableName, const std::string& createStatement);
    // Runs one statement; false on failure (logged by the host with the file name).
    bool ExecSql(const std::wstring& sql);

    // The set-up a store has done on this handle (a table created, the journal chosen), by name:
    // the host shares one handle per file, so each set-up runs once per handle, and runs again
    // on the next use when it failed (it is marked only once it succeeded). Any thread.
    bool IsPrepared(const std::string& setUp) const;
    void MarkPrepared(const std::string& setUp);
    // Serialises a store's read-then-write sequences on this handle (any thread).
    std::mutex& WriteMutex() { return m_writeMutex; }
    // The bookmarks written through this handle (SyncPoint files only; see BookmarkMemo.h).
    linuxhost::BookmarkMemo& Bookmarks() { return m_bookmarks; }

private:
    std::wstring m_path;
    mutable std::mutex m_preparedMutex;
    std::set<std::string> m_prepared;  // guarded by m_preparedMutex
    std::mutex m_writeMutex;
    linuxhost::BookmarkMemo m_bookmarks;
};

using DatabasePtr = std::shared_ptr<Database>;

class DatabaseManager {
public:
    virtual ~DatabaseManager() = default;
    static DatabaseManager* GetInstance();
    static void SetInstance(DatabaseManager* instance);

    // The cached handle of `path` (made absolute), opened on first use with a busy timeout of
    // 5 s. `create` false never creates a missing file: an empty handle then. `reader` true
    // falls back to a read-only connection when the file cannot be opened for writing.
    virtual DatabasePtr Get(const std::wstring& path, bool create, bool reader) = 0;
    // Drops the cache's handle of one file / of every file under `folder`; the connection
    // closes as soon as no caller holds it any more.
    virtual void CloseCachedDatabaseAtPath(const std::wstring& path) = 0;
    virtual void CloseCachedDatabasesUnderPath(const std::wstring& folder) = 0;
    // The next open of each file cached now runs PRAGMA quick_check and logs a failure.
    virtual void MarkIntegrityCheckAll() = 0;
    // The cached files whose connection cannot write (for the status).
    virtual std::vector<std::wstring> ReadOnlyDatabases() { return {}; }
    // Drops the handles nobody holds and nobody took since the previous call (at the first call:
    // since the cache began); they close after the cache's lock is released.
    virtual void CloseHandlesUnusedSinceLastCall() {}
};

class EventDataLogging {
public:
    virtual ~EventDataLogging() = default;
    static EventDataLogging* GetInstance();
    static void SetInstance(EventDataLogging* instance);

    // A shared handle to the open database, or empty when it cannot be opened. Writers pass
    // (true, false), readers (false, true).
    virtual DatabasePtr GetDatabase(const std::wstring& path, bool create, bool reader) = 0;
    // MIN / MAX of `id` of table `table` in the file of (datasetId, table) under `method`'s
    // root: 0 when the table has no rows, -1 when the file cannot be opened or queried.
    virtual std::int64_t GetFirstID(const std::wstring& datasetId, const std::wstring& table,
                                    utility::EGetDBPathMethod method) = 0;
    virtual std::int64_t GetLastID(const std::wstring& datasetId, const std::wstring& table,
                                   utility::EGetDBPathMethod method) = 0;
    // The logtime of the row with the largest id (UTF-8); empty when there is none.
    virtual std::string GetLastLogtime(const std::wstring& datasetId, const std::wstring& table,
                                       utility::EGetDBPathMethod method) = 0;
    // The newest row of DeviceContext.sqlite3 in the service folder, decoded: 0 on success,
    // 1 when there is none or it cannot be decoded. `flag` tells the caller (1 KTA/NAVS, 0 NAVP).
    virtual int GetLastDeviceContext(DeviceContext* deviceContext, int flag) = 0;
    virtual std::wstring ToDbFile(const std::wstring& datasetId, const std::wstring& kind) = 0;
    // The file name's text before its last '_' (path folders removed); empty when none.
    virtual std::wstring GetDatasetId(const std::wstring& nameOrPath) = 0;
    virtual bool UpdateItemDataEncryted(std::int64_t firstId, std::int64_t lastId, int method) = 0;
    virtual void mark_integrity_check_all() = 0;
};

}  // namespace ZEL
