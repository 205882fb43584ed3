// The bookmark of one upload on the upload road (BatchPipeline.h), from its read to its move, and
// the identity the upload posts under. Internal to the road.
//
// BatchBookmark keeps the bookkeeping of the writes a bookmark file did not take (UnsavedBookmarks):
// a read makes the write still owed first, a failed move owes its write and holds the file.
//
// Threads: one upload's objects, used by its thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "datasync/common/ImpersonateUser.h"
#include "datasync/common/UploadOutcome.h"
#include "datasync/host/Log.h"
#include "datasync/host/BookmarkStore.h"
#include "datasync/upload/UnsavedBookmarks.h"

namespace ZEL {
namespace DataSync {
namespace upload {

// Posts as the service: when the calling thread acts as the logged-on user, the user mode is left
// at construction ("Exit log on user mode") and taken again only around bookmark writes.
class ServiceIdentity {
public:
    ServiceIdentity(Log& log, const wchar_t* function);
    ServiceIdentity(const ServiceIdentity&) = delete;
    ServiceIdentity& operator=(const ServiceIdentity&) = delete;

    // Runs `write` as the thread's user, when it was one.
    bool AsCaller(const std::function<bool()>& write);

private:
    bool m_userMode = false;
    ImpersonateUser m_user;
};

class BatchBookmark {
public:
    BatchBookmark(BookmarkStore& bookmarks, UnsavedBookmarks& unsaved, BookmarkKey key);

    // Whether the file is held after a failed write: the upload waits.
    bool Held(Log& log, const wchar_t* function) const;
    // Reads the stored bookmark, after making the write still owed to it (unless something else
    // moved it meanwhile). A missing bookmark is written as 0 when `initFailedFormat` is given.
    // An outcome when the upload must stop here.
    std::optional<UploadOutcome> Read(Log& log, const wchar_t* function, const wchar_t* initFailedFormat);

    const std::wstring& Path() const { return m_path; }
    std::int64_t Id() const { return m_stored.value_or(0); }
    bool Exists() const { return m_stored.has_value(); }

    // Moves the bookmark to `next` (as the calling thread's user, when it was one): `done` when the
    // file took the write; otherwise the write is owed to the file, which is held, and the upload
    // says so (with `done`'s status: whether the endpoint has the batch). `failedFormat` is the
    // error line (function, dataset id).
    UploadOutcome MoveTo(std::int64_t next, ServiceIdentity& identity, Log& log, const wchar_t* function,
                         const wchar_t* failedFormat, UploadOutcome done);

private:
    // Writes `value` with `write`, keeping the held files' record.
    bool Store(std::int64_t value, const std::function<bool()>& write);

    BookmarkStore& m_bookmarks;
    UnsavedBookmarks& m_unsaved;
    const BookmarkKey m_key;
    const std::wstring m_path;
    std::optional<std::int64_t> m_stored;  // none: no bookmark stored
};

}  // namespace upload
}  // namespace DataSync
}  // namespace ZEL
