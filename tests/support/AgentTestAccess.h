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
};
