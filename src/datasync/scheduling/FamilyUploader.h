// The uploaders of one database as the agent builds them: a KTA or NAVS uploader from the
// endpoint family table (the family's URL, name, bookmark file and authentication type), and
// the NAVP uploader; both refuse to post while the device-path purge blocks uploads.
#pragma once

#include <string>

#include "datasync/config/EndpointFamilies.h"
#include "datasync/housekeeping/DevicePathPurge.h"
#include "datasync/upload/NavpSyncAgent.h"
#include "datasync/upload/SyncAgentsHelper.h"

namespace ZEL {
namespace DataSync {

inline SyncBlockedQuery BlockedBy(const DevicePathPurge& purge) {
    return [&purge] { return purge.IsTelemetrySyncBlocked(); };
}

inline SyncAgentsHelper FamilyUploader(SyncEP::SyncEp_type type, const EndpointUrls& urls, const std::wstring& datasetId,
                                       SyncTypes kind, utility::EGetDBPathMethod method, const DevicePathPurge& purge) {
    const EndpointFamily& family = FamilyOf(type);
    SyncAgentsHelper uploader(datasetId, urls.*family.url, kind, family.name, family.bookmarkFile, urls.*family.auth,
                              false, method);
    uploader.SetSyncBlocked(BlockedBy(purge));
    return uploader;
}

inline NavpSyncAgent NavpUploader(const EndpointUrls& urls, const std::wstring& datasetId, _NavpSyncType kind,
                                  utility::EGetDBPathMethod method, const DevicePathPurge& purge) {
    NavpSyncAgent uploader(datasetId, urls.navp, kind, method);
    uploader.SetSyncBlocked(BlockedBy(purge));
    return uploader;
}

}  // namespace DataSync
}  // namespace ZEL
