// The bookmarks in the SyncPoint files.
#include "datasync/store/BookmarkStore.h"

#include "datasync/host/Folders.h"
#include "datasync/store/SyncPointDao.h"

namespace ZEL {
namespace DataSync {
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

BookmarkRead SyncPointBookmarks::Read(const BookmarkKey& key, std::int64_t& id) {
    return Open(key.method, key.file)->Read(id, key.datasetId, key.typeName);
}

bool SyncPointBookmarks::Write(const BookmarkKey& key, std::int64_t id) {
    return Open(key.method, key.file)->Set(SyncPoint{key.datasetId, key.typeName, id});
}

std::wstring SyncPointBookmarks::PathOf(const BookmarkKey& key) {
    return utility::GetDBPath(KeepsItsRoot(key.method) ? key.method : utility::DB_PATH_DEFAULT) + key.file;
}

}  // namespace DataSync
}  // namespace ZEL
