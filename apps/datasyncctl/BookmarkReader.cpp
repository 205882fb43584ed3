// Reading one bookmark row through the SQLite C API.
#include "datasyncctl/BookmarkReader.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cwchar>
#include <cctype>
#include <memory>

#include "datasync/config/EndpointFamilies.h"

namespace datasyncctl {
namespace {

struct Close {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct Finalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

Bookmark Unreadable(const std::string& path, sqlite3* db) {
    Bookmark bookmark;
    bookmark.state = Bookmark::State::Unreadable;
    bookmark.error = path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
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

std::string SyncPointFileOf(const std::string& family) {
    using namespace ZEL::DataSync;
    const auto narrow = [](const wchar_t* text) { return std::string(text, text + std::wcslen(text)); };
    for (const EndpointFamily& entry : kEndpointFamilies) {
        std::string name = narrow(entry.name);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        if (name == family) return narrow(entry.bookmarkFile);
    }
    return narrow(FamilyOf(SyncEP::SyncEP_KTA).bookmarkFile);
}

Bookmark ReadBookmark(const std::string& path, const std::string& guid, const std::string& type) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return Bookmark{};

    // Read-write without create: a WAL database left by the agent may need its -shm rebuilt,
    // which a read-only connection cannot do.
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    const std::unique_ptr<sqlite3, Close> db(raw);
    if (opened != SQLITE_OK) return Unreadable(path, db.get());
    sqlite3_busy_timeout(db.get(), 5000);

    sqlite3_stmt* rawStatement = nullptr;
    if (sqlite3_prepare_v2(db.get(), "SELECT id FROM SyncPoint WHERE guid=? AND type=?", -1, &rawStatement,
                           nullptr) != SQLITE_OK) {
        sqlite3_finalize(rawStatement);
        return Unreadable(path, db.get());
    }
    const std::unique_ptr<sqlite3_stmt, Finalize> statement(rawStatement);
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
        return Unreadable(path, db.get());
    }
    return bookmark;
}

}  // namespace datasyncctl
