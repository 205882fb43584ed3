// Lifting the purge block.
#include "datasyncd/PurgeMarkers.h"

#include <filesystem>
#include <system_error>

#include "datasync/housekeeping/DevicePathPurge.h"
#include "datasync/host/StringUtil.h"
#include "datasync/host/Utility.h"

namespace datasyncd {
namespace {

namespace fs = std::filesystem;

std::string MarkerPath(const wchar_t* name) {
    const std::wstring folder = ZEL::utility::GetDBPath(ZEL::utility::DB_PATH_INTERNAL);
    return folder.empty() ? std::string() : ZEL::String::UTF16ToUTF8(folder + name);
}

bool Exists(const std::string& path) {
    std::error_code error;
    return !path.empty() && fs::exists(path, error);
}

}  // namespace

bool PurgeCompleted() { return Exists(MarkerPath(ZEL::DataSync::kPurgeCompletedMarker)); }

std::string ResumeAfterPurge() {
    if (!PurgeCompleted()) {
        return Exists(MarkerPath(ZEL::DataSync::kPurgePendingMarker))
                   ? "no purge has completed yet: a purge is pending (datasyncctl purge runs it)"
                   : "no purge has completed: uploads are not blocked by a purge";
    }
    // The pending marker last: should a removal fail, the block stays and the host can try again.
    for (const wchar_t* name : {ZEL::DataSync::kPurgeCompletedMarker, ZEL::DataSync::kPurgeDetectedMarker,
                                ZEL::DataSync::kPurgePendingMarker}) {
        const std::string path = MarkerPath(name);
        std::error_code error;
        fs::remove(path, error);
        if (error) return "cannot remove " + path + ": " + error.message();
    }
    return std::string();
}

}  // namespace datasyncd
