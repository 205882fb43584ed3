// The judgements every caller makes of an upload's outcome, in one place.
#include "datasync/common/UploadOutcome.h"

namespace ZEL {
namespace DataSync {

bool UploadOutcome::Succeeded() const {
    switch (result) {
        case UploadResult::Posted:
        case UploadResult::Dropped:
        case UploadResult::NothingToSend:
        case UploadResult::Blocked:
        case UploadResult::NoIncludeList:
        case UploadResult::AllFiltered:
        case UploadResult::Undecodable:
            return true;
        default:
            return false;
    }
}

bool UploadOutcome::PostAccepted() const {
    // A bookmark that could not be saved after a post carries that post's status; one held
    // before any post carries none.
    return result == UploadResult::Posted || result == UploadResult::Dropped ||
           (result == UploadResult::BookmarkNotSaved && status != 0);
}

int UploadOutcome::BackoffResult() const {
    if (PostAccepted()) return 0;
    if (result == UploadResult::Failed) return status;
    return 1;
}

const char* ResultName(UploadResult result) {
    switch (result) {
        case UploadResult::Posted: return "posted";
        case UploadResult::Dropped: return "dropped";
        case UploadResult::NothingToSend: return "nothing_to_send";
        case UploadResult::Blocked: return "blocked";
        case UploadResult::NoIncludeList: return "no_include_list";
        case UploadResult::AllFiltered: return "all_filtered";
        case UploadResult::Undecodable: return "undecodable";
        case UploadResult::Held: return "held";
        case UploadResult::NoDeviceContext: return "no_device_context";
        case UploadResult::NotBuilt: return "not_built";
        case UploadResult::ReadFailed: return "read_failed";
        case UploadResult::Failed: return "failed";
        case UploadResult::BookmarkNotSaved: return "bookmark_not_saved";
        case UploadResult::BookmarkNotRead: return "bookmark_not_read";
        case UploadResult::Exception: return "exception";
    }
    return "unknown";
}

}  // namespace DataSync
}  // namespace ZEL
