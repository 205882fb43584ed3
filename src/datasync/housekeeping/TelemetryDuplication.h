// TelemetryDuplication: the server's "sendTelemetry" command. Rows already accepted lie behind
// their bookmarks and would never go again, so the newest row of each database of the named
// datasets is duplicated: the copy gets a new id past the bookmark and the normal sync sends it.
// A database with unsent rows is left alone (its rows go anyway). The user agent's dataset in the
// shared folder is duplicated by the user-agent process, asked through a pair of named events
// (its acknowledgement is awaited at most 30 s, or until the agent stops). With "collectionOnly"
// the command only waits for the host's collection and then releases on-demand sync.
//
// It also owns the four named events of that hand-shake, created at full initialisation (those
// of an earlier one closed first) and closed at shutdown.
//
// Thread safety: commands run on the agent's task threads, one hand-shake per thread of its own;
// the shared lists live in RecollectedTelemetry. The events are guarded by m_mutex, which is
// never held while anything is waited for.
#pragma once

#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "datasync/agent/SendTelemetryCommand.h"
#include "datasync/common/AgentState.h"
#include "datasync/common/StopSignal.h"
#include "datasync/config/Applicability.h"
#include "datasync/config/DatasetPolicies.h"
#include "datasync/host/HostFiles.h"
#include "datasync/housekeeping/RecollectedTelemetry.h"
#include "datasync/host/Log.h"
#include "datasync/host/TelemetryTables.h"
#include "datasync/host/Notification.h"
#include "datasync/housekeeping/RecollectedTelemetry.h"
#include "platform/KernelObjects.h"

namespace ZEL {
namespace DataSync {

class TelemetryDuplication {
public:
    struct Parts {
        const AgentState& state;
        const DatasetPolicies& policies;
        ApplicabilityGate& applicability;
        RecollectedTelemetry& recollected;
        TelemetryTables& tables;
        HostFiles& files;
        const StopSignal& stop;
        Log& log;
        // Whether rows of the file `name` under `root` are still unsent.
        std::function<bool(int root, const std::wstring& name)> remainData2Sync;
        // Marks the recollected files' scheduled records for an upload now.
        std::function<void()> allowSyncOfOnDemandTelemetry;
    };
    static constexpr platform::DWORD kAckTimeoutMs = 30000;

    explicit TelemetryDuplication(Parts parts) : m_parts(std::move(parts)), m_log(m_parts.log) {}
    ~TelemetryDuplication() { CloseGlobalEvents(); }
    TelemetryDuplication(const TelemetryDuplication&) = delete;
    TelemetryDuplication& operator=(const TelemetryDuplication&) = delete;

    void CreateGlobalEvents();
    void CloseGlobalEvents();

    void OnSendTelemetryCommand(ZELNotificationData& notification);
    void ListenToCollectionDoneNotification();
    void AddFileNamesToRecollectedTelemetry();
    void DuplicateTelemetryHandler(SendTelemetryCommandParams& params);
    void ProcessDuplicateTelemetryList(std::list<std::wstring>& names);
    // Duplicates the newest row of `dbName` when all of it has been sent; true when a row was added.
    bool DuplicateLastRecordInDB(std::wstring datasetId, std::wstring dbName);
    // Kind 0 item events, 1 dataset contexts: asks the user agent and waits for its ack.
    bool NotifyAndWaitForAck(int kind);

private:
    Parts m_parts;
    Log& m_log;
    std::mutex m_mutex;
    std::vector<platform::HANDLE> m_globalEvents;  // guarded by m_mutex
    platform::HANDLE m_hNotifyDuplicate;           // guarded by m_mutex
    platform::HANDLE m_hAckDuplicate;              // guarded by m_mutex
};

}  // namespace DataSync
}  // namespace ZEL
