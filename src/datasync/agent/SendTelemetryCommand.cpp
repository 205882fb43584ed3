// The "sendTelemetry" server command: parsing its payload and handing the parameters to the
// agent.
//
// The payload must be one JSON object {"command": {"action": "run", "message": "sendTelemetry",
// "fields": {...}}}; action and message are compared ignoring case, and a missing "fields" means
// no parameters. In "fields":
//   "datasets"        a list of names, or one text of names separated by ","; each name is
//                     trimmed of blanks and empty names are dropped; missing or null: none.
//   "collectionOnly",
//   "allDatasets"     true/false, or the texts "true"/"false" in any case; missing or null: false.
// Any other shape is a bad payload: one line in the given log names the problem, the call
// returns false and the parameters are left as they were. Parsing never throws.
//
// Thread safety: DeserializeSendTelemetryCommand may run on any thread. Register the handler
// before commands can arrive; ProcessCommand then runs on the bus's thread.
#include "datasync/agent/SendTelemetryCommand.h"

#include <json/json.h>

#include <memory>

#include "datasync/common/StringUtil.h"

namespace ZEL {
namespace {

const std::wstring kBlanks = L" \t\r\n";

void AddName(std::wstring name, std::list<std::wstring>& names) {
    String::trim(name, kBlanks);
    if (!name.empty()) names.push_back(std::move(name));
}

// Reads "datasets"; false, with `problem` set, when it has another shape.
bool ReadDatasets(const Json::Value& value, std::list<std::wstring>& names, std::wstring& problem) {
    if (value.isNull()) return true;
    if (value.isString()) {
        for (const std::wstring& name : String::Split(String::UTF8ToUTF16(value.asString()), L","))
            AddName(name, names);
        return true;
    }
    if (!value.isArray()) {
        problem = L"\"datasets\" is neither a list nor a text";
        return false;
    }
    for (const Json::Value& entry : value) {
        if (!entry.isString()) {
            problem = L"\"datasets\" holds an entry that is not a text";
            return false;
        }
        AddName(String::UTF8ToUTF16(entry.asString()), names);
    }
    return true;
}

// Reads a flag; false, with `problem` set, when it is neither a boolean nor "true"/"false".
bool ReadFlag(const Json::Value& fields, const char* name, bool& flag, std::wstring& problem) {
    const Json::Value& value = fields[name];
    if (value.isNull()) {
        flag = false;
        return true;
    }
    if (value.isBool()) {
        flag = value.asBool();
        return true;
    }
    if (value.isString()) {
        std::wstring text = String::UTF8ToUTF16(value.asString());
        String::trim(text, kBlanks);
        if (String::CaseInsesitiveEqual(text, L"true") || String::CaseInsesitiveEqual(text, L"false")) {
            flag = String::CaseInsesitiveEqual(text, L"true");
            return true;
        }
    }
    problem = L"\"" + String::UTF8ToUTF16(name) + L"\" is not true or false";
    return false;
}

bool IsText(const Json::Value& value, const wchar_t* expected) {
    return value.isString() && String::CaseInsesitiveEqual(String::UTF8ToUTF16(value.asString()), expected);
}

// The parameters of `payload`, or false with `problem` set.
bool Parse(const std::wstring& payload, SendTelemetryCommandParams& params, std::wstring& problem) {
    const std::string text = String::UTF16ToUTF8(payload);
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors) || !root.isObject()) {
        problem = L"payload is not a JSON object";
        return false;
    }
    const Json::Value& command = root["command"];
    if (!command.isObject()) {
        problem = L"payload has no \"command\" object";
        return false;
    }
    if (!IsText(command["action"], L"run") || !IsText(command["message"], L"sendTelemetry")) {
        problem = L"command is not run/sendTelemetry";
        return false;
    }
    const Json::Value& fields = command["fields"];
    if (!fields.isNull() && !fields.isObject()) {
        problem = L"\"fields\" is not an object";
        return false;
    }
    const Json::Value noFields(Json::objectValue);
    const Json::Value& source = fields.isNull() ? noFields : fields;
    return ReadDatasets(source["datasets"], params.datasets, problem) &&
           ReadFlag(source, "collectionOnly", params.collectionOnly, problem) &&
           ReadFlag(source, "allDatasets", params.allDatasets, problem);
}

}  // namespace

SendTelemetryCommandHandler::SendTelemetryCommandHandler(Log& log) : m_log(log) {}

bool SendTelemetryCommandHandler::DeserializeSendTelemetryCommand(Log& log, const std::wstring& payload,
                                                                  SendTelemetryCommandParams& params) {
    SendTelemetryCommandParams parsed;
    std::wstring problem;
    bool ok = false;
    try {
        ok = Parse(payload, parsed, problem);
    } catch (const std::exception& error) {  // jsoncpp reports some limits by throwing
        problem = L"payload cannot be read: " + String::UTF8ToUTF16(error.what());
    }
    if (!ok) {
        log.w(L"SendTelemetryCommand: %s", problem);
        return false;
    }
    params = std::move(parsed);
    return true;
}

void SendTelemetryCommandHandler::RegisterDuplicateTelemetryHandler(DuplicateHandler handler) {
    m_handler = std::move(handler);
}

bool SendTelemetryCommandHandler::ProcessCommand(ZELNotificationData& notification) {
    if (!m_handler) {
        m_log.w(L"SendTelemetryCommand: no handler registered; command ignored");
        return false;
    }
    SendTelemetryCommandParams params;
    if (!DeserializeSendTelemetryCommand(m_log, notification.getPayload(), params)) return false;
    m_handler(params);
    return true;
}

// This host runs no collectors of its own, so there is never a collection to wait for.
void SendTelemetryCommandHandler::WaitForCollectionToComplete() {}

// Nothing ever waits (see above), so there is nothing to end.
void SendTelemetryCommandHandler::Cancel() {}

}  // namespace ZEL
