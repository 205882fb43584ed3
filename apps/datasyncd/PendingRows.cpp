// Counting pending rows over the host's bookmark reader, one short-lived read-only connection
// per file.
#include "datasyncd/PendingRows.h"

#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "datasync/common/WellKnownIds.h"
#include "datasync/common/StringUtil.h"
#include "linuxhost/datastore/BookmarkReader.h"

namespace datasyncd {
namespace {

using ZEL::linuxhost::Bookmarks;
using ZEL::linuxhost::SqliteDatabase;
using ZEL::linuxhost::SqliteStatement;

const std::set<std::string> kKinds = {"ItemEvent", "DatasetContext", "ItemContext"};
const std::string kExtension = ZEL::String::UTF16ToUTF8(ZEL::DataSync::kTelemetryFileExtension);

}  // namespace

PendingRowCounts NoPendingRows() {
    PendingRowCounts pending;
    for (const auto& entry : ZEL::linuxhost::BookmarkFilesByFamily()) pending[entry.first] = 0;
    return pending;
}

void AddPendingRows(const std::string& folder, const DatasetFamilies& familiesOf, PendingRowCounts& pending,
                    std::vector<std::string>& problems, DatasetRowCounts* byDataset) {
    const std::map<std::string, std::string> bookmarkFiles = ZEL::linuxhost::BookmarkFilesByFamily();
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
        std::string openError;
        const SqliteDatabase db = ZEL::linuxhost::OpenSqliteReadOnly(path, openError);
        if (!db) {
            problems.push_back(openError);
            continue;
        }
        for (const std::string& family : families) {
            const auto file = bookmarkFiles.find(family);
            if (file == bookmarkFiles.end() || (family == "navp" && kind == "ItemContext")) continue;
            auto bookmarks = bookmarksOf.find(family);
            if (bookmarks == bookmarksOf.end())
                bookmarks = bookmarksOf
                                .emplace(family, ZEL::linuxhost::ReadBookmarks(
                                                     (std::filesystem::path(folder) / file->second).string(),
                                                     problems))
                                .first;
            const auto bookmark = bookmarks->second.find({datasetId, kind});
            const std::int64_t rows = ZEL::linuxhost::CountRowsFrom(
                db.get(), path, kind, bookmark == bookmarks->second.end() ? 0 : bookmark->second, problems);
            pending[family] += rows;
            if (byDataset != nullptr && rows > 0) (*byDataset)[{datasetId, family}] += rows;
        }
    }
    if (error && error != std::errc::no_such_file_or_directory)
        problems.push_back(folder + ": cannot be listed: " + error.message());
}

std::string DeviceContextRecordMissing(const std::string& serviceFolder, std::int64_t id) {
    const std::string file = (std::filesystem::path(serviceFolder) /
                              ZEL::String::UTF16ToUTF8(ZEL::DataSync::kDeviceContextFileName))
                                 .string();
    const std::string record = "record " + std::to_string(id);
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) return "no " + record + " in " + file + " (there is no such file)";
    std::string openError;
    const SqliteDatabase db = ZEL::linuxhost::OpenSqliteReadOnly(file, openError);
    if (!db) return "cannot look up " + record + ": " + openError;
    const SqliteStatement statement =
        ZEL::linuxhost::PrepareSqlite(db.get(), "SELECT 1 FROM \"DeviceContext\" WHERE id = ?");
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
