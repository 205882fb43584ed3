// TelemetryDuplication: duplication of telemetry on the "sendTelemetry" command, and what the
// timer pass needs of it: the database files an on-demand collection or duplication wrote, per
// dataset name, and the pending acknowledgements of the user agent's writes. It also owns the
// four named events of the user-agent hand-shake, created at full initialisation and closed at
// shutdown (and before they are created again).
//
// Not built yet: the command is logged once as unavailable.
//
// Thread safety: any thread; the lists, futures and events are guarded by m_mutex, which is
// never held while a future is waited for or a line is logged.
#pragma once

#include <atomic>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "datasync/host/Log.h"
#include "datasync/host/Notification.h"
#include "platform/KernelObjects.h"

namespace ZEL {
namespace DataSync {

class TelemetryDuplication {
public:
    explicit TelemetryDuplication(Log& log);
    ~TelemetryDuplication();
    TelemetryDuplication(const TelemetryDuplication&) = delete;
    TelemetryDuplication& operator=(const TelemetryDuplication&) = delete;

    // Creates the four named events (closing those of an earlier call first).
    void CreateGlobalEvents();
    void CloseGlobalEvents();

    void OnSendTelemetryCommand(ZELNotificationData& data);

    // Waits for every pending acknowledgement and forgets them; true when all were given.
    bool TakeAcknowledgements();
    // The recollected database file names, by dataset name.
    std::map<std::wstring, std::vector<std::wstring>> RecollectedTelemetry() const;

private:
    Log& m_log;
    mutable std::mutex m_mutex;
    std::vector<platform::HANDLE> m_globalEvents;                        // guarded by m_mutex
    platform::HANDLE m_hNotifyDuplicate;                                 // guarded by m_mutex
    platform::HANDLE m_hAckDuplicate;                                    // guarded by m_mutex
    std::map<std::wstring, std::vector<std::wstring>> m_recollectedTelemetry;  // guarded by m_mutex
    std::vector<std::future<bool>> m_duplicateFutures;                   // guarded by m_mutex
    std::atomic<bool> m_unavailableLogged{false};
};

}  // namespace DataSync
}  // namespace ZEL
