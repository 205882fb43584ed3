// Counting pending rows through the SQLite C API, one short-lived connection per file.
#include "datasyncd/PendingRows.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cwchar>
#include <filesystem>
#include <memory>
#include <set>

#include "datasync/common/WellKnownIds.h"
#include "datasync/config/EndpointFamilies.h"

namespace datasyncd {
namespace {

struct Close {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct Finalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, Close>;
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

const std::set<std::string> kKinds = {"ItemEvent", "DatasetContext", "ItemContext"};
const std::string kExtension = ".sqlite3";

std::string Narrow(const wchar_t* text) {
    return std::string(text, text + std::wcslen(text));
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// Opens an existing file (never creates one). Read-write where allowed, like the agent's own
// connections, so a WAL database whose -shm must be rebuilt can still be read; SQLite falls
// back to read-only for a file this process may not write.
Database Open(const std::string& path, std::vector<std::string>& problems) {
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    Database db(raw);
    if (opened != SQLITE_OK) {
        problems.push_back(path + ": cannot be opened: " + (db ? sqlite3_errmsg(db.get()) : "out of memory"));
        return nullptr;
    }
    sqlite3_busy_timeout(db.get(), 5000);
    return db;
}

Statement Prepare(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
        sqlite3_finalize(raw);
        return nullptr;
    }
    return Statement(raw);
}

// Every bookmark of `syncPointFile`, by (guid, type): the next row id to send. None when the file
// or its table does not exist yet.
using Bookmarks = std::map<std::pair<std::string, std::string>, std::int64_t>;
Bookmarks ReadBookmarks(const std::string& syncPointFile, std::vector<std::string>& problems) {
    Bookmarks bookmarks;
    struct stat info {};
    if (::stat(syncPointFile.c_str(), &info) != 0) return bookmarks;
    const Database db = Open(syncPointFile, problems);
    if (!db) return bookmarks;
    const Statement statement = Prepare(db.get(), "SELECT guid, type, id FROM SyncPoint");
    if (!statement) return bookmarks;
    while (sqlite3_step(statement.get()) == SQLITE_ROW) {
        const auto* guid = sqlite3_column_text(statement.get(), 0);
        const auto* type = sqlite3_column_text(statement.get(), 1);
        if (guid == nullptr || type == nullptr) continue;
        bookmarks[{reinterpret_cast<const char*>(guid), reinterpret_cast<const char*>(type)}] =
            sqlite3_column_int64(statement.get(), 2);
    }
    return bookmarks;
}

// Rows of table `kind` with an id at or past `from`.
std::int64_t RowsFrom(sqlite3* db, const std::string& path, const std::string& kind, std::int64_t from,
                      std::vector<std::string>& problems) {
    // `kind` is one of kKinds, never text from outside.
    const Statement statement = Prepare(db, "SELECT COUNT(*) FROM \"" + kind + "\" WHERE id >= ?");
    if (!statement) {
        problems.push_back(path + ": cannot count the rows of " + kind + ": " + sqlite3_errmsg(db));
        return 0;
    }
    sqlite3_bind_int64(statement.get(), 1, std::max<std::int64_t>(from, 1));
    if (sqlite3_step(statement.get()) != SQLITE_ROW) {
        problems.push_back(path + ": cannot count the rows of " + kind + ": " + sqlite3_errmsg(db));
        return 0;
    }
    return sqlite3_column_int64(statement.get(), 0);
}

// The bookmark file of each family, by family name.
std::map<std::string, std::string> BookmarkFiles() {
    std::map<std::string, std::string> files;
    for (const ZEL::DataSync::EndpointFamily& family : ZEL::DataSync::kEndpointFamilies)
        files[Lower(Narrow(family.name))] = Narrow(family.bookmarkFile);
    return files;
}

}  // namespace

PendingRowCounts NoPendingRows() {
    PendingRowCounts pending;
    for (const auto& entry : BookmarkFiles()) pending[entry.first] = 0;
    return pending;
}

void AddPendingRows(const std::string& folder, const DatasetFamilies& familiesOf, PendingRowCounts& pending,
                    std::vector<std::string>& problems, DatasetRowCounts* byDataset) {
    const std::map<std::string, std::string> bookmarkFiles = BookmarkFiles();
    std::map<std::string, Bookmarks> bookmarksOf;  // by family, each file read once, when first needed
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= kExtension.size() ||
            name.compare(name.size() - kExtension.size(), kExtension.size(), kExtension) != 0)
            continue;
        const std::string stem = name.substr(0, name.size() - kExtension.size());
        const std::size_t underscore = stem.rfind('_');
        if (underscore == std::string::npos || kKinds.count(stem.substr(underscore + 1)) == 0) continue;
        const std::string datasetId = stem.substr(0, underscore);
        const std::string kind = stem.substr(underscore + 1);
        const std::vector<std::string> families = familiesOf(datasetId);
        if (families.empty()) continue;

        const std::string path = it->path().string();
        const Database db = Open(path, problems);
        if (!db) continue;
        for (const std::string& family : families) {
            const auto file = bookmarkFiles.find(family);
            if (file == bookmarkFiles.end() || (family == "navp" && kind == "ItemContext")) continue;
            auto bookmarks = bookmarksOf.find(family);
            if (bookmarks == bookmarksOf.end())
                bookmarks =
                    bookmarksOf
                        .emplace(
                            family,
                            ReadBookmarks((std::filesystem::path(folder) / file->second).string(), problems))
                        .first;
            const auto bookmark = bookmarks->second.find({datasetId, kind});
            const std::int64_t rows = RowsFrom(
                db.get(), path, kind, bookmark == bookmarks->second.end() ? 0 : bookmark->second, problems);
            pending[family] += rows;
            if (byDataset != nullptr && rows > 0) (*byDataset)[{datasetId, family}] += rows;
        }
    }
    if (error && error != std::errc::no_such_file_or_directory)
        problems.push_back(folder + ": cannot be listed: " + error.message());
}

std::string DeviceContextRecordMissing(const std::string& serviceFolder, std::int64_t id) {
    const std::string file =
        (std::filesystem::path(serviceFolder) / Narrow(ZEL::DataSync::kDeviceContextFileName)).string();
    const std::string record = "record " + std::to_string(id);
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) return "no " + record + " in " + file + " (there is no such file)";
    std::vector<std::string> problems;
    const Database db = Open(file, problems);
    if (!db) return "cannot look up " + record + ": " + problems.front();
    const Statement statement = Prepare(db.get(), "SELECT 1 FROM \"DeviceContext\" WHERE id = ?");
    if (!statement) return "cannot look up " + record + " in " + file + ": " + sqlite3_errmsg(db.get());
    sqlite3_bind_int64(statement.get(), 1, id);
    switch (sqlite3_step(statement.get())) {
        case SQLITE_ROW:
            return "";
        case SQLITE_DONE:
            return "no " + record + " in " + file;
        default:
            return "cannot look up " + record + " in " + file + ": " + sqlite3_errmsg(db.get());
    }
}

}  // namespace datasyncd
