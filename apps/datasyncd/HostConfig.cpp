// Reading the host config: strict JSON, then a walk over every member that checks its key and
// type against the layout in HostConfig.h and stores it. The walk goes on after a problem, so
// one run of --check-config lists everything that is wrong.
#include "datasyncd/HostConfig.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <json/json.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "linuxhost/logging/FileLogging.h"
#include "platform/FileText.h"

namespace datasyncd {
namespace {

// The embedded default, in the file format itself so that defaults and files take one path.
const char* const kDefaultConfig = R"({
  "service_db_dir": "/var/lib/datasync/db/",
  "shared_db_dir": "/var/lib/datasync/shared/",
  "local_db_dir": "/var/lib/datasync/local/",
  "log_dir": "/var/lib/datasync/log/",
  "state_dir": "/var/lib/datasync/state/",
  "policy_file": "/etc/datasync/policy.json",
  "default_endpoint_url": "https://telemetry.invalid/",
  "logon_user": "",
  "device": { "id": "dev-0001", "online": true, "registered": true, "realm": "",
              "consumer": false, "commercial_org": true, "anonymous_metrics": true,
              "critical_gateway_error": false, "attributes": { "os_name": "Linux" } },
  "push_channel": { "mode": "", "suppression": "", "connected": false },
  "tls": { "ca_file": "", "client_cert": "", "client_key": "", "mtls_url_map": {},
           "allow_http_loopback": false, "timeout_ms": 30000 },
  "log_level": "debug",
  "metrics_textfile": ""
})";

// A config file is a few kilobytes; anything this large is not one.
constexpr std::size_t kMaxConfigBytes = 1024 * 1024;

// Text taken from the file (key names) goes into one-line messages: control characters are
// escaped so that a file cannot break or forge lines.
std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

std::string OneLine(const std::string& text) {
    std::string out;
    bool space = false;
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
            space = !out.empty();
            continue;
        }
        if (space) out.push_back(' ');
        space = false;
        out.push_back(c);
    }
    return out;
}

std::string WithSlash(std::string folder) {
    if (!folder.empty() && folder.back() != '/') folder.push_back('/');
    return folder;
}

// The id of group `name`; none, with `reason`, when there is no such group or it cannot be looked up.
std::optional<gid_t> LookUpGroup(const std::string& name, std::string& reason) {
    if (name.find('\0') != std::string::npos) {
        reason = "no such group";
        return std::nullopt;
    }
    std::vector<char> buffer(4096);
    for (;;) {
        group entry {};
        group* found = nullptr;
        const int error = ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < 1024 * 1024) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (found != nullptr) return found->gr_gid;
        reason = error == 0 || error == ENOENT || error == ESRCH ? "no such group"
                                                                 : std::string("cannot look it up: ") + std::strerror(error);
        return std::nullopt;
    }
}

// Walks one parsed config over a HostConfig, collecting problems.
class ConfigWalker {
public:
    ConfigWalker(std::string file, std::string relativeTo, HostConfig& config, std::vector<ConfigProblem>& problems)
        : m_file(std::move(file)), m_relativeTo(std::move(relativeTo)), m_config(config), m_problems(problems) {}

    void Root(const Json::Value& root) {
        if (!root.isObject()) {
            m_problems.push_back({"", m_file + ": expected a JSON object at the top level"});
            return;
        }
        HostConfig& c = m_config;
        Members(root, "", {
            {"service_db_dir", [&](const Json::Value& v, const std::string& k) { Folder(v, k, c.folders.service_db_dir); }},
            {"shared_db_dir", [&](const Json::Value& v, const std::string& k) { Folder(v, k, c.folders.shared_db_dir); }},
            {"local_db_dir", [&](const Json::Value& v, const std::string& k) { Folder(v, k, c.folders.local_db_dir); }},
            {"log_dir", [&](const Json::Value& v, const std::string& k) { Folder(v, k, c.folders.log_dir); }},
            {"state_dir", [&](const Json::Value& v, const std::string& k) { Folder(v, k, c.folders.state_dir); }},
            {"policy_file", [&](const Json::Value& v, const std::string& k) { File(v, k, false, c.settings.policy_file); }},
            {"default_endpoint_url", [&](const Json::Value& v, const std::string& k) { Text(v, k, c.settings.default_endpoint_url); }},
            {"logon_user", [&](const Json::Value& v, const std::string& k) { Text(v, k, c.settings.logon_user); }},
            {"log_level", [&](const Json::Value& v, const std::string& k) { LogLevel(v, k); }},
            {"metrics_textfile", [&](const Json::Value& v, const std::string& k) { File(v, k, true, c.metricsTextfile); }},
            {"control_read_group", [&](const Json::Value& v, const std::string& k) { Group(v, k); }},
            {"device", [&](const Json::Value& v, const std::string& k) { Device(v, k); }},
            {"push_channel", [&](const Json::Value& v, const std::string& k) { PushChannel(v, k); }},
            {"tls", [&](const Json::Value& v, const std::string& k) { Tls(v, k); }},
        });
    }

private:
    using Handler = std::function<void(const Json::Value& value, const std::string& key)>;

