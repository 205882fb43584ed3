// The agent's state as one JSON object, as the control socket's "status" shows it: the flags,
// the endpoint families, the back-off records, the device-missing block, the certificate pause,
// the dataset lists, the sync-map records (with each one's last upload outcome), the bookmark files
// that refused a write, the purge, each folder's last retention run (or why its thread could not
// start: "failed to start: ..."), and the queue.
//
// Built from what the components published and from atomic flags only: it takes no lock of a
// component, so it answers at once whatever the agent is doing (an upload on the wire included).
// Times left (back-off wait, the 403 hour, the next heartbeat call) are computed at the call
// on the components' clock.
#pragma once

#include <json/json.h>

#include "datasync/housekeeping/DevicePathPurge.h"

namespace ZEL {
namespace DataSync {

class AgentComponents;

Json::Value AgentStatus(AgentComponents& components);
// What one device-path purge did, as the status and the purge request show it.
Json::Value PurgeReportJson(const DevicePathPurge::Report& report);

}  // namespace DataSync
}  // namespace ZEL
