// What one upload of one table to one endpoint family came to: the result every caller of the
// upload road acts on (the dispatch, the sync map's commit, the back-off, the device-context
// thread). The integer result codes of the uploaders are made from it only at their own entry
// points (SyncAgentsHelper::doPost, NavpSyncAgent::doPost and PostDeviceContext).
//
//   result            bookmark            counts as
//   Posted            moved past batch    success   the endpoint accepted the batch
//   Dropped           moved past batch    success   refused for good (400, 401, 403, 404)
//   NothingToSend     unchanged           success   no row waits, even after recovery
//   Blocked           unchanged           success   a device-path purge blocks uploads
//   NoIncludeList     unchanged           success   the policy in force names no include list
//   AllFiltered       moved past batch    success   the include filter left nothing to send
//   Undecodable       moved past batch    success   no row of the batch could be decoded
//   Held              unchanged           failure   a gate in front of the upload refused
//   NoDeviceContext   unchanged           failure   no device context to send the rows under
//   NotBuilt          unchanged           failure   the body could not be built
//   ReadFailed        unchanged           failure   the telemetry table could not be read
//   Failed            unchanged           failure   the post failed: `status` says how
//   BookmarkNotSaved  not moved           failure   the batch went (or waits) but its bookmark
//                                                   cannot be written: `file` says where
//   BookmarkNotRead   unchanged           failure   the bookmark cannot be read: `file`
//   Exception         unchanged           failure
#pragma once

#include <string>

namespace ZEL {
namespace DataSync {

enum class UploadResult {
    Posted,
    Dropped,
    NothingToSend,
    Blocked,
    NoIncludeList,
    AllFiltered,
    Undecodable,
    Held,
    NoDeviceContext,
    NotBuilt,
    ReadFailed,
    Failed,
    BookmarkNotSaved,
    BookmarkNotRead,
    Exception,
};

struct UploadOutcome {
    UploadResult result = UploadResult::NothingToSend;
    // The answer's status when a post was made: the HTTP status, or the transport's result code
    // when no answer came; 0 when nothing was posted.
    int status = 0;
    // The bookmark file at fault (BookmarkNotSaved, BookmarkNotRead).
    std::wstring file;
    // Which gate held the upload (Held): "purge", "certificate_pause", "consent", "not_ready",
    // "backoff", "no_url", "no_policy", "not_applicable", "no_family".
    const char* heldBy = "";

    static UploadOutcome Of(UploadResult result, int status = 0) { return {result, status, {}, ""}; }
    static UploadOutcome HeldBy(const char* gate) { return {UploadResult::Held, 0, {}, gate}; }
    static UploadOutcome BookmarkFault(UploadResult result, std::wstring file, int status = 0) {
        return {result, status, std::move(file), ""};
    }

    // The upload did what it could: nothing is to be retried because of it.
    bool Succeeded() const;
    // The endpoint has the batch (accepted, or refused for good): the server side is done with it,
    // whether or not its bookmark could be saved.
    bool PostAccepted() const;
    // The result the back-off of the family counts: 0 after an accepted post, the status of a
    // failed post, 1 (no failure, nothing posted) otherwise.
    int BackoffResult() const;
};

// What one upload of a database to the families its dataset names came to: whether it counts as
// done (the dispatch's rules: the first family named decides), and that family's outcome.
struct DatabaseResult {
    bool done = false;
    UploadOutcome outcome;
};

// "posted", "nothing_to_send", ... as the status and the log show a result.
const char* ResultName(UploadResult result);

}  // namespace DataSync
}  // namespace ZEL
