// BookmarkStore: the upload road's bookmarks, one per (bookmark file and its root, dataset id,
// record kind): the id of the next row the family has not had accepted. SyncPointBookmarks keeps
// them in the SyncPoint files (SyncPointDao); tests wrap it to make a read or write fail.
//
// A read tells a missing bookmark (a table never uploaded) from one that cannot be read: only
// the first may be started at 0.
//
// Thread safety: any thread; each call opens what it needs and keeps nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "datasync/common/DbRoots.h"

namespace ZEL {
namespace DataSync {

struct BookmarkKey {
    std::wstring file;  // "SyncPoint.sqlite3", in the root of `method`
    // Methods 1 and 2 keep their root; every other method means the default root.
    utility::EGetDBPathMethod method;
    std::wstring datasetId;  // empty for the device context
    std::wstring typeName;   // "class ItemEvent"
};

enum class BookmarkRead { Found, Missing, Failed };

class BookmarkStore {
public:
    virtual ~BookmarkStore() = default;
    virtual BookmarkRead Read(const BookmarkKey& key, std::int64_t& id) = 0;
    // Writes (inserts or replaces) the bookmark; false when the file did not take the write.
    virtual bool Write(const BookmarkKey& key, std::int64_t id) = 0;
    // The full path of the key's bookmark file, for the log and the status.
    virtual std::wstring PathOf(const BookmarkKey& key) = 0;
};

class SyncPointDao;

class SyncPointBookmarks : public BookmarkStore {
public:
    BookmarkRead Read(const BookmarkKey& key, std::int64_t& id) override;
    bool Write(const BookmarkKey& key, std::int64_t id) override;
    std::wstring PathOf(const BookmarkKey& key) override;

    // The store of `file` under the root of `method` (see BookmarkKey::method).
    static std::unique_ptr<SyncPointDao> Open(utility::EGetDBPathMethod method, const std::wstring& file);
};

}  // namespace DataSync
}  // namespace ZEL
