// The control requests: checking each request's members, then acting on the host state, the
// bus or the agent.
#include "datasyncd/ControlRequests.h"

#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <vector>

#include "datasync/agent/SendTelemetryCommand.h"
#include "datasync/common/CompactJson.h"
#include "datasync/common/StringUtil.h"
#include "linuxhost/HostFolders.h"
#include "linuxhost/HostState.h"
#include "linuxhost/datastore/DataStore.h"
#include "linuxhost/logging/FileLogging.h"
#include "linuxhost/policy/PolicyFileAgent.h"

namespace datasyncd {
namespace {

using ZEL::linuxhost::DeviceState;
using ZEL::linuxhost::PushChannelState;

// A request the daemon refuses; the text goes to the client as "error".
class RequestError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string Quoted(const std::string& text) {
    Json::StreamWriterBuilder builder;
    builder["emitUTF8"] = true;
    return Json::writeString(builder, Json::Value(text));
}

using ZEL::String::UTF8ToUTF16;

void OnlyMembers(const Json::Value& request, const std::set<std::string>& allowed) {
    for (const std::string& name : request.getMemberNames())
        if (name != "cmd" && allowed.count(name) == 0)
            throw RequestError(request["cmd"].asString() + ": unknown member " + Quoted(name));
}

const Json::Value& Required(const Json::Value& request, const char* name) {
    if (!request.isMember(name)) throw RequestError(std::string(name) + ": missing");
    return request[name];
}

int IntMember(const Json::Value& request, const char* name) {
    const Json::Value& value = Required(request, name);
    if (!value.isInt()) throw RequestError(std::string(name) + ": expected a whole number");
    return value.asInt();
}

std::string TextMember(const Json::Value& request, const char* name, bool required) {
    if (!required && !request.isMember(name)) return std::string();
    const Json::Value& value = Required(request, name);
    if (!value.isString()) throw RequestError(std::string(name) + ": expected a string");
    return value.asString();
}

bool ParseBool(const std::string& key, const Json::Value& value) {
    if (value.isBool()) return value.asBool();
    if (value.isString() && value.asString() == "true") return true;
    if (value.isString() && value.asString() == "false") return false;
    const std::string shown = value.isString() ? Quoted(value.asString()) : ZEL::DataSync::CompactJson(value);
    throw RequestError(key + ": expected true or false, got " + shown);
}

std::string ParseText(const std::string& key, const Json::Value& value) {
    if (!value.isString()) throw RequestError(key + ": expected a string value");
    return value.asString();
}

Json::Value DescribeDevice(const DeviceState& device) {
    Json::Value out(Json::objectValue);
    out["id"] = device.id;
    out["online"] = device.online;
    out["registered"] = device.registered;
    out["realm"] = device.realm;
    out["consumer"] = device.consumer;
    out["commercial_org"] = device.commercial_org;
    out["anonymous_metrics"] = device.anonymous_metrics;
    out["critical_gateway_error"] = device.critical_gateway_error;
    out["attributes"] = Json::Value(Json::objectValue);
    for (const auto& attribute : device.attributes) out["attributes"][attribute.first] = attribute.second;
    return out;
}

// The settable keys with a bool (or text) member of the device or push channel state.
const std::map<std::string, bool DeviceState::*> kDeviceFlags = {
    {"device.online", &DeviceState::online},
    {"device.registered", &DeviceState::registered},
    {"device.consumer", &DeviceState::consumer},
    {"device.commercial_org", &DeviceState::commercial_org},
    {"device.anonymous_metrics", &DeviceState::anonymous_metrics},
    {"device.critical_gateway_error", &DeviceState::critical_gateway_error},
};
const std::map<std::string, std::string DeviceState::*> kDeviceTexts = {
    {"device.id", &DeviceState::id},
    {"device.realm", &DeviceState::realm},
};
const std::map<std::string, std::string PushChannelState::*> kPushTexts = {
    {"push_channel.mode", &PushChannelState::mode},
    {"push_channel.suppression", &PushChannelState::suppression},
};
const char* const kAttributePrefix = "device.attributes.";

// Refuses `cmd` unless `access` allows it; the refusal is logged once, here.
void CheckAccess(const std::string& cmd, ControlAccess access, const std::string& peer) {
    if (access == ControlAccess::Full) return;
    const bool readsOnly = cmd == "status" || cmd == "metrics";
    if (access == ControlAccess::ReadOnly && readsOnly) return;
    const std::string why = access == ControlAccess::ReadOnly
                                ? "changes need root or the daemon's user; members of control_read_group may ask "
                                  "for status and metrics only"
                                : "only root, the daemon's user and members of control_read_group may use the "
                                  "control socket";
    const std::string shown = Quoted(cmd);
    ZEL::linuxhost::HostLog().w(L"datasyncd: control socket: refused %s from %s: %s", UTF8ToUTF16(shown),
                                UTF8ToUTF16(peer), UTF8ToUTF16(why));
    throw RequestError(cmd + ": refused for " + peer + ": " + why);
}

std::string SettableKeys() {
    std::string keys;
    auto add = [&keys](const std::string& key) { keys += (keys.empty() ? "" : ", ") + key; };
    for (const auto& entry : kDeviceTexts) add(entry.first);
    for (const auto& entry : kDeviceFlags) add(entry.first);
    add(std::string(kAttributePrefix) + "NAME");
    for (const auto& entry : kPushTexts) add(entry.first);
    add("push_channel.connected");
    return keys;
}

}  // namespace

std::wstring RegistrationDonePayload(const std::string& deviceId, const std::wstring& triggerSource) {
    Json::Value payload(Json::objectValue);
    payload["success"] = true;
    payload["triggerSource"] = ZEL::String::UTF16ToUTF8(triggerSource);
    payload["deviceId"] = deviceId;
    payload["message"] = "";
    payload["code"] = 0;
    return UTF8ToUTF16(ZEL::DataSync::CompactJson(payload));
}

Json::Value DescribeHostState() {
    Json::Value host(Json::objectValue);
    host["device"] = DescribeDevice(ZEL::linuxhost::CurrentDeviceState());
    const PushChannelState push = ZEL::linuxhost::CurrentPushChannel();
    host["push_channel"]["mode"] = push.mode;
    host["push_channel"]["suppression"] = push.suppression;
    host["push_channel"]["connected"] = push.connected;
    const ZEL::linuxhost::HostFolders folders = ZEL::linuxhost::CurrentHostFolders();
    host["folders"]["service_db_dir"] = folders.service_db_dir;
    host["folders"]["shared_db_dir"] = folders.shared_db_dir;
    host["folders"]["local_db_dir"] = folders.local_db_dir;
    host["folders"]["log_dir"] = folders.log_dir;
    host["folders"]["state_dir"] = folders.state_dir;
    host["policy_file"] = ZEL::linuxhost::CurrentHostSettings().policy_file;
    // Databases the agent cannot write (a bookmark file owned by another user, say).
    host["read_only_databases"] = Json::Value(Json::arrayValue);
    for (const std::wstring& path : ZEL::DatabaseManager::GetInstance()->ReadOnlyDatabases())
        host["read_only_databases"].append(ZEL::String::UTF16ToUTF8(path));
    // The policy in force, and why the file's last reading was not taken (empty when it was).
    const auto policyAgent = std::dynamic_pointer_cast<ZEL::linuxhost::PolicyFileAgent>(
        zel::AgentFactory::GetInstance()->GetConfigPolicyAgent());
    if (policyAgent) {
        const ZEL::linuxhost::PolicyFileAgent::Status policy = policyAgent->CurrentStatus();
        host["policy"]["file"] = policy.file;
        host["policy"]["in_force"] = policy.inForce;
        host["policy"]["problem"] = policy.problem;
    }
    return host;
}

ControlRequests::ControlRequests(AgentHooks agent, ZEL::ZELPublisherSubscriber* bus,
                                 std::function<void()> awaitDelivery)
    : m_agent(std::move(agent)), m_bus(bus), m_awaitDelivery(std::move(awaitDelivery)) {}

std::string ControlRequests::HandleLine(const std::string& line, ControlAccess access, const std::string& peer) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value request;
    std::string errors;
    if (!reader->parse(line.data(), line.data() + line.size(), &request, &errors)) {
        Json::Value answer(Json::objectValue);
        answer["ok"] = false;
        std::string oneLine;
        for (char c : errors) oneLine.push_back(c == '\n' ? ' ' : c);
        answer["error"] = "request is not valid JSON: " + oneLine;
        return ZEL::DataSync::CompactJson(answer);
    }
    return ZEL::DataSync::CompactJson(Handle(request, access, peer));
}

