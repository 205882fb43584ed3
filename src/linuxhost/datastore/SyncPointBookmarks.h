// SyncPointBookmarks: the upload bookmarks as the host keeps them, in the families' SyncPoint
// files (SyncPointDao) under the roots of HostFolders.
//
// Stateless: one object may serve every thread and every agent of the process.
#pragma once

#include <memory>

#include "datasync/host/BookmarkStore.h"
#include "linuxhost/datastore/SyncPointDao.h"

namespace ZEL {
namespace linuxhost {

class SyncPointBookmarks : public DataSync::BookmarkStore {
public:
    using BookmarkKey = DataSync::BookmarkKey;

    DataSync::BookmarkRead Read(const BookmarkKey& key, std::int64_t& id, std::string* logtime) override;
    bool Write(const BookmarkKey& key, std::int64_t id) override;
    std::int64_t Clear(const BookmarkKey& key) override;
    std::wstring PathOf(const BookmarkKey& key) override;

    // The store of `file` under the root of `method` (see BookmarkKey::method).
    static std::unique_ptr<SyncPointDao> Open(utility::EGetDBPathMethod method, const std::wstring& file);
};

}  // namespace linuxhost
}  // namespace ZEL
