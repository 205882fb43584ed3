// Bookmarks and pending rows through the SQLite C API, one short-lived read-only connection
// per file.
#include "linuxhost/datastore/BookmarkReader.h"

#include <sys/stat.h>

#include <algorithm>

#include "datasync/config/EndpointFamilies.h"
#include "datasync/common/StringUtil.h"
#include "linuxhost/datastore/BookmarkTable.h"

namespace ZEL {
namespace linuxhost {
namespace {

bool Exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

Bookmark Unreadable(std::string error) {
    Bookmark bookmark;
    bookmark.state = Bookmark::State::Unreadable;
    bookmark.error = std::move(error);
    return bookmark;
}

}  // namespace

std::string Bookmark::Text() const {
    switch (state) {
        case State::Found:
            return std::to_string(id);
        case State::NoFile:
            return "no file";
        case State::NoRow:
            return "no row";
        case State::Unreadable:
            return "unreadable";
    }
    return "?";
}

std::map<std::string, std::string> BookmarkFilesByFamily() {
    std::map<std::string, std::string> files;
    for (const DataSync::EndpointFamily& family : DataSync::kEndpointFamilies)
        files[String::UTF16ToUTF8(String::ToLower(family.name))] = String::UTF16ToUTF8(family.bookmarkFile);
    return files;
}

std::string SyncPointFileOf(const std::string& family) {
    const std::map<std::string, std::string> files = BookmarkFilesByFamily();
    const auto found = files.find(family);
    if (found != files.end()) return found->second;
    return String::UTF16ToUTF8(DataSync::FamilyOf(SyncEP::SyncEP_KTA).bookmarkFile);
}

Bookmark ReadBookmark(const std::string& path, const std::string& guid, const std::string& type) {
    if (!Exists(path)) return Bookmark{};
    std::string error;
    const SqliteDatabase db = OpenSqliteReadOnly(path, error);
    if (!db) return Unreadable(error);
    const SqliteStatement statement = PrepareSqlite(db.get(), kBookmarkSelectId);
    if (!statement) return Unreadable(path + ": " + sqlite3_errmsg(db.get()));
    sqlite3_bind_text(statement.get(), 1, guid.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(statement.get(), 2, type.c_str(), -1, SQLITE_TRANSIENT);
    Bookmark bookmark;
    const int rc = sqlite3_step(statement.get());
    if (rc == SQLITE_ROW) {
        bookmark.state = Bookmark::State::Found;
        bookmark.id = sqlite3_column_int64(statement.get(), 0);
    } else if (rc == SQLITE_DONE) {
        bookmark.state = Bookmark::State::NoRow;
    } else {
        return Unreadable(path + ": " + sqlite3_errmsg(db.get()));
    }
    return bookmark;
}

Bookmarks ReadBookmarks(const std::string& path, std::vector<std::string>& problems) {
    Bookmarks bookmarks;
    if (!Exists(path)) return bookmarks;
    std::string error;
    const SqliteDatabase db = OpenSqliteReadOnly(path, error);
    if (!db) {
        problems.push_back(error);
        return bookmarks;
    }
    const SqliteStatement statement = PrepareSqlite(db.get(), kBookmarkSelectAll);
    if (!statement) return bookmarks;  // no table yet: no bookmark
    while (sqlite3_step(statement.get()) == SQLITE_ROW) {
        const auto* guid = sqlite3_column_text(statement.get(), 0);
        const auto* type = sqlite3_column_text(statement.get(), 1);
        if (guid == nullptr || type == nullptr) continue;
        bookmarks[{reinterpret_cast<const char*>(guid), reinterpret_cast<const char*>(type)}] =
            sqlite3_column_int64(statement.get(), 2);
    }
    return bookmarks;
}

std::int64_t CountRowsFrom(sqlite3* db, const std::string& path, const std::string& kind, std::int64_t from,
                           std::vector<std::string>& problems) {
    const SqliteStatement statement =
        PrepareSqlite(db, "SELECT COUNT(*) FROM \"" + kind + "\" WHERE id >= ?");
    if (statement) sqlite3_bind_int64(statement.get(), 1, std::max<std::int64_t>(from, 1));
    if (!statement || sqlite3_step(statement.get()) != SQLITE_ROW) {
        problems.push_back(path + ": cannot count the rows of " + kind + ": " + sqlite3_errmsg(db));
        return 0;
    }
    return sqlite3_column_int64(statement.get(), 0);
}

}  // namespace linuxhost
}  // namespace ZEL
