// datasyncctl: talks to a running datasyncd over its control socket (state_dir/control.sock):
// shows its status, publishes notifications and server commands, changes device and push
// channel values, hands purge and device-context requests to the agent, and prints the daemon's
// metrics (Prometheus text). `datasyncctl demo`
// runs the end-to-end demo instead (see Demo.h).
//
// Exit status: 0 done; 1 the daemon cannot be reached or refused the request (the reason goes
// to stderr); 2 bad usage.
#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "datasyncctl/ControlClient.h"
#include "datasyncctl/Demo.h"
#include "datasyncctl/StatusSummary.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Bad usage found after CLI11 accepted the command line (a payload that is not JSON, ...).
struct UsageError {
    std::string text;
};

bool ParseJson(const std::string& text, Json::Value& value, std::string& errors) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["failIfExtra"] = true;
    builder["strictRoot"] = false;  // a payload may be any JSON value
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    return reader->parse(text.data(), text.data() + text.size(), &value, &errors);
}

// jsoncpp's error texts span lines; an error message is one.
std::string OneLine(const std::string& text) {
    std::string out;
    for (char c : text) {
        const bool blank = c == '\n' || c == ' ' || c == '\t';
        if (blank && (out.empty() || out.back() == ' ')) continue;
        out.push_back(blank ? ' ' : c);
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// Sends one request; prints the error and returns false for an {"ok":false} answer.
bool Send(const std::string& stateDir, const Json::Value& request, Json::Value& answer) {
    datasyncctl::ControlClient client(datasyncctl::ControlClient::SocketPathOf(stateDir));
    client.Connect();
    answer = client.Request(request);
    if (answer["ok"].asBool()) return true;
    const Json::Value& error = answer["error"];
    std::fprintf(stderr, "datasyncctl: %s\n", error.isString() ? error.asString().c_str() : "the daemon refused the request");
    return false;
}

// Unix seconds as local time, "%Y-%m-%dT%H:%M:%S".
std::string LocalTimeText(std::int64_t seconds) {
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm local{};
    char text[32] = "?";
    if (localtime_r(&when, &local) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

void PrintNote(const Json::Value& answer) {
    if (answer.isMember("note") && answer["note"].isString()) std::printf("note: %s\n", answer["note"].asString().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"datasyncctl: control a running datasyncd through its control socket (STATE_DIR/control.sock)."};
    std::string stateDir = "/var/lib/datasync/state/";
    app.add_option("--state-dir", stateDir, "the daemon's state folder, which holds control.sock")
        ->type_name("DIR")
        ->envname("DATASYNC_STATE_DIR")
        ->capture_default_str();
    app.set_version_flag("--version", "datasyncctl " DATASYNC_VERSION, "print the version and exit");
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 done; 1 no daemon answers or it refused the request; 2 bad usage.\n"
        "Examples:\n"
        "  datasyncctl --state-dir /tmp/datasync/state status\n"
        "  datasyncctl --state-dir /tmp/datasync/state set device.online false\n"
        "  datasyncctl --state-dir /tmp/datasync/state command run sendTelemetry --field datasets=CPUEvent");

    bool statusJson = false;
    CLI::App* status = app.add_subcommand("status", "show the agent's and the host's state");
    status->add_flag("--json", statusJson, "print the daemon's whole answer as JSON");

    int topic = 0;
    int state = 0;
    std::string payload;
    CLI::App* notify = app.add_subcommand("notify", "publish a notification on the daemon's bus");
    notify->add_option("TOPIC", topic, "topic id (2 registration, 4 policy, 5 device context, 6 device ready, ...)")
        ->required();
    notify->add_option("STATE", state, "event state (0 done/online, 14 policy changed, 41 offline, ...)")->required();
    notify->add_option("--payload", payload, "the notification's payload, a JSON text")->type_name("JSON");

    std::string action;
    std::string message;
    std::vector<std::string> fieldArgs;
    CLI::App* command = app.add_subcommand("command", "publish a server command (a KTA notification)");
    command->add_option("ACTION", action, "the command's action, e.g. run")->required();
    command->add_option("MESSAGE", message, "the command's message, e.g. sendTelemetry")->required();
    command->add_option("--field", fieldArgs, "a field of the command, NAME=VALUE; repeatable")
        ->type_name("NAME=VALUE")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);

    std::string key;
    std::string value;
    CLI::App* set = app.add_subcommand(
        "set", "change a device.* or push_channel.* value (e.g. device.online false, device.attributes.os_name Linux)");
    set->add_option("KEY", key, "the key, e.g. device.online")->required();
    set->add_option("VALUE", value, "the new value; booleans are true or false")->required();
    set->footer(
        "Keys: device.id, device.realm (texts); device.online, device.registered, device.consumer,\n"
        "device.commercial_org, device.anonymous_metrics, device.critical_gateway_error (true/false);\n"
        "device.attributes.NAME (text; empty removes it); push_channel.mode, push_channel.suppression\n"
        "(texts); push_channel.connected (true/false).\n"
        "device.online is announced to the agent (topic 6 state 0 or 41), and so is device.registered\n"
        "(topic 2: state 0, a manual registration, or state 12, registration changed).");

    CLI::App* purge = app.add_subcommand(
        "purge", "purge local telemetry after a device path or realm change, and print what was purged");
    purge->footer(
        "Without a detected change it purges what was logged up to now all the same, and uploads stay blocked\n"
        "until `datasyncctl resume` or the next registration.\n"
        "Exit status: 0 when the purge completed, 1 when it failed (what was purged is printed all the same).");
    CLI::App* resume = app.add_subcommand(
        "resume", "lift the upload block of a completed purge (the purge markers are removed)");

    CLI::App* metrics = app.add_subcommand(
        "metrics", "print the daemon's metrics as Prometheus text (what its metrics_textfile holds)");
    metrics->footer(
        "Counters (rows and batches accepted, failures by class) count since the daemon started.\n"
        "Example: datasyncctl metrics | promtool check metrics");

    std::int64_t recordId = 0;
    CLI::App* addDeviceContext =
        app.add_subcommand("add-device-context",
                           "hand a DeviceContext record to the agent for upload (exit 1 when the service "
                           "folder's DeviceContext.sqlite3 holds no such record)");
    addDeviceContext->add_option("ID", recordId, "the record's id in DeviceContext.sqlite3")->required();

    datasyncctl::DemoOptions demoOptions;
    CLI::App* demo = app.add_subcommand(
        "demo", "run the end-to-end demo: a collector, a daemon and live telemetry rows (needs no daemon)");
    demo->add_option("--rows", demoOptions.rows, "telemetry rows to write per dataset")->capture_default_str();
    demo->add_option("--seconds", demoOptions.seconds,
                     "write the rows over this many seconds (default 10, or half of --timeout when shorter)");
    demo->add_option("--timeout", demoOptions.timeout,
                     "give up waiting for the uploads this many seconds after the start")
        ->capture_default_str();
    demo->add_option("--interval", demoOptions.scheduledFrequency,
                     "syncEP_frequency of the scheduled NAVP dataset, e.g. 30s or 1m")
        ->capture_default_str();
    demo->add_option("--base", demoOptions.base,
                     "run in this folder (created when missing; must be empty) and keep it; "
                     "default: a fresh temporary folder, removed at the end")
        ->type_name("DIR");
    demo->add_flag("--keep", demoOptions.keep, "keep the temporary base folder (config, logs, databases, records)");
    demo->add_option("--daemon", demoOptions.daemonPath, "the datasyncd to run (default: the one beside datasyncctl)")
        ->type_name("PATH");
    demo->add_option("--collector", demoOptions.collectorPath,
                     "the datasync-collector to run (default: the one beside datasyncctl)")
        ->type_name("PATH");
    demo->footer(
        "Exit status: 0 when every row reached every endpoint family its dataset names; 1 when rows are\n"
        "missing at the deadline or something could not be set up; 2 bad usage.");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? 0 : kExitUsage;
    }

    try {
        Json::Value request(Json::objectValue);
        Json::Value answer;
        if (*demo) return datasyncctl::RunDemo(demoOptions);
        if (*status) {
            request["cmd"] = "status";
            if (!Send(stateDir, request, answer)) return kExitFailed;
            if (statusJson) {
                Json::StreamWriterBuilder writer;
                writer["indentation"] = "  ";
                writer["emitUTF8"] = true;
                std::cout << Json::writeString(writer, answer) << "\n";
            } else {
                datasyncctl::WriteStatusSummary(answer, std::cout);
            }
            return 0;
        }
        if (*notify) {
            if (!payload.empty()) {
                Json::Value parsed;
                std::string errors;
                if (!ParseJson(payload, parsed, errors))
                    throw UsageError{"--payload is not valid JSON: " + OneLine(errors)};
            }
            request["cmd"] = "notify";
            request["topic"] = topic;
            request["state"] = state;
            request["payload"] = payload;
            if (!Send(stateDir, request, answer)) return kExitFailed;
            std::printf("published topic %d state %d\n", topic, state);
            return 0;
        }
        if (*command) {
            Json::Value fields(Json::objectValue);
            for (const std::string& field : fieldArgs) {
                const size_t equals = field.find('=');
                if (equals == std::string::npos || equals == 0)
                    throw UsageError{"--field must be NAME=VALUE, got \"" + field + "\""};
                const std::string name = field.substr(0, equals);
                if (fields.isMember(name)) throw UsageError{"--field " + name + " given twice"};
                fields[name] = field.substr(equals + 1);
            }
            request["cmd"] = "command";
            request["action"] = action;
            request["message"] = message;
            request["fields"] = fields;
            if (!Send(stateDir, request, answer)) return kExitFailed;
            std::printf("published server command %s %s\n", action.c_str(), message.c_str());
            return 0;
        }
        if (*set) {
            request["cmd"] = "set";
            request["key"] = key;
            request["value"] = value;
            if (!Send(stateDir, request, answer)) return kExitFailed;
            std::printf("%s = %s\n", key.c_str(), value.c_str());
            for (const Json::Value& published : answer["published"])
                std::printf("published topic %d state %d\n", published["topic"].asInt(), published["state"].asInt());
            return 0;
        }
        if (*purge) {
            request["cmd"] = "purge";
            const bool ok = Send(stateDir, request, answer);
            const Json::Value& purged = answer["purged"];
            if (purged.isObject())
                std::printf("purged rows logged up to %s: %lld rows deleted in %d files, %lld bookmarks cleared in %d "
                            "files, %lld device contexts cleared\n",
                            LocalTimeText(purged["cutoff_utc"].asInt64()).c_str(),
                            static_cast<long long>(purged["rows_deleted"].asInt64()), purged["files"].asInt(),
                            static_cast<long long>(purged["bookmarks_cleared"].asInt64()),
                            purged["bookmark_files"].asInt(),
                            static_cast<long long>(purged["device_contexts_cleared"].asInt64()));
            if (purged.isObject() && purged["undated_rows_held"].asInt64() > 0)
                std::printf("%lld rows without a usable logtime kept, and never to be sent\n",
                            static_cast<long long>(purged["undated_rows_held"].asInt64()));
            if (!ok) return kExitFailed;
            std::printf("uploads stay blocked until the device registers again or datasyncctl resume\n");
            return 0;
        }
        if (*resume) {
            request["cmd"] = "resume";
            if (!Send(stateDir, request, answer)) return kExitFailed;
            std::printf("resumed: the purge markers are removed, uploads go on\n");
            return 0;
        }
        if (*metrics) {
            request["cmd"] = "metrics";
            if (!Send(stateDir, request, answer)) return kExitFailed;
            std::cout << answer["metrics"].asString();
            return 0;
        }
        if (*addDeviceContext) {
            request["cmd"] = "add-device-context";
            request["id"] = static_cast<Json::Int64>(recordId);
            if (!Send(stateDir, request, answer)) return kExitFailed;
            std::printf("device context record %lld handed to the agent\n", static_cast<long long>(recordId));
            PrintNote(answer);
            return 0;
        }
    } catch (const UsageError& error) {
        std::fprintf(stderr, "datasyncctl: %s\n", error.text.c_str());
        return kExitUsage;
    } catch (const datasyncctl::ControlClientError& error) {
        std::fprintf(stderr, "datasyncctl: %s\n", error.what());
        return kExitFailed;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "datasyncctl: %s\n", error.what());
        return kExitFailed;
    }
    return kExitUsage;
}