Json::Value ControlRequests::Handle(const Json::Value& request, ControlAccess access, const std::string& peer) {
    try {
        if (!request.isObject()) throw RequestError("request must be a JSON object");
        const std::string cmd = TextMember(request, "cmd", true);
        CheckAccess(cmd, access, peer);
        if (cmd == "status") {
            OnlyMembers(request, {});
            return Status();
        }
        if (cmd == "notify") return Notify(request);
        if (cmd == "command") return Command(request);
        if (cmd == "set") return Set(request);
        if (cmd == "purge") {
            OnlyMembers(request, {});
            return Purge();
        }
        if (cmd == "resume") {
            OnlyMembers(request, {});
            return Resume();
        }
        if (cmd == "add-device-context") return AddDeviceContext(request);
        if (cmd == "metrics") {
            OnlyMembers(request, {});
            return Metrics();
        }
        throw RequestError(
            "cmd: unknown command " + Quoted(cmd) +
            " (known: status, notify, command, set, purge, resume, add-device-context, metrics)");
    } catch (const RequestError& error) {
        Json::Value answer(Json::objectValue);
        answer["ok"] = false;
        answer["error"] = error.what();
        return answer;
    }
}

Json::Value ControlRequests::Status() {
    Json::Value answer(Json::objectValue);
    answer["ok"] = true;
    answer["status"] = m_agent.statusSnapshot ? m_agent.statusSnapshot() : Json::Value(Json::objectValue);
    answer["host"] = DescribeHostState();
    if (m_agent.waiting) answer["waiting"] = m_agent.waiting();
    return answer;
}

