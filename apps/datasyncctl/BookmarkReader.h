// Reads the agent's upload bookmarks: the SyncPoint files of the service folder
// ("SyncPoint.sqlite3" for KTA, "Navs_SyncPoint.sqlite3" for NAVS, "navp_syncPoint.sqlite3" for
// NAVP), table SyncPoint(id, type, guid, logtime) with one row per (guid = dataset id, type =
// record kind); `id` is the next row id the family's uploads start from.
#pragma once

#include <cstdint>
#include <string>

namespace datasyncctl {

struct Bookmark {
    enum class State { Found, NoFile, NoRow, Unreadable };
    State state = State::NoFile;
    std::int64_t id = 0;
    std::string error;  // for Unreadable: what failed, naming the file

    // "42", "no file", "no row" or "unreadable".
    std::string Text() const;
};

// The SyncPoint file of `family` ("kta", "navs", "navp").
std::string SyncPointFileOf(const std::string& family);

// The bookmark row (`guid`, `type`) of the SyncPoint file `path`. Never creates the file.
Bookmark ReadBookmark(const std::string& path, const std::string& guid, const std::string& type);

}  // namespace datasyncctl
