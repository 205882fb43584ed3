// The notification record of the host's bus: its payload accessors and the builder of server
// commands. The bus is the host's; reading and building its records is plain JSON work and
// belongs to the module.
//
// Payloads are JSON texts kept as wide strings. Every accessor parses the payload afresh, which
// keeps the record a plain value (copied freely between threads) and costs little: payloads are
// small and read once or twice per notification. Parsing never throws; a payload that is not
// wholly one JSON value (trailing text included) reads as if the member were absent.
#include <json/json.h>

#include <memory>
#include <utility>

#include "datasync/common/CompactJson.h"
#include "datasync/common/StringUtil.h"
#include "datasync/host/Notification.h"

namespace ZEL {
namespace {

// The payload as a JSON value; null when it is not one whole JSON text.
Json::Value ParsePayload(const std::wstring& payload) {
    if (payload.empty()) return Json::Value();
    const std::string text = String::UTF16ToUTF8(payload);
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    Json::Value root;
    std::string errors;
    try {
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) return Json::Value();
    } catch (...) {
        // Only nesting deeper than the reader's stack limit throws; treat it as not JSON.
        return Json::Value();
    }
    return root;
}

// A scalar as the text a field reader expects: strings as they are, booleans "true"/"false",
// numbers in their JSON form; objects as compact JSON; null as empty.
std::wstring AsText(const Json::Value& value) {
    switch (value.type()) {
        case Json::nullValue:
            return std::wstring();
        case Json::stringValue:
            return String::UTF8ToUTF16(value.asString());
        case Json::booleanValue:
            return value.asBool() ? L"true" : L"false";
        case Json::intValue:
        case Json::uintValue:
        case Json::realValue:
        case Json::objectValue:
        case Json::arrayValue:
            break;
    }
    return String::UTF8ToUTF16(DataSync::CompactJson(value));
}

// payload.command.<name>, or null when the payload is no command object.
Json::Value CommandMember(const std::wstring& payload, const char* name) {
    const Json::Value root = ParsePayload(payload);
    if (!root.isObject()) return Json::Value();
    const Json::Value& command = root["command"];
    if (!command.isObject()) return Json::Value();
    return command[name];
}

}  // namespace

ZELNotificationData::ZELNotificationData(int topicId, int eventState, std::wstring payload, Kind kind)
    : m_topicId(topicId), m_eventState(eventState), m_payload(std::move(payload)), m_kind(kind) {}

ZELNotificationData ZELNotificationData::MakeServerCommand(
    const std::wstring& action, const std::wstring& message,
    const std::map<std::wstring, std::wstring>& fields) {
    Json::Value fieldsJson(Json::objectValue);
    for (const auto& field : fields)
        fieldsJson[String::UTF16ToUTF8(field.first)] = String::UTF16ToUTF8(field.second);
    Json::Value command(Json::objectValue);
    command["action"] = String::UTF16ToUTF8(action);
    command["message"] = String::UTF16ToUTF8(message);
    command["fields"] = fieldsJson;
    Json::Value root(Json::objectValue);
    root["command"] = command;
    return ZELNotificationData(0, 0, String::UTF8ToUTF16(DataSync::CompactJson(root)), Kind::KTA);
}

std::wstring ZELNotificationData::getMessageType() const {
    const Json::Value message = CommandMember(m_payload, "message");
    return message.isObject() || message.isArray() ? std::wstring() : AsText(message);
}

std::wstring ZELNotificationData::getActionType() const {
    const Json::Value action = CommandMember(m_payload, "action");
    return action.isObject() || action.isArray() ? std::wstring() : AsText(action);
}

std::wstring ZELNotificationData::getFieldValue(const std::wstring& name) const {
    const Json::Value fields = CommandMember(m_payload, "fields");
    if (!fields.isObject()) return std::wstring();
    const std::string key = String::UTF16ToUTF8(name);
    if (!fields.isMember(key)) return std::wstring();
    const Json::Value& value = fields[key];
    if (!value.isArray()) return AsText(value);
    std::wstring joined;
    for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
        if (i > 0) joined += L",";
        joined += AsText(value[i]);
    }
    return joined;
}

bool ZELNotificationData::deserializePayloadForDeviceRegistration(bool& success, std::wstring& deviceId,
                                                                  std::wstring& triggerSource,
                                                                  std::wstring& message, int& code) const {
    const Json::Value root = ParsePayload(m_payload);
    if (!root.isObject() || !root["success"].isBool()) return false;
    // Every member present must have its type; absent texts read as empty and an absent code as 0.
    const char* const textMembers[] = {"triggerSource", "deviceId", "message"};
    for (const char* member : textMembers) {
        if (root.isMember(member) && !root[member].isString()) return false;
    }
    if (root.isMember("code") && !root["code"].isInt()) return false;

    success = root["success"].asBool();
    triggerSource = String::UTF8ToUTF16(root.get("triggerSource", "").asString());
    deviceId = String::UTF8ToUTF16(root.get("deviceId", "").asString());
    message = String::UTF8ToUTF16(root.get("message", "").asString());
    code = root.isMember("code") ? root["code"].asInt() : 0;
    return true;
}

}  // namespace ZEL
