// HeartbeatSuppression: while the host keeps its push channel (MQTT) connected, that connection
// already tells the server the device is alive, so the timer pass leaves the device-status
// database alone when the configuration asks for it. Suppressed only when all hold: the channel
// mode is "nomqtt", the suppression mode is not "none" (both any case), and the push channel is
// connected; whatever the host cannot tell counts as "no suppression".
//
// The decision is recomputed from the host's state on every call; two latches only make the log
// show one line per change of the decision.
//
// Thread safety: called by the timer pass only, one call at a time; the latches are plain
// booleans. The host's agents are held by shared pointer for the length of a call.
#pragma once

#include <string>

#include "datasync/host/Log.h"

namespace ZEL {
namespace DataSync {

class HeartbeatSuppression {
public:
    explicit HeartbeatSuppression(Log& log) : m_log(log) {}

    // True when the timer may upload `dbPath` now; false for the suppressed device-status
    // database (its id in any case anywhere in the path).
    bool ShouldSyncHeartbeatTelemetry(const std::wstring& dbPath);
    // The suppression condition itself; ignores its argument.
    bool ShouldSuppressDeviceStatusHeartbeatSync(std::wstring& dbPath);

private:
    Log& m_log;
    bool m_heartbeatSuppressedLogged = false;
    bool m_heartbeatNotSuppressedLogged = false;
};

}  // namespace DataSync
}  // namespace ZEL
