// Uploading one database to the families its dataset names, and the question whether any
// family still has rows of a file to send.
#include "datasync/scheduling/SyncDispatch.h"

#include "datasync/common/Paths.h"
#include "datasync/common/WellKnownIds.h"
#include "datasync/host/Impersonation.h"
#include "datasync/scheduling/FamilyUploader.h"

namespace ZEL {
namespace DataSync {
namespace {

constexpr std::uint64_t kReadyPollMs = 250;

}  // namespace

bool SyncDispatcher::HandleNRT(std::wstring fileName) {
    if (fileName == kDeviceContextFileName) return m_parts.deviceContext.HandleDeviceContext(fileName);
    return DoPost(DatasetIdOfFile(fileName), GetDataItemType(fileName), utility::DB_PATH_DEFAULT, false);
}

bool SyncDispatcher::HandleSharedNRT(std::wstring fileName) {
    // The shared folder's global context is not uploaded from here: nothing to do.
    if (fileName == kGlobalContextFileName) return true;
    const std::wstring datasetId = DatasetIdOfFile(fileName);
    const int type = GetDataItemType(fileName);
    bool ok = DoPostWithLogonUser(datasetId, type, utility::DB_PATH_USER_SHARED);
    if (!ok) {
        m_log.d(L"%s, failed, retrytime=%d", L"DataSyncAgent::HandleSharedNRT", 0);
        ok = DoPostWithLogonUser(datasetId, type, utility::DB_PATH_USER_SHARED);
    }
    return ok;
}

bool SyncDispatcher::DoPostWithLogonUser(std::wstring datasetId, int syncType, utility::EGetDBPathMethod method) {
    const wchar_t* const function = L"DataSyncAgent::DoPostWithLogonUser";
    ImpersonateUser user;
    m_log.d(L"%s: Enter log on user mode", function);
    const int rc = user.EnterLogOnUserMode();
    if (rc != 0) {
        m_log.e(L"%s: failed,should run it with system privilege,errorcode=%d\n", function, rc);
        return false;
    }
    const bool result = DoPost(datasetId, syncType, method, true);
    if (!System::check_admin_privilege()) {
        m_log.d(L"%s: Exit log on user mode", function);
        user.ExitLogOnUserMode();
    }
    return result;
}

bool SyncDispatcher::WaitUntilSomeEndpointReady(const wchar_t* function) {
    while (!m_parts.readiness.SomeEndpointReady()) {
        if (!m_parts.state._b_is_start || m_parts.stop.WaitFor(kReadyPollMs)) {
            m_log.d(L"%s: Service stop happened!", function);
            return false;
        }
    }
    return true;
}

bool SyncDispatcher::DoPost(std::wstring datasetId, int syncType, utility::EGetDBPathMethod method, bool logonUser) {
    const wchar_t* const function = L"DataSyncAgent::DoPost";
    m_parts.purge.WaitWhileTelemetrySyncBlocked();
    if (m_parts.purge.IsTelemetrySyncBlocked()) {
        m_log.d(L"%s: device-path purge pending or in progress, skip sync post", function);
        return false;
    }
    if (!WaitUntilSomeEndpointReady(function)) return false;
    try {
        const DataSet policy = m_parts.policies.GetDatasetPolicy(datasetId, 1);
        if (policy.dataset_id().empty()) {
            m_log.e(L"%s: -GetDatasetPolicy(%s) return null dataset!!", function, datasetId);
            return false;
        }
        if (!m_parts.applicability.CheckApplicabilityFilterForDataset(policy)) return false;

        const SyncEP ep(policy.syncEPs());
        ImpersonateUser user;
        const auto asUser = [&] {
            if (logonUser) user.EnterLogOnUserMode();
        };
        const auto type = static_cast<SyncTypes>(syncType);
        bool result = false;
        if (ep.isKTAEnabled()) {
            asUser();
            result = DoKtaPost(policy, type, method);
        }
        if (ep.isNAVSEnabled()) {
            asUser();
            const bool r = DoNavsPost(policy, type, method);
            if (ep.isKTAEnabled())
                m_log.d(L"%s: try navs=%d", function, r ? 1 : 0);
            else
                result = r;
        }
        if (ep.isNAVPEnabled() && m_parts.endpoints.IsUrlValid(SyncEP::SyncEP_NAVP)) {
            asUser();
            const bool r = DoNavpPost(policy, static_cast<_NavpSyncType>(syncType), method);
            if (ep.isKTAEnabled() || ep.isNAVSEnabled())
                m_log.d(L"%s: try navp=%d", function, r ? 1 : 0);
            else
                result = r;
        }
        if (!ep.isValid()) m_log.e(L"%s: Invalid Sync endpoint:%s", function, policy.syncEPs());
        if (logonUser && !System::check_admin_privilege()) {
            m_log.d(L"%s: Exit log on user mode", function);
            user.ExitLogOnUserMode();
        }
        return result;
    } catch (...) {
        m_log.e(L"%s failed with exception", function);
        return false;
    }
}

bool SyncDispatcher::MayPostTo(SyncEP::SyncEp_type family, const DataSet& policy, SyncTypes type,
                               const wchar_t* function) {
    if (m_parts.certPause.IsDataSyncPausedDueToCertExpiry()) {
        m_log.w(L"%s: Skipping sync - DataSync paused due to certificate expiry", function);
        return false;
    }
    if (!m_parts.consent.IsSyncAllowedByMetrics(policy.dataset_id())) return false;
    const bool kta = family == SyncEP::SyncEP_KTA;
    if (!(kta ? m_parts.readiness.IsKtaSyncReady() : m_parts.readiness.IsNavsSyncReady())) return false;
    if (!(kta ? m_parts.backoff.ShouldPostForKta() : m_parts.backoff.ShouldPostForNavs())) return false;
    m_log.d(L"%s: Making a sync post call for dataset:%s(type:%d)", function, policy.dataset_id(),
            static_cast<int>(type));
    return true;
}

bool SyncDispatcher::PostPastCertificateCheck(SyncEP::SyncEp_type family, const DataSet& policy, SyncTypes type,
                                              utility::EGetDBPathMethod method, const wchar_t* function,
                                              ZELCore::InvokeHttpResponse& response, int& result) {
    result = FamilyUploader(family, m_parts.endpoints.CurrentEndpointUrls(), policy.dataset_id(), type, method,
                            m_parts.purge)
                 .doPost(response);
    if (!m_parts.certPause.CheckAndHandleCertificateExpiryError(response)) return true;
    m_log.e(L"%s: Certificate expiry detected for dataset:%s", function, policy.dataset_id());
    return false;
}

bool SyncDispatcher::DoKtaPost(const DataSet& policy, SyncTypes type, utility::EGetDBPathMethod method) {
    const wchar_t* const function = L"DataSyncAgent::DoKtaPost";
    if (!MayPostTo(SyncEP::SyncEP_KTA, policy, type, function)) return false;
    ZELCore::InvokeHttpResponse response;
    int ret = 0;
    if (!PostPastCertificateCheck(SyncEP::SyncEP_KTA, policy, type, method, function, response, ret)) return false;
    if (!m_parts.deviceMissing.CheckAndHandle403DeviceMissingError(response) &&
        m_parts.backoff.CheckForExponentialBackoffRetry(ret, SyncEP::SyncEP_KTA)) {
        m_log.e(L"%s: failed:%s(type:%d)-ret:%d", function, policy.dataset_id(), static_cast<int>(type), ret);
        return false;
    }
    if (ret == 0) {
        std::wstring name = L"syncRetryError";
        utility::WriteErrorToRegistry(name, 0);
        return true;
    }
    if (ret == 1) return true;
    m_log.e(L"%s: failed:%s(type:%d)-ret:%d", function, policy.dataset_id(), static_cast<int>(type), ret);
    return false;
}

bool SyncDispatcher::DoNavsPost(const DataSet& policy, SyncTypes type, utility::EGetDBPathMethod method) {
    const wchar_t* const function = L"DataSyncAgent::DoNavsPost";
    if (!MayPostTo(SyncEP::SyncEP_NAVS, policy, type, function)) return false;
    ZELCore::InvokeHttpResponse response;
    int ret = 0;
    if (!PostPastCertificateCheck(SyncEP::SyncEP_NAVS, policy, type, method, function, response, ret)) return false;
    if (m_parts.deviceMissing.CheckAndHandle403DeviceMissingError(response)) return true;
    if (m_parts.backoff.CheckForExponentialBackoffRetry(ret, SyncEP::SyncEP_NAVS) || (ret != 0 && ret != 1)) {
        m_log.e(L"%s: failed:%s(type:%d)-ret:%d", function, policy.dataset_id(), static_cast<int>(type), ret);
        return false;
    }
    return true;
}

bool SyncDispatcher::DoNavpPost(const DataSet& policy, _NavpSyncType type, utility::EGetDBPathMethod method) {
    if (!m_parts.consent.IsSyncAllowedByMetrics(policy.dataset_id())) return false;
    const int ret =
        NavpUploader(m_parts.endpoints.CurrentEndpointUrls(), policy.dataset_id(), type, method, m_parts.purge).doPost();
    if (ret == 0 || ret == 1) return true;
    m_log.e(L"%s: failed:%s(type:%d)-ret:%d", L"DataSyncAgent::DoNavpPost", policy.dataset_id(),
            static_cast<int>(type), ret);
    return false;
}

template <typename AskKtaOrNavs, typename AskNavp>
bool SyncDispatcher::AskFamiliesForRemainingRows(int method, const std::wstring& path, AskKtaOrNavs askKtaOrNavs,
                                                 AskNavp askNavp, bool navpBeforeNavs) {
    m_parts.purge.WaitWhileTelemetrySyncBlocked();
    const std::wstring fileName = FileNameOfPath(path);
    const int type = GetDataItemType(fileName);
    std::wstring datasetId = DatasetIdOfFile(fileName);
    DataSet policy;
    if (type == SYNC_DEVICE_CONTEXT) {
        policy = m_parts.policies.GetDatasetPolicy(kDeviceContextDatasetName, 0);
        datasetId.clear();
    } else {
        policy = m_parts.policies.GetDatasetPolicy(datasetId, 1);
    }
    const SyncEP ep(policy.syncEPs());
    const EndpointUrls urls = m_parts.endpoints.CurrentEndpointUrls();
    const auto root = static_cast<utility::EGetDBPathMethod>(method);
    bool found[3] = {false, false, false};  // by family
    const auto askFamily = [&](SyncEP::SyncEp_type family) {
        if (!ep.IsEnabled(family) || !m_parts.endpoints.IsUrlValid(family)) return;
        if (family == SyncEP::SyncEP_NAVP) {
            NavpSyncAgent agent =
                NavpUploader(urls, datasetId, static_cast<_NavpSyncType>(type), utility::DB_PATH_DEFAULT, m_parts.purge);
            found[family] = askNavp(agent, root);
            return;
        }
        SyncAgentsHelper helper = FamilyUploader(family, urls, datasetId, static_cast<SyncTypes>(type),
                                                 utility::DB_PATH_DEFAULT, m_parts.purge);
        found[family] = askKtaOrNavs(helper, root);
    };
    askFamily(SyncEP::SyncEP_KTA);
    askFamily(navpBeforeNavs ? SyncEP::SyncEP_NAVP : SyncEP::SyncEP_NAVS);
    askFamily(navpBeforeNavs ? SyncEP::SyncEP_NAVS : SyncEP::SyncEP_NAVP);
    m_log.d(L"%s: IsDataToSyncFound-> KTA: %d NAVP: %d NAVS: %d", L"DataSyncAgent::RemainData2Sync",
            found[SyncEP::SyncEP_KTA] ? 1 : 0, found[SyncEP::SyncEP_NAVP] ? 1 : 0, found[SyncEP::SyncEP_NAVS] ? 1 : 0);
    return found[0] || found[1] || found[2];
}

bool SyncDispatcher::RemainData2Sync(int method, std::wstring path) {
    return AskFamiliesForRemainingRows(
        method, path, [](SyncAgentsHelper& helper, utility::EGetDBPathMethod root) { return helper.HaveData2Sync(root); },
        [](NavpSyncAgent& agent, utility::EGetDBPathMethod root) { return agent.HaveData2Sync(root); }, false);
}

bool SyncDispatcher::RemainData2SyncEx(int method, std::wstring path, unsigned long intervalSeconds,
                                       std::string& lastLogtime) {
    const auto interval = static_cast<std::uint32_t>(intervalSeconds);
    return AskFamiliesForRemainingRows(
        method, path,
        [&](SyncAgentsHelper& helper, utility::EGetDBPathMethod root) {
            return helper.HaveData2SyncEx(root, interval, lastLogtime);
        },
        [&](NavpSyncAgent& agent, utility::EGetDBPathMethod root) {
            return agent.HaveData2SyncEx(root, interval, lastLogtime);
        },
        true);
}

}  // namespace DataSync
}  // namespace ZEL