    void Problem(const std::string& key, const std::string& what) {
        m_problems.push_back({key, m_file + ": " + key + ": " + what});
    }

    static std::string Join(const std::string& prefix, const std::string& name) {
        return prefix.empty() ? name : prefix + "." + name;
    }

    // Hands each member of `object` to the handler of its name; names without one are errors.
    void Members(const Json::Value& object, const std::string& prefix, const std::map<std::string, Handler>& handlers) {
        for (const std::string& name : object.getMemberNames()) {
            const std::string key = Join(prefix, Printable(name));
            auto handler = handlers.find(name);
            if (handler == handlers.end())
                Problem(key, "unknown key");
            else
                handler->second(object[name], key);
        }
    }

    bool Section(const Json::Value& value, const std::string& key) {
        if (value.isObject()) return true;
        Problem(key, "expected an object");
        return false;
    }

    void Text(const Json::Value& value, const std::string& key, std::string& out) {
        if (value.isString())
            out = value.asString();
        else
            Problem(key, "expected a string");
    }

    void Bool(const Json::Value& value, const std::string& key, bool& out) {
        if (value.isBool())
            out = value.asBool();
        else
            Problem(key, "expected a boolean");
    }

    std::string Resolve(const std::string& path) const {
        std::filesystem::path resolved(path);
        if (resolved.is_relative()) resolved = std::filesystem::path(m_relativeTo) / resolved;
        return resolved.lexically_normal().string();
    }

    void Folder(const Json::Value& value, const std::string& key, std::string& out) {
        if (!value.isString()) return Problem(key, "expected a string");
        if (value.asString().empty()) return Problem(key, "must name a folder, not be empty");
        out = WithSlash(Resolve(value.asString()));
    }

    void File(const Json::Value& value, const std::string& key, bool mayBeEmpty, std::string& out) {
        if (!value.isString()) return Problem(key, "expected a string");
        const std::string path = value.asString();
        if (path.empty()) {
            if (!mayBeEmpty) return Problem(key, "must name a file, not be empty");
            out.clear();
            return;
        }
        if (path.back() == '/') return Problem(key, "must name a file, not a folder");
        out = Resolve(path);
    }

    void TextMap(const Json::Value& value, const std::string& key, std::map<std::string, std::string>& out) {
        if (!Section(value, key)) return;
        std::map<std::string, std::string> map;
        for (const std::string& name : value.getMemberNames()) {
            if (value[name].isString())
                map[name] = value[name].asString();
            else
                Problem(Join(key, Printable(name)), "expected a string");
        }
        out = std::move(map);
    }

    void LogLevel(const Json::Value& value, const std::string& key) {
        if (!value.isString()) return Problem(key, "expected a string");
        ZEL::LogLevel level;
        if (!ZEL::linuxhost::ParseLogLevel(value.asString(), level))
            return Problem(key, "expected one of debug, info, warning, error; got \"" + Printable(value.asString()) +
                                    "\"");
        m_config.logLevelText = value.asString();
        m_config.logLevel = level;
    }

    void Group(const Json::Value& value, const std::string& key) {
        if (!value.isString()) return Problem(key, "expected a string");
        const std::string name = value.asString();
        if (name.empty()) {
            m_config.controlReadGroup.clear();
            m_config.controlReadGid.reset();
            return;
        }
        std::string reason;
        const std::optional<gid_t> gid = LookUpGroup(name, reason);
        if (!gid) return Problem(key, "\"" + Printable(name) + "\": " + reason);
        m_config.controlReadGroup = name;
        m_config.controlReadGid = gid;
    }

