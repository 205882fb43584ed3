// The bookmarks in the SyncPoint files.
#include "linuxhost/datastore/SyncPointBookmarks.h"

#include <filesystem>
#include <system_error>

#include "datasync/common/StringUtil.h"
#include "linuxhost/HostFolders.h"
#include "linuxhost/datastore/SqliteTelemetryTables.h"

namespace ZEL {
namespace linuxhost {

using DataSync::BookmarkRead;
namespace {

bool KeepsItsRoot(utility::EGetDBPathMethod method) {
    return method == utility::DB_PATH_USER_SHARED || method == utility::DB_PATH_INTERNAL;
}

}  // namespace

std::unique_ptr<SyncPointDao> SyncPointBookmarks::Open(utility::EGetDBPathMethod method,
                                                       const std::wstring& file) {
    if (KeepsItsRoot(method)) return std::make_unique<SyncPointDao>(method, file);
    return std::make_unique<SyncPointDao>(file);
}

BookmarkRead SyncPointBookmarks::Read(const BookmarkKey& key, std::int64_t& id, std::string* logtime) {
    std::unique_ptr<SyncPointDao> dao = Open(key.method, key.file);
    if (logtime == nullptr) return dao->Read(id, key.datasetId, key.typeName);
    return dao->Read(id, *logtime, key.datasetId, key.typeName);
}

bool SyncPointBookmarks::Write(const BookmarkKey& key, std::int64_t id) {
    return Open(key.method, key.file)->Set(SyncPoint{key.datasetId, key.typeName, id});
}

std::int64_t SyncPointBookmarks::Clear(const BookmarkKey& key) {
    const std::wstring path = PathOf(key);
    std::error_code error;
    if (!std::filesystem::is_regular_file(String::UTF16ToUTF8(path), error)) return 0;
    std::int64_t cleared = -1;
    {
        // The handle goes before the checkpoint, so that it can close the file.
        std::unique_ptr<SyncPointDao> dao = Open(key.method, key.file);
        cleared = dao->Clear();
    }
    CheckpointAndRelease(path);
    return cleared;
}

std::wstring SyncPointBookmarks::PathOf(const BookmarkKey& key) {
    return linuxhost::DbFolder(KeepsItsRoot(key.method) ? key.method : utility::DB_PATH_DEFAULT) + key.file;
}

}  // namespace linuxhost
}  // namespace ZEL
