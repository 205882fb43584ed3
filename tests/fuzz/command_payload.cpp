// Server command payloads as the bus carries them (sendTelemetry parameters, the command accessors,
// topic 2's registration payload): none may throw; a sendTelemetry that parses names no empty dataset.
#include "datasync/agent/SendTelemetryCommand.h"
#include "datasync/host/Notification.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring payload = ZEL::String::UTF8ToUTF16(fuzz::Text(data, size));

    ZEL::SendTelemetryCommandParams params;
    if (ZEL::SendTelemetryCommandHandler::DeserializeSendTelemetryCommand(fuzz::DroppingLog(), payload, params)) {
        for (const std::wstring& dataset : params.datasets)
            fuzz::Check(!dataset.empty(), "sendTelemetry names no empty dataset", fuzz::Text(data, size));
    }

    const ZEL::ZELNotificationData command(0, 0, payload, ZEL::ZELNotificationData::Kind::KTA);
    (void)command.getMessageType();
    (void)command.getActionType();
    for (const wchar_t* field : {L"datasets", L"collectionOnly", L"allDatasets", L"randomDelay", L""})
        (void)command.getFieldValue(field);

    bool success = false;
    int code = 0;
    std::wstring deviceId, triggerSource, message;
    (void)command.deserializePayloadForDeviceRegistration(success, deviceId, triggerSource, message, code);
    return 0;
}
