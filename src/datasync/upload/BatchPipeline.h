// The one upload road: every batch any family sends goes through UploadBatch, in these steps:
//   1. nothing while a device-path purge blocks uploads (Blocked);
//   2. the bookmark: nothing while its file is held after a failed write (UnsavedBookmarks.h);
//      a bookmark write still owed is made first; a missing bookmark starts at 0; one that
//      cannot be read stops the upload (BookmarkNotRead);
//   3. the batch: at most 10 rows (1 for the device context) from the bookmark on; after an
//      empty read the recovery finds where unsent rows are (rows deleted before the bookmark,
//      a gap, a table created again below it) and reads once more from there; a read that fails
//      sends nothing (ReadFailed);
//   4. the include filter (item events): the policy in force must name the dataset's list, or
//      the batch waits (NoIncludeList); a batch with nothing left moves the bookmark past it;
//   5. the body, the post, and the answer: accepted or refused for good moves the bookmark past
//      what the body held; any other answer keeps it, so the same batch goes again.
// What differs per family is the rule set it runs with (FamilyRules.h). UploadChosenRow posts one
// chosen device-context row to NAVP on the same steps, with its bookmark never moved backwards.
//
// Posting happens as the service: a thread acting as the logged-on user leaves that mode for the
// post and takes it again only around the bookmark writes.
//
// Threads: any thread; an upload holds no lock of its own. The services are the agent's (shared)
// or the uploader's own; their objects must outlive the call.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "datasync/common/DbRoots.h"
#include "datasync/common/SyncTypes.h"
#include "datasync/common/UploadOutcome.h"
#include "datasync/host/Transport.h"
#include "datasync/host/BookmarkStore.h"
#include "datasync/host/TelemetryTables.h"
#include "datasync/upload/FamilyRules.h"
#include "datasync/upload/InstalledStores.h"
#include "datasync/upload/UnsavedBookmarks.h"

namespace ZEL {
namespace DataSync {
namespace upload {

// What an upload reaches its stores and the policy through.
struct UploadServices {
    TelemetryTables* tables = nullptr;    // not owned
    BookmarkStore* bookmarks = nullptr;   // not owned
    UnsavedBookmarks* unsaved = nullptr;  // not owned
    BeginUpload beginUpload;              // empty: never blocked
    // The include list of a dataset in the policy in force; false when the policy names none.
    std::function<bool(const std::wstring& datasetId, std::list<std::wstring>& include)> includeEvents;
};

// `stores`, the policy read afresh per batch; `unsaved` and `beginUpload` as given.
UploadServices HostUploadServices(const Stores& stores, UnsavedBookmarks& unsaved, BeginUpload beginUpload = {});

// The services one uploader object runs with: those it was given (the agent's), or else the
// installed stores with a record of held bookmark files of its own. Copies share that record.
class UploaderServices {
public:
    void Set(UploadServices services) { m_given = std::move(services); }
    // Overrides the purge's question of the services (for uploaders built on their own).
    void SetBlocked(SyncBlockedQuery blocked) { m_blocked = std::move(blocked); }
    UploadServices Get();

private:
    std::optional<UploadServices> m_given;
    std::shared_ptr<UnsavedBookmarks> m_own;
    SyncBlockedQuery m_blocked;
};

// One table of one database, and where its rows go.
struct UploadTarget {
    std::wstring datasetId;  // empty for the device context
    std::wstring url;        // the full URL of the post
    utility::EGetDBPathMethod method;
};

// Uploads the next batch of T's table. `response` receives the post's response (untouched when
// nothing was posted).
template <typename Rules, typename T>
UploadOutcome UploadBatch(const Rules& rules, const UploadTarget& target, const UploadServices& services,
                          ZELCore::InvokeHttpResponse& response);

// Posts exactly the device-context row `recordId` of the service folder; on success the family's
// device-context bookmark becomes recordId + 1 unless it is already further. A missing row gives
// NothingToSend.
UploadOutcome UploadChosenRow(const NavpRules& rules, std::int64_t recordId, const std::wstring& url,
                              const UploadServices& services);

}  // namespace upload
}  // namespace DataSync
}  // namespace ZEL
