// SyncAgentsHelper's statics over the local stores.
#include "datasync/host/DataStore.h"
#include "datasync/upload/SyncAgentsHelper.h"

namespace ZEL {
namespace DataSync {

std::unique_ptr<SyncPointDao> SyncAgentsHelper::SyncPointDaoForDbPath(utility::EGetDBPathMethod method,
                                                                      const std::wstring& fileName) {
    if (method == utility::DB_PATH_USER_SHARED || method == utility::DB_PATH_INTERNAL)
        return std::make_unique<SyncPointDao>(method, fileName);
    return std::make_unique<SyncPointDao>(fileName);
}

std::int64_t SyncAgentsHelper::GetFirstIdFromDBWithDatasetId(const std::wstring& kindTypeName,
                                                             const std::wstring& datasetId,
                                                             utility::EGetDBPathMethod method) {
    return EventDataLogging::GetInstance()->GetFirstID(datasetId, kindTypeName.substr(6), method);
}

std::int64_t SyncAgentsHelper::GetLastIdFromDBWithDatasetId(const std::wstring& kindTypeName,
                                                            const std::wstring& datasetId,
                                                            utility::EGetDBPathMethod method) {
    return EventDataLogging::GetInstance()->GetLastID(datasetId, kindTypeName.substr(6), method);
}

}  // namespace DataSync
}  // namespace ZEL
