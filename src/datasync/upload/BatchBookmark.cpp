// One upload's bookmark and the identity it posts under.
#include "datasync/upload/BatchBookmark.h"

namespace ZEL {
namespace DataSync {
namespace upload {

ServiceIdentity::ServiceIdentity(Log& log, const wchar_t* function) {
    if (System::check_admin_privilege()) return;
    m_userMode = true;
    log.i(L"%s: Exit log on user mode", function);
    m_user.ExitLogOnUserMode();
}

bool ServiceIdentity::AsCaller(const std::function<bool()>& write) {
    if (m_userMode) m_user.EnterLogOnUserMode();
    const bool done = write();
    if (m_userMode) m_user.ExitLogOnUserMode();
    return done;
}

BatchBookmark::BatchBookmark(BookmarkStore& bookmarks, UnsavedBookmarks& unsaved, BookmarkKey key)
    : m_bookmarks(bookmarks), m_unsaved(unsaved), m_key(std::move(key)), m_path(m_bookmarks.PathOf(m_key)) {}

bool BatchBookmark::Held(Log& log, const wchar_t* function) const {
    if (!m_unsaved.Holds(m_path)) return false;
    log.d(L"%s: %s did not take the last bookmark write; dataset_id %s waits", function, m_path,
          m_key.datasetId);
    return true;
}

std::optional<UploadOutcome> BatchBookmark::Read(Log& log, const wchar_t* function,
                                                 const wchar_t* initFailedFormat) {
    std::int64_t id = 0;
    const BookmarkRead read = m_bookmarks.Read(m_key, id);
    if (read == BookmarkRead::Failed) {
        log.e(L"%s: the bookmark of dataset_id %s cannot be read from %s; the batch waits", function,
              m_key.datasetId, m_path);
        m_unsaved.Failed(m_path, "read", std::nullopt);
        return UploadOutcome::BookmarkFault(UploadResult::BookmarkNotRead, m_path);
    }
    m_unsaved.ReadWorked(m_path);
    if (read == BookmarkRead::Found) m_stored = id;
    if (const std::optional<OwedBookmark> owed = m_unsaved.OwedFor(m_path, m_key)) {
        if (owed->replaces != m_stored) {
            // Something else moved the bookmark meanwhile (a purge, the device-context thread): it
            // stands, and the batch after it may go again.
            log.i(L"%s: bookmark %lld owed to %s for dataset_id %s dropped: the stored one moved to %lld",
                  function, owed->value, m_path, m_key.datasetId, Id());
            m_unsaved.Forget(m_path, m_key);
        } else if (Store(owed->value, [&] { return m_bookmarks.Write(m_key, owed->value); })) {
            log.i(L"%s: owed bookmark %lld of dataset_id %s saved in %s", function, owed->value,
                  m_key.datasetId, m_path);
        } else {
            log.e(L"%s: %s still takes no bookmark write; dataset_id %s waits", function, m_path,
                  m_key.datasetId);
            return UploadOutcome::BookmarkFault(UploadResult::BookmarkNotSaved, m_path);
        }
    }
    if (!m_stored && initFailedFormat != nullptr) {
        log.i(L"%s: SyncPoint no data", function);
        if (m_bookmarks.Write(m_key, 0)) {
            m_stored = 0;  // what a write owed later replaces
            log.i(L"%s: SyncPoint initialized: dataset_id - %s, type - %s", function, m_key.datasetId,
                  m_key.typeName);
        } else {
            log.e(initFailedFormat, function, m_key.datasetId);
        }
    }
    return std::nullopt;
}

UploadOutcome BatchBookmark::MoveTo(std::int64_t next, ServiceIdentity& identity, Log& log,
                                    const wchar_t* function, const wchar_t* failedFormat,
                                    UploadOutcome done) {
    if (Store(next, [&] { return identity.AsCaller([&] { return m_bookmarks.Write(m_key, next); }); }))
        return done;
    log.e(failedFormat, function, m_key.datasetId);
    return UploadOutcome::BookmarkFault(UploadResult::BookmarkNotSaved, m_path, done.status);
}

bool BatchBookmark::Store(std::int64_t value, const std::function<bool()>& write) {
    if (!write()) {
        m_unsaved.Failed(m_path, "write", OwedBookmark{m_key, m_stored, value});
        return false;
    }
    m_unsaved.Saved(m_path, m_key);
    m_stored = value;
    return true;
}

}  // namespace upload
}  // namespace DataSync
}  // namespace ZEL
