// Uploading one database to the families its dataset names, and the question whether any
// family still has rows of a file to send.
#include "datasync/scheduling/SyncDispatch.h"

#include <optional>

#include "datasync/common/ImpersonateUser.h"
#include "datasync/common/Paths.h"
#include "datasync/common/WellKnownIds.h"
#include "datasync/config/EndpointFamilies.h"

namespace ZEL {
namespace DataSync {
DatabaseResult SyncDispatcher::UploadServiceFile(const std::wstring& fileName) {
    if (fileName == kDeviceContextFileName) return m_parts.deviceContext.UploadDeviceContext(fileName);
    return Post(DatasetIdOfFile(fileName), GetDataItemType(fileName), utility::DB_PATH_DEFAULT, false);
}

DatabaseResult SyncDispatcher::UploadSharedFile(const std::wstring& fileName) {
    // The shared folder's global context is not uploaded from here: nothing to do.
    if (fileName == kGlobalContextFileName) return {true, UploadOutcome::Of(UploadResult::NothingToSend)};
    const std::wstring datasetId = DatasetIdOfFile(fileName);
    const int type = GetDataItemType(fileName);
    DatabaseResult result = PostAsLogonUser(datasetId, type, utility::DB_PATH_USER_SHARED);
    if (!result.done) {
        m_log.d(L"%s, failed, retrytime=%d", L"DataSyncAgent::HandleSharedNRT", 0);
        result = PostAsLogonUser(datasetId, type, utility::DB_PATH_USER_SHARED);
    }
    return result;
}

DatabaseResult SyncDispatcher::PostAsLogonUser(const std::wstring& datasetId, int syncType,
                                               utility::EGetDBPathMethod method) {
    const wchar_t* const function = L"DataSyncAgent::DoPostWithLogonUser";
    ImpersonateUser user;
    m_log.d(L"%s: Enter log on user mode", function);
    const int rc = user.EnterLogOnUserMode();
    if (rc != 0) {
        m_log.e(L"%s: failed,should run it with system privilege,errorcode=%d\n", function, rc);
        return {false, UploadOutcome::HeldBy("no_logon_user")};
    }
    const DatabaseResult result = Post(datasetId, syncType, method, true);
    if (!System::check_admin_privilege()) {
        m_log.d(L"%s: Exit log on user mode", function);
        user.ExitLogOnUserMode();
    }
    return result;
}

bool SyncDispatcher::WaitUntilSomeEndpointReady(const wchar_t* function) {
    // Woken by the flags and the families changing (StopSignal::Changed) and by a stop.
    bool ready = false;
    m_parts.stop.WaitUntil([this, &ready] {
        ready = m_parts.readiness.SomeEndpointReady();
        return ready || !m_parts.state._b_is_start;
    });
    if (!ready) m_log.d(L"%s: Service stop happened!", function);
    return ready;
}

DatabaseResult SyncDispatcher::Post(const std::wstring& datasetId, int syncType, utility::EGetDBPathMethod method,
                                    bool logonUser) {
    const wchar_t* const function = L"DataSyncAgent::DoPost";
    if (m_parts.purge.IsTelemetrySyncBlocked()) {
        m_log.d(L"%s: device-path purge pending or in progress, skip sync post", function);
        return {false, UploadOutcome::HeldBy("purge")};
    }
    if (!WaitUntilSomeEndpointReady(function)) return {false, UploadOutcome::HeldBy("not_ready")};
    try {
        const DataSet policy = m_parts.policies.GetDatasetPolicy(datasetId, 1);
        if (policy.dataset_id().empty()) {
            m_log.e(L"%s: -GetDatasetPolicy(%s) return null dataset!!", function, datasetId);
            return {false, UploadOutcome::HeldBy("no_policy")};
        }
        const SyncEP ep(policy.syncEPs());
        if (!m_parts.applicability.CheckApplicabilityFilterForDataset(policy)) {
            const UploadOutcome held = UploadOutcome::HeldBy("not_applicable");
            for (const EndpointFamily& family : kEndpointFamilies)
                if (ep.IsEnabled(family.type)) m_parts.leg.Record(datasetId, family.type, held);
            return {false, held};
        }

        ImpersonateUser user;
        std::optional<DatabaseResult> first;  // the first family named decides
        for (const SyncEP::SyncEp_type family : {SyncEP::SyncEP_KTA, SyncEP::SyncEP_NAVS, SyncEP::SyncEP_NAVP}) {
            if (!ep.IsEnabled(family)) continue;
            if (family == SyncEP::SyncEP_NAVP && !m_parts.endpoints.IsUrlValid(family)) continue;
            if (logonUser) user.EnterLogOnUserMode();
            const DatabaseResult r = PostFamily(family, policy, syncType, method);
            if (!first)
                first = r;
            else
                m_log.d(family == SyncEP::SyncEP_NAVS ? L"%s: try navs=%d" : L"%s: try navp=%d", function,
                        r.done ? 1 : 0);
        }
        if (!ep.isValid()) m_log.e(L"%s: Invalid Sync endpoint:%s", function, policy.syncEPs());
        if (logonUser && !System::check_admin_privilege()) {
            m_log.d(L"%s: Exit log on user mode", function);
            user.ExitLogOnUserMode();
        }
        return first.value_or(DatabaseResult{false, UploadOutcome::HeldBy("no_family")});
    } catch (...) {
        m_log.e(L"%s failed with exception", function);
        return {false, UploadOutcome::Of(UploadResult::Exception)};
    }
}

DatabaseResult SyncDispatcher::PostFamily(SyncEP::SyncEp_type family, const DataSet& policy, int type,
                                          utility::EGetDBPathMethod method) {
    static constexpr const wchar_t* kFunctions[] = {L"DataSyncAgent::DoKtaPost", L"DataSyncAgent::DoNavsPost",
                                                    L"DataSyncAgent::DoNavpPost"};
    const wchar_t* const function = kFunctions[family];
    const FamilyLeg::Result leg = m_parts.leg.Run({family, policy.dataset_id(), type, method, function});
    const UploadOutcome& outcome = leg.outcome;
    if (outcome.result == UploadResult::Held || leg.certificateExpired) return {false, outcome};
    // NAVS: the device-missing block now holds both families; this upload is done with.
    if (family == SyncEP::SyncEP_NAVS && leg.deviceMissing) return {true, outcome};
    if (outcome.Succeeded()) return {true, outcome};
    const int code = family == SyncEP::SyncEP_NAVP ? NavpSyncAgent::ResultCode(outcome)
                                                   : SyncAgentsHelper::ResultCode(outcome);
    // A bookmark file held after a failed write: said once by the upload, not on every pass.
    const bool held = outcome.result == UploadResult::BookmarkNotSaved && !outcome.PostAccepted();
    if (held)
        m_log.d(L"%s: failed:%s(type:%d)-ret:%d", function, policy.dataset_id(), type, code);
    else
        m_log.e(L"%s: failed:%s(type:%d)-ret:%d", function, policy.dataset_id(), type, code);
    return {false, outcome};
}

template <typename AskKtaOrNavs, typename AskNavp>
bool SyncDispatcher::AskFamiliesForRemainingRows(int method, const std::wstring& path, AskKtaOrNavs askKtaOrNavs,
                                                 AskNavp askNavp, bool navpBeforeNavs) {
    // While the purge blocks uploads, the rows wait for its end: the record keeps its triggers,
    // and nothing is read from files the purge may be changing.
    if (m_parts.purge.IsTelemetrySyncBlocked()) return true;
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
    const auto root = static_cast<utility::EGetDBPathMethod>(method);
    bool found[3] = {false, false, false};  // by family
    const auto askFamily = [&](SyncEP::SyncEp_type family) {
        if (!ep.IsEnabled(family) || !m_parts.endpoints.IsUrlValid(family)) return;
        if (family == SyncEP::SyncEP_NAVP) {
            NavpSyncAgent agent =
                m_parts.leg.NavpUploader(datasetId, static_cast<_NavpSyncType>(type), utility::DB_PATH_DEFAULT);
            found[family] = askNavp(agent, root);
            return;
        }
        SyncAgentsHelper helper =
            m_parts.leg.KtaNavsUploader(family, datasetId, static_cast<SyncTypes>(type), utility::DB_PATH_DEFAULT);
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
