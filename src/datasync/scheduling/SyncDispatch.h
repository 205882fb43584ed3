// SyncDispatcher: uploads one telemetry database to every endpoint family its dataset names, in
// the order KTA, NAVS, NAVP, with the gates in front of and behind each upload, and tells
// whether any family still has rows of a file to send.
//
// In front of a KTA or NAVS upload, in this order: the certificate-expiry pause, the consent
// gate, the family's readiness, its back-off pre-check (which also holds the device-missing
// block). Behind it: the certificate-expiry check of the answer, the device-missing check, and
// only then the back-off bookkeeping. NAVP passes the consent gate only. The call's result is
// the result of the first family named, in that order.
//
// Thread safety: runs on the calling thread (the worker through SyncDB, the timer or a host
// thread) and holds no lock of its own; the gates guard their own state. Its waits (for a ready
// endpoint, for a purge to end) go through the agent's StopSignal and end when the agent stops.
#pragma once

#include <string>

#include "datasync/common/AgentState.h"
#include "datasync/common/StopSignal.h"
#include "datasync/config/Applicability.h"
#include "datasync/config/ConsentGate.h"
#include "datasync/config/DatasetPolicies.h"
#include "datasync/config/EndpointConfig.h"
#include "datasync/housekeeping/DevicePathPurge.h"
#include "datasync/host/Log.h"
#include "datasync/resilience/Backoff.h"
#include "datasync/resilience/CertExpiryPause.h"
#include "datasync/resilience/DeviceMissing.h"
#include "datasync/scheduling/DeviceContextSync.h"
#include "datasync/scheduling/SyncMap.h"
#include "datasync/scheduling/SyncReadiness.h"
#include "datasync/common/SyncTypes.h"

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
        const ConsentGate& consent;
        CertExpiryPause& certPause;
        ExponentialBackoff& backoff;
        DeviceMissingState& deviceMissing;
        const DevicePathPurge& purge;
        DeviceContextSync& deviceContext;
        const StopSignal& stop;
        Log& log;
    };

    explicit SyncDispatcher(const Parts& parts) : m_parts(parts), m_log(parts.log) {}

    // One file of the service folder ("DeviceContext.sqlite3" goes to the device-context sync).
    bool HandleNRT(std::wstring fileName) override;
    // One file of the shared folder, as the logged-on user; a failed post is tried once more.
    bool HandleSharedNRT(std::wstring fileName) override;
    bool DoPostWithLogonUser(std::wstring datasetId, int syncType, utility::EGetDBPathMethod method);
    bool DoPost(std::wstring datasetId, int syncType, utility::EGetDBPathMethod method, bool logonUser);
    bool DoKtaPost(const DataSet& policy, SyncTypes type, utility::EGetDBPathMethod method);
    bool DoNavsPost(const DataSet& policy, SyncTypes type, utility::EGetDBPathMethod method);
    bool DoNavpPost(const DataSet& policy, _NavpSyncType type, utility::EGetDBPathMethod method);

    // Whether any family the file's dataset names still has rows of it to send.
    bool RemainData2Sync(int method, std::wstring path) override;
    // As RemainData2Sync, asking whether the interval has also passed; `lastLogtime` receives
    // the log time the last family asked based its answer on.
    bool RemainData2SyncEx(int method, std::wstring path, unsigned long intervalSeconds, std::string& lastLogtime);

    void WaitWhileTelemetrySyncBlocked() override { m_parts.purge.WaitWhileTelemetrySyncBlocked(); }

private:
    // The gates in front of a KTA or NAVS upload; logs the post about to be made.
    bool MayPostTo(SyncEP::SyncEp_type family, const DataSet& policy, SyncTypes type, const wchar_t* function);
    // Posts one KTA or NAVS upload; false when the answer says the client certificate expired
    // (the pause starts, and nothing else is made of the answer).
    bool PostPastCertificateCheck(SyncEP::SyncEp_type family, const DataSet& policy, SyncTypes type,
                                  utility::EGetDBPathMethod method, const wchar_t* function,
                                  ZELCore::InvokeHttpResponse& response, int& result);
    // Waits in 250 ms steps until some family is ready; false when the agent stops first.
    bool WaitUntilSomeEndpointReady(const wchar_t* function);
    template <typename AskKtaOrNavs, typename AskNavp>
    bool AskFamiliesForRemainingRows(int method, const std::wstring& path, AskKtaOrNavs askKtaOrNavs, AskNavp askNavp,
                                     bool navpBeforeNavs);

    Parts m_parts;
    Log& m_log;
};

}  // namespace DataSync
}  // namespace ZEL
