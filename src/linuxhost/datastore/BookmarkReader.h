// Reads the agent's upload bookmarks and the telemetry rows still to send, for the programs that
// look at the agent's files from outside it: datasyncd (metrics, the status's waiting rows) and
// datasyncctl (the demo's report).
//
// Each family keeps its bookmarks in a SyncPoint file in the folder of the telemetry databases
// it reads ("SyncPoint.sqlite3" for KTA, "Navs_SyncPoint.sqlite3" for NAVS,
// "navp_syncPoint.sqlite3" for NAVP: the family table, EndpointFamilies.h), in the table
//   SyncPoint(id integer, type LONGVARCHAR, guid LONGVARCHAR, logtime LONGVARCHAR)
// with one row per (guid = dataset id, type = record kind); `id` is the next row id the family's
// uploads start from. The queries are the stores' own (BookmarkTable.h):
//   select id from SyncPoint where guid=? and type=?        (one bookmark)
//   select guid, type, id from SyncPoint                    (all of a file)
// and the rows still to send are  SELECT COUNT(*) FROM "<kind>" WHERE id >= <bookmark>.
//
// Every file is opened read-only, never created, with a busy timeout, and closed again before
// the call returns, with the calling thread's file-system identity. (A read-only connection to
// a WAL database still opens or creates its -shm and -wal files when the folder lets it, so the
// caller acts as the files' owner where the agent would.) Errors name the file.
//
// Thread safety: free functions over files; call them from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "linuxhost/datastore/SqliteHandles.h"

namespace ZEL {
namespace linuxhost {

struct Bookmark {
    enum class State { Found, NoFile, NoRow, Unreadable };
    State state = State::NoFile;
    std::int64_t id = 0;
    std::string error;  // for Unreadable: what failed, naming the file

    // "42", "no file", "no row" or "unreadable".
    std::string Text() const;
};

// The SyncPoint file name of each family, by lower-case family name ("kta", "navs", "navp").
std::map<std::string, std::string> BookmarkFilesByFamily();

// The SyncPoint file of `family` ("kta", "navs", "navp"); KTA's for any other name.
std::string SyncPointFileOf(const std::string& family);

// The bookmark row (`guid`, `type`) of the SyncPoint file `path`.
Bookmark ReadBookmark(const std::string& path, const std::string& guid, const std::string& type);

// Every bookmark of the SyncPoint file `path`, by (guid, type). None when the file or its table
// does not exist; a file that cannot be opened adds a problem and gives none.
using Bookmarks = std::map<std::pair<std::string, std::string>, std::int64_t>;
Bookmarks ReadBookmarks(const std::string& path, std::vector<std::string>& problems);

// The rows of table `kind` (a record kind, never text from outside) of the open telemetry
// database `db` (the file `path`) with an id at or past `from`; 0 with a problem when they
// cannot be counted.
std::int64_t CountRowsFrom(sqlite3* db, const std::string& path, const std::string& kind, std::int64_t from,
                           std::vector<std::string>& problems);

}  // namespace linuxhost
}  // namespace ZEL