void ControlRequests::Publish(ZEL::ZELNotificationData data, Json::Value& answer) {
    Json::Value published(Json::objectValue);
    published["topic"] = data.getTopicId();
    published["state"] = data.getEventState();
    m_bus->Notify(data, L"datasyncd-control");
    if (m_awaitDelivery) m_awaitDelivery();
    answer["published"].append(published);
}

Json::Value ControlRequests::Notify(const Json::Value& request) {
    OnlyMembers(request, {"topic", "state", "payload"});
    const int topic = IntMember(request, "topic");
    const int state = IntMember(request, "state");
    const std::string payload = TextMember(request, "payload", false);
    Json::Value answer(Json::objectValue);
    answer["ok"] = true;
    Publish(ZEL::ZELNotificationData(topic, state, UTF8ToUTF16(payload)), answer);
    return answer;
}

Json::Value ControlRequests::Command(const Json::Value& request) {
    OnlyMembers(request, {"action", "message", "fields"});
    const std::string action = TextMember(request, "action", true);
    const std::string message = TextMember(request, "message", true);
    std::map<std::wstring, std::wstring> fields;
    if (request.isMember("fields")) {
        const Json::Value& given = request["fields"];
        if (!given.isObject()) throw RequestError("fields: expected an object of strings");
        for (const std::string& name : given.getMemberNames()) {
            if (!given[name].isString()) throw RequestError("fields." + name + ": expected a string");
            fields[UTF8ToUTF16(name)] = UTF8ToUTF16(given[name].asString());
        }
    }
    Json::Value answer(Json::objectValue);
    answer["ok"] = true;
    Publish(ZEL::ZELNotificationData::MakeServerCommand(UTF8ToUTF16(action), UTF8ToUTF16(message), fields),
            answer);
    return answer;
}

