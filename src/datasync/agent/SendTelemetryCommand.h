// The "sendTelemetry" server command: its parameters, parsed from the command's payload, and
// the handler that hands them to the agent's duplication callback. Also the texts of the
// registration trigger sources.
//
// Thread safety: the parsing and the trigger texts may be used from any thread. A handler keeps a
// reference to its log, which must outlive it; register the duplicate handler before commands can
// arrive, ProcessCommand then runs on the bus's thread.
#pragma once

#include <functional>
#include <list>
#include <string>

#include "datasync/host/Log.h"
#include "datasync/host/Notification.h"

namespace ZEL {

struct SendTelemetryCommandParams {
    std::list<std::wstring> datasets;  // dataset names
    bool collectionOnly = false;
    bool allDatasets = false;
};

class SendTelemetryCommandHandler {
public:
    using DuplicateHandler = std::function<void(SendTelemetryCommandParams&)>;

    explicit SendTelemetryCommandHandler(Log& log);

    // Reads command.fields of `payload`: "datasets" (a list of names, or one text of names
    // separated by ","), "collectionOnly" and "allDatasets" (booleans, or "true"/"false" in any
    // case). False, with one log line naming the problem, when the payload is not a command.
    static bool DeserializeSendTelemetryCommand(Log& log, const std::wstring& payload,
                                                SendTelemetryCommandParams& params);
    void RegisterDuplicateTelemetryHandler(DuplicateHandler handler);
    // Parses the notification's payload and calls the registered handler synchronously.
    bool ProcessCommand(ZELNotificationData& notification);

    // Blocks until the host's on-demand collection has finished (this host has none: at once).
    static void WaitForCollectionToComplete();
    // Ends waits in progress (service stop).
    static void Cancel();

private:
    Log& m_log;
    DuplicateHandler m_handler;
};

}  // namespace ZEL

namespace zel {
namespace registration {

class TriggerSourceConverter {
public:
    // 7 "InvokeManualRegistration", 8 "InvokeManualReRegistration"; other sources have names
    // of their own, and unknown numbers give "Unknown".
    static std::wstring toString(int triggerSource);
};

}  // namespace registration
}  // namespace zel
