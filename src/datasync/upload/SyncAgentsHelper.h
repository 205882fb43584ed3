// The KTA/NAVS batch uploader's helpers. This file holds the store-facing statics that the
// uploaders and the scheduler share: the SyncPoint store of a database root and the row-id
// bounds of a telemetry table.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "datasync/host/Utility.h"
#include "datasync/store/SyncPointDao.h"

namespace ZEL {
namespace DataSync {

class SyncAgentsHelper {
public:
    // The bookmark store of `fileName` for a database root: method 2 and 1 keep their root,
    // any other method uses the default root.
    static std::unique_ptr<SyncPointDao> SyncPointDaoForDbPath(utility::EGetDBPathMethod method,
                                                               const std::wstring& fileName);

    // Smallest / largest row id of the table of `kindTypeName` ("class ItemEvent") in the file of
    // `datasetId` under `method`'s root, from the data-store service: 0 for an empty table, -1
    // when the file cannot be read. A kind text shorter than six characters throws
    // std::out_of_range.
    static std::int64_t GetFirstIdFromDBWithDatasetId(const std::wstring& kindTypeName, const std::wstring& datasetId,
                                                      utility::EGetDBPathMethod method);
    static std::int64_t GetLastIdFromDBWithDatasetId(const std::wstring& kindTypeName, const std::wstring& datasetId,
                                                     utility::EGetDBPathMethod method);

    // Whether the newest device context has been accepted by the endpoint whose bookmarks are
    // in `syncPointFile`.
    static bool IsDeviceContextSyncSuccess(const std::wstring& syncPointFile);
};

}  // namespace DataSync
}  // namespace ZEL