    void Device(const Json::Value& value, const std::string& key) {
        if (!Section(value, key)) return;
        ZEL::linuxhost::DeviceState& d = m_config.device;
        Members(value, key, {
            {"id", [&](const Json::Value& v, const std::string& k) { Text(v, k, d.id); }},
            {"online", [&](const Json::Value& v, const std::string& k) { Bool(v, k, d.online); }},
            {"registered", [&](const Json::Value& v, const std::string& k) { Bool(v, k, d.registered); }},
            {"realm", [&](const Json::Value& v, const std::string& k) { Text(v, k, d.realm); }},
            {"consumer", [&](const Json::Value& v, const std::string& k) { Bool(v, k, d.consumer); }},
            {"commercial_org", [&](const Json::Value& v, const std::string& k) { Bool(v, k, d.commercial_org); }},
            {"anonymous_metrics", [&](const Json::Value& v, const std::string& k) { Bool(v, k, d.anonymous_metrics); }},
            {"critical_gateway_error",
             [&](const Json::Value& v, const std::string& k) { Bool(v, k, d.critical_gateway_error); }},
            {"attributes", [&](const Json::Value& v, const std::string& k) { TextMap(v, k, d.attributes); }},
        });
    }

    void PushChannel(const Json::Value& value, const std::string& key) {
        if (!Section(value, key)) return;
        ZEL::linuxhost::PushChannelState& p = m_config.pushChannel;
        Members(value, key, {
            {"mode", [&](const Json::Value& v, const std::string& k) { Text(v, k, p.mode); }},
            {"suppression", [&](const Json::Value& v, const std::string& k) { Text(v, k, p.suppression); }},
            {"connected", [&](const Json::Value& v, const std::string& k) { Bool(v, k, p.connected); }},
        });
    }

    void Tls(const Json::Value& value, const std::string& key) {
        if (!Section(value, key)) return;
        ZEL::linuxhost::TlsSettings& t = m_config.tls;
        Members(value, key, {
            {"ca_file", [&](const Json::Value& v, const std::string& k) { File(v, k, true, t.ca_file); }},
            {"client_cert", [&](const Json::Value& v, const std::string& k) { File(v, k, true, t.client_cert); }},
            {"client_key", [&](const Json::Value& v, const std::string& k) { File(v, k, true, t.client_key); }},
            {"mtls_url_map", [&](const Json::Value& v, const std::string& k) { TextMap(v, k, t.mtls_url_map); }},
            {"allow_http_loopback", [&](const Json::Value& v, const std::string& k) { Bool(v, k, t.allow_http_loopback); }},
            {"timeout_ms", [&](const Json::Value& v, const std::string& k) { Timeout(v, k, t.timeout_ms); }},
        });
    }

    void Timeout(const Json::Value& value, const std::string& key, long& out) {
        if (value.isIntegral() && value.isInt64() && value.asInt64() > 0 && value.asInt64() <= LONG_MAX)
            out = static_cast<long>(value.asInt64());
        else
            Problem(key, "expected a positive whole number of milliseconds");
    }

    const std::string m_file;
    const std::string m_relativeTo;
    HostConfig& m_config;
    std::vector<ConfigProblem>& m_problems;
};

}  // namespace

bool ApplyHostConfigText(const std::string& text, const std::string& file, const std::string& relativeTo,
                         HostConfig& config, std::vector<ConfigProblem>& problems) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);  // also rejects duplicate keys
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) {
        problems.push_back({"", file + ": is not valid JSON: " + OneLine(errors)});
        return false;
    }
    const size_t before = problems.size();
    ConfigWalker(file, relativeTo, config, problems).Root(root);
    return problems.size() == before;
}

bool ReadHostConfigFile(const std::string& path, HostConfig& config, std::vector<ConfigProblem>& problems) {
    const platform::FileText file = platform::ReadFileText(path, kMaxConfigBytes);
    if (!file.ok()) {
        problems.push_back({"", path + ": cannot be read: " + file.reason});
        return false;
    }
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
    return ApplyHostConfigText(file.text, path, absolute.parent_path().string(), config, problems);
}

HostConfig DefaultHostConfig() {
    HostConfig config;
    std::vector<ConfigProblem> problems;
    if (!ApplyHostConfigText(kDefaultConfig, "(embedded default)", "/", config, problems))
        throw std::logic_error("the embedded default config is invalid: " + problems.front().text);
    return config;
}

HostConfig BaseFolderHostConfig(const std::string& baseDir) {
    HostConfig config = DefaultHostConfig();
    std::error_code ignored;
    const std::filesystem::path base = std::filesystem::absolute(baseDir, ignored).lexically_normal();
    auto folder = [&base](const char* name) { return WithSlash((base / name).string()); };
    config.folders.service_db_dir = folder("db");
    config.folders.shared_db_dir = folder("shared");
    config.folders.local_db_dir = folder("local");
    config.folders.log_dir = folder("log");
    config.folders.state_dir = folder("state");
    config.settings.policy_file = (base / "policy.json").string();
    return config;
}

}  // namespace datasyncd
