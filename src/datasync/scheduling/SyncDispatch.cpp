// Uploading one database to the endpoint families its dataset names, in the order KTA, NAVS,
// NAVP, with the gates in front of and behind each upload; and whether any family still has
// rows of a file to send.
#include "datasync/agent/DataSyncAgent.h"
#include "datasync/host/DataStore.h"
#include "datasync/host/Impersonation.h"
#include "datasync/host/StringUtil.h"
#include "datasync/upload/NavpSyncAgent.h"
#include "datasync/upload/SyncAgentsHelper.h"

using ZEL::DataSync::NavpSyncAgent;
using ZEL::DataSync::SyncAgentsHelper;

namespace {

std::wstring FileNameOfPath(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"/\\");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool DataSyncAgent::HandleNRT(std::wstring fileName) {
    if (fileName == L"DeviceContext.sqlite3") {
        IDataSyncAgent& agent = *this;
        return agent.HandleDeviceContext(fileName);
    }
    const std::wstring datasetId = ZEL::EventDataLogging::GetInstance()->GetDatasetId(fileName);
    return DoPost(datasetId, GetDataItemType(fileName), ZEL::utility::DB_PATH_DEFAULT, false);
}

bool DataSyncAgent::HandleSharedNRT(std::wstring fileName) {
    // The shared folder's global context is not uploaded from here: nothing to do.
    if (fileName == L"GlobalContext.sqlite3") return true;
    const std::wstring datasetId = ZEL::EventDataLogging::GetInstance()->GetDatasetId(fileName);
    const int type = GetDataItemType(fileName);
    bool ok = DoPostWithLogonUser(datasetId, type, ZEL::utility::DB_PATH_USER_SHARED);
    if (!ok) {
        m_log.d(L"%s, failed, retrytime=%d", L"DataSyncAgent::HandleSharedNRT", 0);
        ok = DoPostWithLogonUser(datasetId, type, ZEL::utility::DB_PATH_USER_SHARED);
    }
    return ok;
}

bool DataSyncAgent::DoPostWithLogonUser(std::wstring datasetId, int syncType, ZEL::utility::EGetDBPathMethod method) {
    const wchar_t* const function = L"DataSyncAgent::DoPostWithLogonUser";
    ZEL::ImpersonateUser user;
    m_log.d(L"%s: Enter log on user mode", function);
    const int rc = user.EnterLogOnUserMode();
    if (rc != 0) {
        m_log.e(L"%s: failed,should run it with system privilege,errorcode=%d\n", function, rc);
        return false;
    }
    const bool result = DoPost(datasetId, syncType, method, true);
    if (!ZEL::System::check_admin_privilege()) {
        m_log.d(L"%s: Exit log on user mode", function);
        user.ExitLogOnUserMode();
    }
    return result;
}

bool DataSyncAgent::WaitUntilSomeEndpointReady(const wchar_t* function) {
    while (!SomeEndpointReady()) {
        if (!_b_is_start) {
            m_log.d(L"%s: Service stop happened!", function);
            return false;
        }
        if (m_hServiceStop && platform::WaitForSingleObject(m_hServiceStop, 250) == platform::WAIT_OBJECT_0)
            return false;
        if (!m_hServiceStop) std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return true;
}

bool DataSyncAgent::DoPost(std::wstring datasetId, int syncType, ZEL::utility::EGetDBPathMethod method,
                           bool logonUser) {
    const wchar_t* const function = L"DataSyncAgent::DoPost";
    WaitWhileTelemetrySyncBlocked();
    if (IsTelemetrySyncBlocked()) {
        m_log.d(L"%s: device-path purge pending or in progress, skip sync post", function);
        return false;
    }
    if (!WaitUntilSomeEndpointReady(function)) return false;
    try {
        const ZEL::DataSet policy = GetDatasetPolicy(datasetId, 1);
        if (policy.dataset_id().empty()) {
            m_log.e(L"%s: -GetDatasetPolicy(%s) return null dataset!!", function, datasetId);
            return false;
        }
        if (!CheckApplicabilityFilterForDataset(policy)) return false;

        const SyncEP ep(policy.syncEPs());
        ZEL::ImpersonateUser user;
        const auto asUser = [&] {
            if (logonUser) user.EnterLogOnUserMode();
        };
        const auto type = static_cast<ZEL::DataSync::SyncTypes>(syncType);
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
        if (ep.isNAVPEnabled() && m_navpUrlValid) {
            asUser();
            const bool r = DoNavpPost(policy, static_cast<ZEL::DataSync::_NavpSyncType>(syncType), method);
            if (ep.isKTAEnabled() || ep.isNAVSEnabled())
                m_log.d(L"%s: try navp=%d", function, r ? 1 : 0);
            else
                result = r;
        }
        if (!ep.isValid()) m_log.e(L"%s: Invalid Sync endpoint:%s", function, policy.syncEPs());
        if (logonUser && !ZEL::System::check_admin_privilege()) {
            m_log.d(L"%s: Exit log on user mode", function);
            user.ExitLogOnUserMode();
        }
        return result;
    } catch (...) {
        m_log.e(L"%s failed with exception", function);
        return false;
    }
}

bool DataSyncAgent::MayPostTo(SyncEP::SyncEp_type family, const ZEL::DataSet& policy, ZEL::DataSync::SyncTypes type,
                              const wchar_t* function) {
    if (IsDataSyncPausedDueToCertExpiry()) {
        m_log.w(L"%s: Skipping sync - DataSync paused due to certificate expiry", function);
        return false;
    }
    if (!IsSyncAllowedByMetrics(policy.dataset_id())) return false;
    const bool kta = family == SyncEP::SyncEP_KTA;
    if (!(kta ? IsKtaSyncReady() : IsNavsSyncReady()) || !(kta ? ShouldPostForKta() : ShouldPostForNavs()))
        return false;
    m_log.d(L"%s: Making a sync post call for dataset:%s(type:%d)", function, policy.dataset_id(),
            static_cast<int>(type));
    return true;
}

bool DataSyncAgent::DoKtaPost(const ZEL::DataSet& policy, ZEL::DataSync::SyncTypes type,
                              ZEL::utility::EGetDBPathMethod method) {
    const wchar_t* const function = L"DataSyncAgent::DoKtaPost";
    if (!MayPostTo(SyncEP::SyncEP_KTA, policy, type, function)) return false;
    SyncAgentsHelper helper(policy.dataset_id(), CurrentEndpointUrls().kta, type, L"KTA", L"SyncPoint.sqlite3",
                            ZELCore::HTTP_AUTH_MTLS, false, method);
    ZELCore::InvokeHttpResponse response;
    const int ret = helper.doPost(response);
    if (CheckAndHandleCertificateExpiryError(response)) {
        m_log.e(L"%s: Certificate expiry detected for dataset:%s", function, policy.dataset_id());
        return false;
    }
    if (!CheckAndHandle403DeviceMissingError(response) && CheckForExponentialBackoffRetry(ret, SyncEP::SyncEP_KTA)) {
        m_log.e(L"%s: failed:%s(type:%d)-ret:%d", function, policy.dataset_id(), static_cast<int>(type), ret);
        return false;
    }
    if (ret == 0) {
        std::wstring name = L"syncRetryError";
        ZEL::utility::WriteErrorToRegistry(name, 0);
        return true;
    }
    if (ret == 1) return true;
    m_log.e(L"%s: failed:%s(type:%d)-ret:%d", function, policy.dataset_id(), static_cast<int>(type), ret);
    return false;
}

bool DataSyncAgent::DoNavsPost(const ZEL::DataSet& policy, ZEL::DataSync::SyncTypes type,
                               ZEL::utility::EGetDBPathMethod method) {
    const wchar_t* const function = L"DataSyncAgent::DoNavsPost";
    if (!MayPostTo(SyncEP::SyncEP_NAVS, policy, type, function)) return false;
    const EndpointUrls urls = CurrentEndpointUrls();
    SyncAgentsHelper helper(policy.dataset_id(), urls.navs, type, L"NAVS", L"Navs_SyncPoint.sqlite3", urls.navsAuth,
                            false, method);
    ZELCore::InvokeHttpResponse response;
    const int ret = helper.doPost(response);
    if (CheckAndHandleCertificateExpiryError(response)) {
        m_log.e(L"%s: Certificate expiry detected for dataset:%s", function, policy.dataset_id());
        return false;
    }
    if (CheckAndHandle403DeviceMissingError(response)) return true;
    if (CheckForExponentialBackoffRetry(ret, SyncEP::SyncEP_NAVS) || (ret != 0 && ret != 1)) {
        m_log.e(L"%s: failed:%s(type:%d)-ret:%d", function, policy.dataset_id(), static_cast<int>(type), ret);
        return false;
    }
    return true;
}

bool DataSyncAgent::DoNavpPost(const ZEL::DataSet& policy, ZEL::DataSync::_NavpSyncType type,
                               ZEL::utility::EGetDBPathMethod method) {
    if (!IsSyncAllowedByMetrics(policy.dataset_id())) return false;
    const int ret = NavpSyncAgent(policy.dataset_id(), CurrentEndpointUrls().navp, type, method).doPost();
    if (ret == 0 || ret == 1) return true;
    m_log.e(L"%s: failed:%s(type:%d)-ret:%d", L"DataSyncAgent::DoNavpPost", policy.dataset_id(),
            static_cast<int>(type), ret);
    return false;
}

bool DataSyncAgent::AskFamiliesForRemainingRows(int method, const std::wstring& path, const RemainingRowsQuestion& ask,
                                                bool navpBeforeNavs) {
    WaitWhileTelemetrySyncBlocked();
    const std::wstring fileName = FileNameOfPath(path);
    const int type = GetDataItemType(fileName);
    std::wstring datasetId = ZEL::EventDataLogging::GetInstance()->GetDatasetId(fileName);
    ZEL::DataSet policy;
    if (type == ZEL::DataSync::SYNC_DEVICE_CONTEXT) {
        policy = GetDatasetPolicy(L"DeviceContext", 0);
        datasetId.clear();
    } else {
        policy = GetDatasetPolicy(datasetId, 1);
    }
    const SyncEP ep(policy.syncEPs());
    const EndpointUrls urls = CurrentEndpointUrls();
    const auto root = static_cast<ZEL::utility::EGetDBPathMethod>(method);
    const auto syncType = static_cast<ZEL::DataSync::SyncTypes>(type);
    bool kta = false, navs = false, navp = false;
    const auto askNavs = [&] {
        if (!ep.isNAVSEnabled() || !m_navsUrlValid) return;
        SyncAgentsHelper helper(datasetId, urls.navs, syncType, L"NAVS", L"Navs_SyncPoint.sqlite3", urls.navsAuth,
                                false, ZEL::utility::DB_PATH_DEFAULT);
        navs = ask.ktaOrNavs(helper, root);
    };
    if (ep.isKTAEnabled() && m_ktaUrlValid) {
        SyncAgentsHelper helper(datasetId, urls.kta, syncType, L"KTA", L"SyncPoint.sqlite3", ZELCore::HTTP_AUTH_MTLS,
                                false, ZEL::utility::DB_PATH_DEFAULT);
        kta = ask.ktaOrNavs(helper, root);
    }
    if (!navpBeforeNavs) askNavs();
    if (ep.isNAVPEnabled() && m_navpUrlValid) {
        NavpSyncAgent agent(datasetId, urls.navp, static_cast<ZEL::DataSync::_NavpSyncType>(type),
                            ZEL::utility::DB_PATH_DEFAULT);
        navp = ask.navp(agent, root);
    }
    if (navpBeforeNavs) askNavs();
    m_log.d(L"%s: IsDataToSyncFound-> KTA: %d NAVP: %d NAVS: %d", L"DataSyncAgent::RemainData2Sync", kta ? 1 : 0,
            navp ? 1 : 0, navs ? 1 : 0);
    return kta || navs || navp;
}

bool DataSyncAgent::RemainData2Sync(int method, std::wstring path) {
    RemainingRowsQuestion ask;
    ask.ktaOrNavs = [](SyncAgentsHelper& helper, ZEL::utility::EGetDBPathMethod root) {
        return helper.HaveData2Sync(root);
    };
    ask.navp = [](NavpSyncAgent& agent, ZEL::utility::EGetDBPathMethod root) { return agent.HaveData2Sync(root); };
    return AskFamiliesForRemainingRows(method, path, ask, false);
}

bool DataSyncAgent::RemainData2SyncEx(int method, std::wstring path, unsigned long intervalSeconds,
                                      std::string& lastLogtime) {
    const auto interval = static_cast<std::uint32_t>(intervalSeconds);
    RemainingRowsQuestion ask;
    ask.ktaOrNavs = [&](SyncAgentsHelper& helper, ZEL::utility::EGetDBPathMethod root) {
        return helper.HaveData2SyncEx(root, interval, lastLogtime);
    };
    ask.navp = [&](NavpSyncAgent& agent, ZEL::utility::EGetDBPathMethod root) {
        return agent.HaveData2SyncEx(root, interval, lastLogtime);
    };
    return AskFamiliesForRemainingRows(method, path, ask, true);
}
