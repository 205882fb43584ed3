// What the control socket's requests mean. One request is one JSON object with a "cmd"; the
// answer is {"ok":true,...} or {"ok":false,"error":"..."}, the error naming the member at fault.
//
//   {"cmd":"status"}
//       -> "status": the agent's snapshot; "host": device state, push channel, folders, policy file
//   {"cmd":"notify","topic":N,"state":N,"payload":"..."}     publishes a notification
//   {"cmd":"command","action":"..","message":"..","fields":{"k":"v"}}
//                                                            publishes a server command
//   {"cmd":"set","key":"device.online","value":"false"}     changes one device.* or push_channel.*
//       value; booleans are "true"/"false". Changes the agent must hear of are also announced:
//       device.online -> topic 6 state 0 (true) or 41 (false); device.registered -> topic 2
//       state 0 with a manual-registration payload (true) or state 12, registration changed
//       (false). device.attributes.NAME sets one attribute; an empty value removes it.
//   {"cmd":"purge"}                                         the agent's device-path purge; "purged":
//       what it did; ok false (with "error") when it failed
//   {"cmd":"resume"}                                        lifts the block of a completed purge
//   {"cmd":"add-device-context","id":N}                     hands record N to the agent; ok
//       false (with "error" naming the file and the id) when there is no such record
//   {"cmd":"metrics"}                                       -> "metrics": the Prometheus text
//       (Metrics.h), as the metrics_textfile holds it
//
// Members a command does not know are errors, so a misspelt member never goes unnoticed.
//
// Access (ControlAccess.h): a peer with read-only access may ask for "status" and "metrics"
// only, a peer without access for nothing. A refused request is answered {"ok":false,"error":
// "<cmd>: refused: ..."} naming the peer and why, and logged as one line in host.log.
//
// Publishing: after each publication the `awaitDelivery` hook runs (the daemon waits there, with
// a bound, until the bus has delivered), so that an answer means the agent has seen the change
// and a status asked next shows it.
//
// Thread safety: one request at a time (the control server's thread); the host state it changes
// is itself safe to change while the agent reads it.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <functional>
#include <string>

#include "datasync/host/Notification.h"
#include "datasyncd/ControlAccess.h"

namespace datasyncd {

// The registration payload of topic 2: {"success":true,"triggerSource":..,"deviceId":..,
// "message":"","code":0}.
std::wstring RegistrationDonePayload(const std::string& deviceId, const std::wstring& triggerSource);

// The host's run-time state as the status answer's "host" member shows it (transport settings
// are left out: they may name key files).
Json::Value DescribeHostState();

class ControlRequests {
public:
    // The agent as the requests reach it.
    struct AgentHooks {
        std::function<Json::Value()> statusSnapshot;
        // The purge's report: "ok", "error" and the counts.
        std::function<Json::Value()> purge;
        // Empty when the block was lifted, else why not.
        std::function<std::string()> resume;
        std::function<Json::Value()> waiting;  // the rows waiting and why (WaitingRows.h)
        // Hands the record over when it exists: empty then, else why not (naming file and id).
        std::function<std::string(std::int64_t)> addDeviceContext;
        // The metrics text; empty when not available.
        std::function<std::string()> metrics;
        // Added as "note" to the answer of add-device-context when not empty: tells the caller
        // honestly what the agent does (not) do with the request in this build.
        std::string addDeviceContextNote;
    };

    // `bus` (not owned) must outlive this object; `awaitDelivery` may be empty.
    ControlRequests(AgentHooks agent, ZEL::ZELPublisherSubscriber* bus, std::function<void()> awaitDelivery);

    // One request line to one answer line (never throws for bad input), from a peer (described
    // by `peer` in refusals) with `access`.
    std::string HandleLine(const std::string& line, ControlAccess access, const std::string& peer);
    // The same from a peer with full access.
    std::string HandleLine(const std::string& line) { return HandleLine(line, ControlAccess::Full, std::string()); }
    Json::Value Handle(const Json::Value& request, ControlAccess access = ControlAccess::Full,
                       const std::string& peer = std::string());

private:
    Json::Value Status();
    Json::Value Notify(const Json::Value& request);
    Json::Value Command(const Json::Value& request);
    Json::Value Set(const Json::Value& request);
    Json::Value Purge();
    Json::Value Resume();
    Json::Value AddDeviceContext(const Json::Value& request);
    Json::Value Metrics();

    void Publish(ZEL::ZELNotificationData data, Json::Value& answer);

    AgentHooks m_agent;
    ZEL::ZELPublisherSubscriber* m_bus;
    std::function<void()> m_awaitDelivery;
};

}  // namespace datasyncd
