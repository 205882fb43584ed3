// The layout of the bookmark ("SyncPoint") table, for every reader and writer of the bookmark
// files: the stores' SyncPointDao and the read-only BookmarkReader of the daemon and the tools.
//
//   SyncPoint(id integer, type LONGVARCHAR, guid LONGVARCHAR, logtime LONGVARCHAR)
//
// One row per (guid = dataset id, empty for the device context; type = record kind): `id` is the
// next telemetry row id the family's uploads start from, `logtime` when it was last moved.
#pragma once

namespace ZEL {
namespace linuxhost {

inline constexpr const char* kBookmarkTable = "SyncPoint";
inline constexpr const char* kBookmarkCreate =
    "Create TABLE SyncPoint(id integer, type LONGVARCHAR,guid LONGVARCHAR,logtime LONGVARCHAR)";
// Binds guid, then type; yields id (and logtime).
inline constexpr const char* kBookmarkSelectId = "select id from SyncPoint where guid=? and type=?";
inline constexpr const char* kBookmarkSelectIdAndLogtime = "select id,logtime from SyncPoint where guid=? and type=?";
// Every bookmark of a file: guid, type, id.
inline constexpr const char* kBookmarkSelectAll = "select guid, type, id from SyncPoint";

}  // namespace linuxhost
}  // namespace ZEL
