// Single steps of the agent for tests and benchmarks: the scheduler's steps run on the calling
// thread, without the agent's worker, timer, watchers or device-context thread.
#pragma once

#include <string>

#include "datasync/agent/DataSyncAgent.h"

class DataSyncAgentTestAccess {
public:
    // Policy, endpoints and dataset lists as a full initialisation sets them; online and
    // registered; no threads, watchers or timers. Call Finish before the agent is destroyed.
    static void Prepare(DataSyncAgent& agent, const ZEL::TelemetryPolicy& policy) {
        ZEL::utility::InitLog(agent.m_log, L"DataSync.log", 4);
        agent.ResolveEndpointUrls(policy);
        agent._b_is_start = true;
        agent.BuildDatasetLists(policy);
        agent._b_is_online = true;
        agent._b_is_DevRegistered = true;
    }
    static void Finish(DataSyncAgent& agent) { agent._b_is_start = false; }
    static void Changed(DataSyncAgent& agent, const std::wstring& path, int root) {
        agent.DBChangesNotify(path, static_cast<ZEL::utility::EGetDBPathMethod>(root));
    }
    static void SyncDB(DataSyncAgent& agent, const std::wstring& key) { agent.SyncDB(key); }
    static void TimerPass(DataSyncAgent& agent) { agent.DoTimerPost(L""); }
    static bool DoPost(DataSyncAgent& agent, const std::wstring& datasetId) {
        return agent.DoPost(datasetId, 0, ZEL::utility::DB_PATH_INTERNAL, false);
    }
    static bool HandleSharedNRT(DataSyncAgent& agent, const std::wstring& name) { return agent.HandleSharedNRT(name); }
    static bool HandleDeviceContext(DataSyncAgent& agent) { return agent.HandleDeviceContext(L"DeviceContext.sqlite3"); }
    static bool DeviceContextSynced(DataSyncAgent& agent) { return agent.m_deviceContextSynced; }
    static std::size_t Queued(DataSyncAgent& agent) { return agent.m_msgQueue.Size(); }
    static DataSyncAgent::_sync_data& Record(DataSyncAgent& agent, const std::wstring& key) {
        return agent.m_syncMap[key];
    }
    static std::size_t Records(DataSyncAgent& agent) { return agent.m_syncMap.size(); }

    // Certificate pause, heartbeat, applicability
    static bool CertPauseGate(DataSyncAgent& agent) { return agent.IsDataSyncPausedDueToCertExpiry(); }
    static bool HandleCertExpiry(DataSyncAgent& agent, const ZELCore::InvokeHttpResponse& response) {
        return agent.CheckAndHandleCertificateExpiryError(response);
    }
    static void ResumeAfterCertRenewal(DataSyncAgent& agent) { agent.ResumeDataSyncAfterCertRenewal(); }
    // A device-registration notification (topic 2, state 0) as the bus hands it over.
    static void RegistrationDone(DataSyncAgent& agent) {
        agent.m_fullInitDone = true;
        ZEL::ZELNotificationData data(ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_DONE,
                                      LR"({"success":true,"triggerSource":"Test","deviceId":"dev","message":"","code":0})");
        agent.OnNotification(data);
    }
    static bool ShouldSyncHeartbeat(DataSyncAgent& agent, const std::wstring& path) {
        return agent.ShouldSyncHeartbeatTelemetry(path);
    }
    static bool ApplicableWithThrottling(DataSyncAgent& agent, const std::wstring& path, DataSyncAgent::_sync_data& record) {
        return agent.IsApplicableForSyncWithThrottling(path, record);
    }
    static bool DatasetApplicable(DataSyncAgent& agent, const ZEL::DataSet& dataset) {
        return agent.CheckApplicabilityFilterForDataset(dataset);
    }
    static bool AllowedByMetrics(DataSyncAgent& agent) { return agent.IsSyncAllowedByMetrics(); }
    static bool AllowedByMetrics(DataSyncAgent& agent, const std::wstring& datasetId) {
        return agent.IsSyncAllowedByMetrics(datasetId);
    }
    static bool AllowedByMetricsForFile(DataSyncAgent& agent, const std::wstring& path) {
        return agent.IsSyncAllowedByMetricsForFile(path);
    }

    // Back-off and device missing
    // The records a full initialisation creates, and the service-stop event Init would store.
    static void InitRetryInfo(DataSyncAgent& agent) { agent.InitRetryInfo(); }
    static void UseServiceStop(DataSyncAgent& agent, platform::HANDLE stop) { agent.m_hServiceStop = stop; }
    static bool ShouldPostForKta(DataSyncAgent& agent) { return agent.ShouldPostForKta(); }
    static bool ShouldPostForNavs(DataSyncAgent& agent) { return agent.ShouldPostForNavs(); }
    static bool BackoffResult(DataSyncAgent& agent, int result, SyncEP::SyncEp_type type) {
        return agent.CheckForExponentialBackoffRetry(result, type);
    }
    static bool ResetBackoffState(DataSyncAgent& agent, std::uint32_t delayMinutes) {
        agent.m_backoffResetDelayMinutes = delayMinutes;
        return agent.HandleResetBackoffState();
    }
    static bool ResetBackoffOnDnsRecovery(DataSyncAgent& agent) {
        return agent.HandleResetBackoffStateOnDnsRecovery();
    }
    static bool Handle403(DataSyncAgent& agent, ZELCore::InvokeHttpResponse response) {
        return agent.CheckAndHandle403DeviceMissingError(response);
    }
    // A host notification or server command as the bus thread hands it over after full
    // initialisation.
    static void Notify(DataSyncAgent& agent, ZEL::ZELNotificationData data) {
        agent.m_fullInitDone = true;
        agent.OnNotification(data);
    }
};
