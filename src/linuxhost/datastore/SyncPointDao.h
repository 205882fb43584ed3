// Upload bookmarks ("SyncPoints"): for one endpoint family and database root, the id of the
// next telemetry row each (dataset id, record kind) pair has not yet had accepted.
//
// The bookmarks live in a small SQLite file of their own ("SyncPoint.sqlite3" for KTA,
// "Navs_SyncPoint.sqlite3" for NAVS, "navp_syncPoint.sqlite3" for NAVP) in the same root as
// the telemetry databases they describe, in the table
//   SyncPoint(id integer, type LONGVARCHAR, guid LONGVARCHAR, logtime LONGVARCHAR)
// holding at most one row per (guid, type). Every value reaches SQL as a bound parameter.
//
// Lifetime and threads: a SyncPointDao is made by one uploader call on its thread and dropped
// at the end of that call. It holds no lock; the database handle is the host cache's shared
// handle. A failed open leaves the handle empty and each later Get or Set tries once more,
// under the same root.
#pragma once

#include <cstdint>
#include <string>

#include "datasync/common/DbRoots.h"
#include "datasync/host/BookmarkStore.h"
#include "linuxhost/datastore/DataStore.h"
#include "datasync/host/Log.h"

namespace ZEL {
namespace linuxhost {

using DataSync::BookmarkRead;

// One bookmark, as handed to SyncPointDao::Set.
struct SyncPoint {
    std::wstring guid;  // dataset id; empty for the device-context database
    std::wstring type;  // record kind, "ItemEvent" or "class ItemEvent"
    std::int64_t id = 0;
};

class SyncPointDao {
public:
    // Method 1 opens under the root of method 1, every other method under the root of method 2.
    SyncPointDao(utility::EGetDBPathMethod method, const std::wstring& fileName);
    // Opens under the root of method 0.
    explicit SyncPointDao(const std::wstring& fileName);

    SyncPointDao(const SyncPointDao&) = delete;
    SyncPointDao& operator=(const SyncPointDao&) = delete;

    // Reads the bookmark id of (guid, type); false, with `id` untouched, when there is none.
    bool Get(std::int64_t& id, const std::wstring& guid, const std::wstring& type);
    // The same, telling a missing bookmark from a file or table that cannot be read.
    BookmarkRead Read(std::int64_t& id, const std::wstring& guid, const std::wstring& type);
    BookmarkRead Read(std::int64_t& id, std::string& logtime, const std::wstring& guid, const std::wstring& type);
    // Also reads the logtime text of the bookmark's last write (empty when null).
    bool Get(std::int64_t& id, std::string& logtime, const std::wstring& guid, const std::wstring& type);
    // Updates the bookmark of (guid, type), or inserts it when there is none.
    bool Set(const SyncPoint& record);
    // Deletes every bookmark of the file; how many, or -1 when the file cannot be changed.
    std::int64_t Clear();

    // The name a kind is kept under (DataSync::BookmarkTypeName).
    static std::wstring NormaliseType(const std::wstring& type) { return DataSync::BookmarkTypeName(type); }

private:
    enum class OpenLog { WithMethod, WithoutMethod };

    void OpenAtConstruction();
    bool Open();
    void UseWriteAheadLog();
    BookmarkRead ReadRow(std::int64_t& id, std::string* logtime, const std::wstring& guid, const std::wstring& type);

    std::wstring m_fileName;
    std::string m_tableName = "SyncPoint";
    DatabasePtr m_db;
    Log m_log;
    utility::EGetDBPathMethod m_root;
    OpenLog m_openLog;
};

}  // namespace linuxhost
}  // namespace ZEL
