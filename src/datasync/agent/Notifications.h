// NotificationHandler: the agent's reaction to host notifications and server commands, the
// start-up reading of the last registration and device-ready states, and the registration
// request.
//
//   topic 2 state 0/11  registration: registered, 403 block lifted, certificate pause resumed,
//                       DEVICE_ONLINE queued when online
//   topic 2 state 12    registered = the transport's answer
//   topic 4 state 14    restart (policy changed)          topic 13, any state: restart (clock)
//   topic 5 state 16    DEVICE_CONTEXT_CHANGE queued      topic 6 state 0/41: online / offline
//   topic 7 state 1     daily maintenance (retention)     topic 10 state 13: DNS recovery reset
//   server commands     "set" resetBackOffState, "run" removeDevice, "run" sendTelemetry
// Before the first full initialisation only topics 2 and 6 get a grace wait of 500 ms; the rest
// is dropped. What arrives while a restart runs (BeginRestart .. EndRestart) is kept, in order,
// and handled once the restart is done.
//
// Thread safety: OnNotification runs on the bus thread, serialised with ReadLastNotifications
// by m_notificationMutex. A restart is not run under that mutex: it runs after the handling,
// on the bus thread, through the agent's lifecycle. Asynchronous work runs on TaskRunner tasks,
// each with its own copy of what it needs. The grace wait holds no lock and ends on a stop.
// m_keptMutex is held only while the kept notifications or their flags change, never while one
// is handled.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "datasync/agent/TaskRunner.h"
#include "datasync/common/AgentState.h"
#include "datasync/common/MessageQueue.h"
#include "datasync/common/StopSignal.h"
#include "datasync/common/SyncMessage.h"
#include "datasync/host/Log.h"
#include "datasync/host/Notification.h"
#include "datasync/resilience/Backoff.h"
#include "datasync/resilience/CertExpiryPause.h"
#include "datasync/resilience/DeviceMissing.h"

namespace ZEL {
namespace DataSync {

class NotificationHandler {
public:
    struct Parts {
        AgentState& state;
        CMessageQueue<sync_msg>& queue;
        DeviceMissingState& deviceMissing;
        CertExpiryPause& certPause;
        ExponentialBackoff& backoff;
        TaskRunner& tasks;
        const StopSignal& stop;
        Log& log;
    };
    // What the agent does on a restart, a daily maintenance and a sendTelemetry command.
    struct Hooks {
        std::function<void(const wchar_t* reason)> restart;
        std::function<void()> dailyMaintenance;
        std::function<void(ZELNotificationData)> sendTelemetry;
    };

    NotificationHandler(const Parts& parts, Hooks hooks) : m_parts(parts), m_hooks(std::move(hooks)), m_log(parts.log) {}

    // Subscribes OnNotification to the host's bus / removes the subscription (waiting for a
    // callback in progress). Both are safe twice.
    void Subscribe();
    void Unsubscribe();

    void OnNotification(ZELNotificationData& data);
    // A restart of an agent that ran begins / has ended (any thread). From the first
    // BeginRestart until the last EndRestart notifications are kept, in arrival order, instead of
    // handled. EndRestart(true) then handles them on the calling thread, with those that arrive
    // meanwhile behind them; EndRestart(false), when the agent stops, drops them.
    void BeginRestart();
    void EndRestart(bool handleKept);
    void ReadLastNotifications();
    bool SendRegistrationRequest();

private:
    // OnNotification for a notification that is not kept.
    void Deliver(ZELNotificationData& data);
    // Handles one notification under m_notificationMutex; returns the reason text of a restart
    // it asks for, or null.
    const wchar_t* Handle(ZELNotificationData& data, int topic, int state);
    void HandleRegistrationDone(ZELNotificationData& data);
    void HandleServerCommand(ZELNotificationData& data);
    void PutDeviceOnline(const wchar_t* function, const wchar_t* ok, const wchar_t* failed);

    Parts m_parts;
    Hooks m_hooks;
    Log& m_log;
    std::mutex m_notificationMutex;
    std::mutex m_subscriptionMutex;
    std::wstring m_subscriptionId;  // guarded by m_subscriptionMutex
    std::mutex m_keptMutex;
    std::deque<ZELNotificationData> m_kept;  // guarded by m_keptMutex
    int m_restarts = 0;                      // restarts running; guarded by m_keptMutex
    bool m_handlingKept = false;             // a thread handles m_kept; guarded by m_keptMutex
};

}  // namespace DataSync
}  // namespace ZEL
