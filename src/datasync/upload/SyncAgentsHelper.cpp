// The KTA/NAVS uploader's entry points over the one batch pipeline: which table and URL a sync
// type means, and the result codes made from the pipeline's outcome.
#include "datasync/upload/SyncAgentsHelper.h"

#include "datasync/upload/UploadSteps.h"

namespace ZEL {
namespace DataSync {

SyncAgentsHelper::SyncAgentsHelper(std::wstring datasetId, std::wstring baseUrl, SyncTypes syncType,
                                   std::wstring endpointName, std::wstring syncPointFile,
                                   ZELCore::HttpAuthType authType, bool transportFlag,
                                   utility::EGetDBPathMethod method)
    : m_datasetId(std::move(datasetId)),
      m_baseUrl(std::move(baseUrl)),
      m_syncPointFile(std::move(syncPointFile)),
      m_syncType(syncType),
      m_method(method),
      m_authType(authType),
      m_transportFlag(transportFlag),
      m_endpointName(std::move(endpointName)) {}

SyncAgentsHelper::SyncAgentsHelper(std::wstring datasetId, std::wstring baseUrl, SyncTypes syncType,
                                   std::wstring endpointName, utility::EGetDBPathMethod method)
    : SyncAgentsHelper(std::move(datasetId), std::move(baseUrl), syncType, std::move(endpointName),
                       kDefaultSyncPointFile, ZELCore::HTTP_AUTH_MTLS, false, method) {}

UploadOutcome SyncAgentsHelper::Upload(ZELCore::InvokeHttpResponse& response) {
    switch (m_syncType) {
        case SYNC_ITEM_EVENT: return Upload<ItemEvent>(L"events-data", response);
        case SYNC_DATASET_CONTEXT: return Upload<DatasetContext>(L"dataset-context", response);
        case SYNC_ITEM_CONTEXT: return Upload<ItemContext>(L"item-context", response);
        case SYNC_ALL_ITEM_KINDS:
            Upload<ItemEvent>(L"events-data", response);
            Upload<DatasetContext>(L"dataset-context", response);
            return Upload<ItemContext>(L"item-context", response);
        case SYNC_DEVICE_CONTEXT: return Upload<DeviceContext>(L"global-context", response);
        default: return UploadOutcome::Of(UploadResult::Posted);
    }
}

int SyncAgentsHelper::doPost(ZELCore::InvokeHttpResponse& response) { return ResultCode(Upload(response)); }

int SyncAgentsHelper::ResultCode(const UploadOutcome& outcome) {
    switch (outcome.result) {
        case UploadResult::Posted:
        case UploadResult::Dropped:
            return Posted;
        case UploadResult::NothingToSend:
        case UploadResult::Blocked:
        case UploadResult::NoIncludeList:
            return NothingToSend;
        case UploadResult::AllFiltered:
        case UploadResult::Undecodable:
            return NothingInBatch;
        case UploadResult::NoDeviceContext: return NoDeviceContext;
        case UploadResult::NotBuilt: return NoBody;
        case UploadResult::Failed: return outcome.status;
        default: return Failed;
    }
}

template <typename T>
UploadOutcome SyncAgentsHelper::Upload(const wchar_t* suffix, ZELCore::InvokeHttpResponse& response) {
    upload::KtaNavsRules rules;
    rules.bookmarkFile = m_syncPointFile;
    rules.endpointName = m_endpointName;
    rules.authType = m_authType;
    rules.transportFlag = m_transportFlag;
    return upload::UploadBatch<upload::KtaNavsRules, T>(rules, {m_datasetId, upload::JoinUrl(m_baseUrl, suffix), m_method},
                                                        m_services.Get(), response);
}

}  // namespace DataSync
}  // namespace ZEL
