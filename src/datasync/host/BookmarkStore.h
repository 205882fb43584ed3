// BookmarkStore: the upload road's bookmarks, one per (bookmark file and its root, dataset id,
// record kind): the id of the next row the family has not had accepted, and when it was last
// written. The host keeps them in its SyncPoint files (linuxhost/datastore/SyncPointBookmarks.h);
// tests keep them in memory or wrap the host's to make a read or write fail.
//
// A read tells a missing bookmark (a table never uploaded) from one that cannot be read: only
// the first may be started at 0.
//
// Thread safety: any thread; each call opens what it needs and keeps nothing.
#pragma once

#include <cstdint>
#include <string>

#include "datasync/common/DbRoots.h"

namespace ZEL {
namespace DataSync {

struct BookmarkKey {
    std::wstring file;  // "SyncPoint.sqlite3", in the root of `method`
    // Methods 1 and 2 keep their root; every other method means the default root.
    utility::EGetDBPathMethod method;
    std::wstring datasetId;  // empty for the device context
    std::wstring typeName;   // "class ItemEvent" or "ItemEvent": both name the same bookmark
};

enum class BookmarkRead { Found, Missing, Failed };

// The name a bookmark's kind is kept under: "ItemEvent" for "class ItemEvent" (a text of at least
// six characters naming "class" loses its first six); other texts unchanged.
inline std::wstring BookmarkTypeName(const std::wstring& type) {
    if (type.size() >= 6 && type.find(L"class") != std::wstring::npos) return type.substr(6);
    return type;
}

class BookmarkStore {
public:
    virtual ~BookmarkStore() = default;
    // `logtime`, when given, receives the time text of the bookmark's last write (empty when none).
    virtual BookmarkRead Read(const BookmarkKey& key, std::int64_t& id, std::string* logtime = nullptr) = 0;
    // Writes (inserts or replaces) the bookmark; false when the file did not take the write.
    virtual bool Write(const BookmarkKey& key, std::int64_t id) = 0;
    // Removes every bookmark of the file of `key` (its dataset id and kind are not used), and
    // leaves the file consistent for other processes. How many, 0 when the file does not exist,
    // -1 when it cannot be changed.
    virtual std::int64_t Clear(const BookmarkKey& key) = 0;
    // The full path of the key's bookmark file, for the log and the status.
    virtual std::wstring PathOf(const BookmarkKey& key) = 0;
};

}  // namespace DataSync
}  // namespace ZEL
