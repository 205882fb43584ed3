// The NAVP uploader's entry points over the one batch pipeline, its result codes, and its
// bookmark questions.
#include "datasync/upload/NavpSyncAgent.h"

#include "datasync/config/EndpointConfig.h"
#include "datasync/host/DeviceStatus.h"
#include "datasync/upload/AgentLog.h"
#include "datasync/upload/InstalledStores.h"
#include "datasync/upload/SyncAgentsHelper.h"
#include "datasync/upload/UploadSteps.h"

namespace ZEL {
namespace DataSync {

const std::wstring NavpSyncAgent::navpFileName = FamilyOf(SyncEP::SyncEP_NAVP).bookmarkFile;

NavpSyncAgent::NavpSyncAgent(std::wstring datasetId, std::wstring url, _NavpSyncType syncType,
                             utility::EGetDBPathMethod method)
    : m_header(InstalledStores().tables),
      m_url(std::move(url)),
      m_syncType(syncType),
      m_datasetId(std::move(datasetId)),
      m_method(method) {}

NavpSyncAgent::NavpSyncAgent(NavpHeader& header, std::wstring url)
    : m_header(header), m_url(std::move(url)), m_syncType(NAVP_ITEM_EVENT), m_method(utility::DB_PATH_DEFAULT) {}

UploadOutcome NavpSyncAgent::Upload() {
    switch (m_syncType) {
        case NAVP_ITEM_EVENT: return Upload<ItemEvent>();
        case NAVP_DATASET_CONTEXT: return Upload<DatasetContext>();
        case NAVP_DEVICE_CONTEXT:
            // The device context may have changed since the shared header was last loaded.
            if (!NavpHeader::GetInstance()->LoadDeviceContext()) return UploadOutcome::Of(UploadResult::Posted);
            return Upload<DeviceContext>();
        default: return UploadOutcome::Of(UploadResult::Posted);
    }
}

int NavpSyncAgent::doPost() { return ResultCode(Upload()); }

UploadOutcome NavpSyncAgent::PostRecord(std::int64_t recordId) {
    return upload::UploadChosenRow(Rules(), recordId, GetNavpSyncEndpoint(), m_services.Get());
}

int NavpSyncAgent::PostDeviceContext(std::int64_t recordId) { return ResultCode(PostRecord(recordId)); }

int NavpSyncAgent::ResultCode(const UploadOutcome& outcome) {
    switch (outcome.result) {
        case UploadResult::Posted:
        case UploadResult::AllFiltered:
            return Posted;
        case UploadResult::NothingToSend:
        case UploadResult::Blocked:
        case UploadResult::NoIncludeList:
            return NothingToSend;
        case UploadResult::Undecodable: return NothingInBatch;
        case UploadResult::NoDeviceContext:
        case UploadResult::NotBuilt:
            return NoBody;
        default: return Failed;
    }
}

upload::NavpRules NavpSyncAgent::Rules() {
    upload::NavpRules rules;
    rules.bookmarkFile = navpFileName;
    rules.header = &m_header;
    return rules;
}

template <typename T>
UploadOutcome NavpSyncAgent::Upload() {
    ZELCore::InvokeHttpResponse response;
    return upload::UploadBatch<upload::NavpRules, T>(Rules(), {m_datasetId, m_url, m_method}, m_services.Get(), response);
}

bool NavpSyncAgent::HaveData2Sync(utility::EGetDBPathMethod method) {
    return upload::HaveUnsentRows(
        m_services.Get(), {L"ZEL::DataSync::NavpSyncAgent::HaveData2Sync", navpFileName, m_datasetId, m_syncType}, method);
}

bool NavpSyncAgent::HaveData2SyncEx(utility::EGetDBPathMethod method, std::uint32_t frequency,
                                    std::string& logtime) {
    return upload::HaveUnsentRowsDue(
        m_services.Get(), {L"ZEL::DataSync::NavpSyncAgent::HaveData2SyncEx", navpFileName, m_datasetId, m_syncType}, method,
        frequency, logtime);
}

std::wstring NavpSyncAgent::GetNavpSyncEndpoint() {
    try {
        IConfigAgent* config = ConfigPolicyAgent::GetInstance();
        const std::shared_ptr<const TelemetryPolicy> policy =
            config == nullptr ? nullptr : config->TelemetryPolicyInForce();
        if (policy == nullptr) return L"";
        const std::wstring url = PolicyNavpUrl(*policy);
        EpUrlProvider* provider = EpUrlProvider::GetInstance();
        return provider != nullptr && provider->ValidateUri(url) ? url : L"";
    } catch (...) {
        upload::AgentLog().d(L"%s: Error getting Navp_SyncEP_url from config. Using default value",
                             L"ZEL::DataSync::NavpSyncAgent::GetNavpSyncEndpoint");
        return L"";
    }
}

}  // namespace DataSync
}  // namespace ZEL
