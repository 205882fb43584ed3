// SyncDispatcher: uploads one telemetry database to every endpoint family its dataset names, in
// the order KTA, NAVS, NAVP, with the gates in front of and behind each upload, and tells
// whether any family still has rows of a file to send.
//
// In front of the families: the purge block, a ready endpoint, the dataset's policy and its
// applicability; each family then posts through the family leg (FamilyLeg.h), with its gates and
// its bookkeeping. The call's result is the result of the first family named, in that order; a
// device-missing answer from NAVS counts as done.
//
// Thread safety: runs on the calling thread (the worker through SyncDB, the timer or a host
// thread) and holds no lock of its own; the gates guard their own state. Its one wait (for a ready
// endpoint) goes through the agent's StopSignal and ends when the agent stops; a purge block is
// never waited for.
#pragma once

#include <string>

#include "datasync/common/AgentState.h"
#include "datasync/common/StopSignal.h"
#include "datasync/common/SyncTypes.h"
#include "datasync/common/UploadOutcome.h"
#include "datasync/config/Applicability.h"
#include "datasync/config/DatasetPolicies.h"
#include "datasync/config/EndpointConfig.h"
#include "datasync/housekeeping/DevicePathPurge.h"
#include "datasync/host/Log.h"
#include "datasync/scheduling/DeviceContextSync.h"
#include "datasync/scheduling/FamilyLeg.h"
#include "datasync/scheduling/SyncMap.h"
#include "datasync/scheduling/SyncReadiness.h"

namespace ZEL {
namespace DataSync {

class SyncDispatcher : public DatabaseUploader {
public:
    struct Parts {
        const AgentState& state;
        const SyncReadiness& readiness;
        const EndpointConfig& endpoints;
        const DatasetPolicies& policies;
        ApplicabilityGate& applicability;
        FamilyLeg& leg;
        const DevicePathPurge& purge;
        DeviceContextSync& deviceContext;
        const StopSignal& stop;
        Log& log;
    };

    explicit SyncDispatcher(const Parts& parts) : m_parts(parts), m_log(parts.log) {}

    // One file of the service folder ("DeviceContext.sqlite3" goes to the device-context sync).
    bool HandleNRT(std::wstring fileName) { return UploadServiceFile(fileName).done; }
    // One file of the shared folder, as the logged-on user; a failed post is tried once more.
    bool HandleSharedNRT(std::wstring fileName) { return UploadSharedFile(fileName).done; }
    DatabaseResult UploadServiceFile(const std::wstring& fileName) override;
    DatabaseResult UploadSharedFile(const std::wstring& fileName) override;
    bool DoPostWithLogonUser(std::wstring datasetId, int syncType, utility::EGetDBPathMethod method) {
        return PostAsLogonUser(datasetId, syncType, method).done;
    }
    bool DoPost(std::wstring datasetId, int syncType, utility::EGetDBPathMethod method, bool logonUser) {
        return Post(datasetId, syncType, method, logonUser).done;
    }
    bool DoKtaPost(const DataSet& policy, SyncTypes type, utility::EGetDBPathMethod method) {
        return PostFamily(SyncEP::SyncEP_KTA, policy, type, method).done;
    }
    bool DoNavsPost(const DataSet& policy, SyncTypes type, utility::EGetDBPathMethod method) {
        return PostFamily(SyncEP::SyncEP_NAVS, policy, type, method).done;
    }
    bool DoNavpPost(const DataSet& policy, _NavpSyncType type, utility::EGetDBPathMethod method) {
        return PostFamily(SyncEP::SyncEP_NAVP, policy, type, method).done;
    }

    // Whether any family the file's dataset names still has rows of it to send.
    bool RemainData2Sync(int method, std::wstring path) override;
    // As RemainData2Sync, asking whether the interval has also passed; `lastLogtime` receives
    // the log time the last family asked based its answer on.
    bool RemainData2SyncEx(int method, std::wstring path, unsigned long intervalSeconds, std::string& lastLogtime);


private:
    DatabaseResult PostAsLogonUser(const std::wstring& datasetId, int syncType, utility::EGetDBPathMethod method);
    DatabaseResult Post(const std::wstring& datasetId, int syncType, utility::EGetDBPathMethod method, bool logonUser);
    DatabaseResult PostFamily(SyncEP::SyncEp_type family, const DataSet& policy, int type,
                              utility::EGetDBPathMethod method);
    // Waits until some family is ready; false when the agent stops (or is no longer started) first.
    bool WaitUntilSomeEndpointReady(const wchar_t* function);
    template <typename AskKtaOrNavs, typename AskNavp>
    bool AskFamiliesForRemainingRows(int method, const std::wstring& path, AskKtaOrNavs askKtaOrNavs, AskNavp askNavp,
                                     bool navpBeforeNavs);

    Parts m_parts;
    Log& m_log;
};

}  // namespace DataSync
}  // namespace ZEL
