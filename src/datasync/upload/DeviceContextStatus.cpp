// Whether the newest device context reached an endpoint. The KTA/NAVS uploader that records
// device-context bookmarks is not built yet, so no device context counts as synced.
#include "datasync/upload/SyncAgentsHelper.h"

namespace ZEL {
namespace DataSync {

bool SyncAgentsHelper::IsDeviceContextSyncSuccess(const std::wstring&) { return false; }

}  // namespace DataSync
}  // namespace ZEL