Json::Value ControlRequests::Set(const Json::Value& request) {
    OnlyMembers(request, {"key", "value"});
    const std::string key = TextMember(request, "key", true);
    const Json::Value& value = Required(request, "value");
    Json::Value answer(Json::objectValue);
    answer["ok"] = true;
    answer["key"] = key;

    if (auto flag = kDeviceFlags.find(key); flag != kDeviceFlags.end()) {
        const bool on = ParseBool(key, value);
        bool DeviceState::*member = flag->second;
        ZEL::linuxhost::UpdateDeviceState([member, on](DeviceState& device) { device.*member = on; });
        answer["value"] = on;
        if (key == "device.online") {
            Publish(ZEL::ZELNotificationData(ZEL::TOPIC_DEVICE_READY, on ? ZEL::STATE_DONE : ZEL::STATE_NONE, L""),
                    answer);
        } else if (key == "device.registered") {
            if (on) {
                const std::wstring payload = RegistrationDonePayload(
                    ZEL::linuxhost::CurrentDeviceState().id, zel::registration::TriggerSourceConverter::toString(7));
                Publish(ZEL::ZELNotificationData(ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_DONE, payload), answer);
            } else {
                Publish(ZEL::ZELNotificationData(ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_REGISTRATION_CHANGED, L""),
                        answer);
            }
        }
        return answer;
    }
    if (auto text = kDeviceTexts.find(key); text != kDeviceTexts.end()) {
        const std::string given = ParseText(key, value);
        std::string DeviceState::*member = text->second;
        ZEL::linuxhost::UpdateDeviceState([member, &given](DeviceState& device) { device.*member = given; });
        answer["value"] = given;
        return answer;
    }
    if (key.compare(0, std::string(kAttributePrefix).size(), kAttributePrefix) == 0 &&
        key.size() > std::string(kAttributePrefix).size()) {
        const std::string name = key.substr(std::string(kAttributePrefix).size());
        const std::string given = ParseText(key, value);
        ZEL::linuxhost::UpdateDeviceState([&name, &given](DeviceState& device) {
            if (given.empty())
                device.attributes.erase(name);
            else
                device.attributes[name] = given;
        });
        answer["value"] = given;
        return answer;
    }
    if (auto text = kPushTexts.find(key); text != kPushTexts.end()) {
        const std::string given = ParseText(key, value);
        std::string PushChannelState::*member = text->second;
        ZEL::linuxhost::UpdatePushChannel([member, &given](PushChannelState& push) { push.*member = given; });
        answer["value"] = given;
        return answer;
    }
    if (key == "push_channel.connected") {
        const bool on = ParseBool(key, value);
        ZEL::linuxhost::UpdatePushChannel([on](PushChannelState& push) { push.connected = on; });
        answer["value"] = on;
        return answer;
    }
    throw RequestError("key: unknown key " + Quoted(key) + " (settable: " + SettableKeys() + ")");
}

Json::Value ControlRequests::Purge() {
    Json::Value answer(Json::objectValue);
    if (!m_agent.purge) throw RequestError("purge: not available");
    const Json::Value report = m_agent.purge();
    answer["ok"] = report["ok"].asBool();
    answer["purged"] = report;
    if (!answer["ok"].asBool()) answer["error"] = "purge failed: " + report["error"].asString();
    return answer;
}

Json::Value ControlRequests::Resume() {
    if (!m_agent.resume) throw RequestError("resume: not available");
    const std::string refused = m_agent.resume();
    if (!refused.empty()) throw RequestError("resume: " + refused);
    Json::Value answer(Json::objectValue);
    answer["ok"] = true;
    answer["resumed"] = true;
    return answer;
}

Json::Value ControlRequests::AddDeviceContext(const Json::Value& request) {
    OnlyMembers(request, {"id"});
    const Json::Value& id = Required(request, "id");
    if (!id.isIntegral() || !id.isInt64() || id.asInt64() <= 0)
        throw RequestError("id: expected a positive whole number (a DeviceContext record id)");
    if (!m_agent.addDeviceContext) throw RequestError("add-device-context: not available");
    const std::string refused = m_agent.addDeviceContext(id.asInt64());
    if (!refused.empty()) throw RequestError("add-device-context: " + refused);
    Json::Value answer(Json::objectValue);
    answer["ok"] = true;
    answer["id"] = static_cast<Json::Int64>(id.asInt64());
    if (!m_agent.addDeviceContextNote.empty()) answer["note"] = m_agent.addDeviceContextNote;
    return answer;
}

Json::Value ControlRequests::Metrics() {
    if (!m_agent.metrics) throw RequestError("metrics: not available");
    Json::Value answer(Json::objectValue);
    answer["ok"] = true;
    answer["metrics"] = m_agent.metrics();
    return answer;
}

}  // namespace datasyncd
