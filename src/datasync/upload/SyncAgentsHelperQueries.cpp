// SyncAgentsHelper's questions to the stores: is anything unsent, is it due, did a device
// context reach the endpoint; and the registry record of the last KTA answer.
#include "datasync/upload/SyncAgentsHelper.h"
#include "datasync/upload/AgentLog.h"
#include "datasync/upload/FamilyRules.h"
#include "datasync/upload/InstalledStores.h"
#include "datasync/upload/UploadSteps.h"

namespace ZEL {
namespace DataSync {

std::int64_t SyncAgentsHelper::GetFirstIdFromDBWithDatasetId(const std::wstring& kindTypeName,
                                                             const std::wstring& datasetId,
                                                             utility::EGetDBPathMethod method) {
    kindTypeName.substr(6);  // a kind text shorter than six characters throws std::out_of_range
    return InstalledTables().FirstId({datasetId, kindTypeName, method});
}

std::int64_t SyncAgentsHelper::GetLastIdFromDBWithDatasetId(const std::wstring& kindTypeName,
                                                            const std::wstring& datasetId,
                                                            utility::EGetDBPathMethod method) {
    kindTypeName.substr(6);
    return InstalledTables().LastId({datasetId, kindTypeName, method});
}

bool SyncAgentsHelper::HaveData2Sync(utility::EGetDBPathMethod method) {
    const wchar_t* const function = L"ZEL::DataSync::SyncAgentsHelper::HaveData2Sync";
    upload::AgentLog().d(L"%s: Entry  type is %d synctype is %d dataset_id is %s: ", function,
                         static_cast<int>(method), static_cast<int>(m_syncType), m_datasetId);
    return upload::HaveUnsentRows(m_services.Get(), {function, m_syncPointFile, m_datasetId, m_syncType}, method);
}

bool SyncAgentsHelper::HaveData2SyncEx(utility::EGetDBPathMethod method, std::uint32_t frequency,
                                       std::string& logtime) {
    const wchar_t* const function = L"ZEL::DataSync::SyncAgentsHelper::HaveData2SyncEx";
    upload::AgentLog().d(L"%s: Entry type is %d synctype is %d dataset_id is %s: ", function,
                         static_cast<int>(method), static_cast<int>(m_syncType), m_datasetId);
    return upload::HaveUnsentRowsDue(m_services.Get(), {function, m_syncPointFile, m_datasetId, m_syncType}, method,
                                     frequency, logtime);
}

bool SyncAgentsHelper::IsSyncFrequencyElapsedSinceFirstTelemetryLogtime(const std::wstring& datasetId,
                                                                        const std::wstring& tableName,
                                                                        utility::EGetDBPathMethod method,
                                                                        std::uint32_t frequency,
                                                                        std::string& logtime) {
    return upload::IsFrequencyElapsedSinceNewestRow(InstalledTables(), datasetId, tableName, method, frequency,
                                                    logtime);
}

bool SyncAgentsHelper::IsDeviceContextSyncSuccess(const std::wstring& syncPointFile) {
    ZEL::DeviceContext newest;
    if (!InstalledTables().NewestDeviceContext(newest)) {
        upload::AgentLog().w(L"%s: GetLastDeviceContext no data",
                             L"ZEL::DataSync::SyncAgentsHelper::IsDeviceContextSyncSuccess");
        return false;
    }
    std::int64_t id = 0;
    return InstalledBookmarks().Read({syncPointFile, utility::DB_PATH_DEFAULT, L"", ZEL::DeviceContext::TypeName()},
                                     id) == BookmarkRead::Found;
}

void SyncAgentsHelper::SaveResponseForDeviceSupport(const ZELCore::HttpResponse& response) {
    upload::SaveKtaResponse(response);
}

}  // namespace DataSync
}  // namespace ZEL
