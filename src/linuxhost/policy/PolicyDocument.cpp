// Reading a policy file: bytes, strict JSON, then a walk that maps each known member onto the
// policy records and reports every member of the wrong type with its path
// ("datasets[2].include_events[0]").
#include "linuxhost/policy/PolicyDocument.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "datasync/common/StringUtil.h"
#include "platform/FileText.h"

namespace ZEL {
namespace linuxhost {
namespace policy {
namespace {

// Policies are a few kilobytes; a much larger file is a mistake, not a policy.
constexpr std::size_t kMaxPolicyBytes = 16 * 1024 * 1024;
constexpr size_t kMaxQuotedBytes = 64;

// Reads the whole file; false with a reason when it cannot.
bool ReadFileBytes(const std::string& path, std::string& bytes, std::string& reason) {
    if (path.empty()) {
        reason = "no policy file is configured";
        return false;
    }
    platform::FileText file = platform::ReadFileText(path, kMaxPolicyBytes);
    if (file.ok()) {
        bytes = std::move(file.text);
        return true;
    }
    if (file.notAFile)
        reason = "is not a regular file";
    else if (file.tooLarge)
        reason = file.reason;
    else if (file.status == platform::FileText::Status::Missing)
        reason = "cannot be opened: " + file.reason;
    else
        reason = "cannot be read: " + file.reason;
    return false;
}

// Text from the file made safe for one log line: printable ASCII kept, everything else as
// \xNN, quotes and backslashes escaped, long texts cut.
std::string Quote(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        if (i == kMaxQuotedBytes) {
            out += "...";
            break;
        }
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out + "\"";
}

// The path of member `key` inside `parent`: ".key" for plain keys, ["..."] otherwise.
std::string MemberPath(const std::string& parent, const std::string& key) {
    bool plain = !key.empty();
    for (const char c : key) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '_' || c == '-';
        if (!ok) plain = false;
    }
    if (!plain) return parent + "[" + Quote(key) + "]";
    return parent.empty() ? key : parent + "." + key;
}

std::string ElementPath(const std::string& parent, Json::ArrayIndex index) {
    return parent + "[" + std::to_string(index) + "]";
}

const char* TypeName(const Json::Value& value) {
    switch (value.type()) {
        case Json::nullValue:
            return "null";
        case Json::intValue:
        case Json::uintValue:
        case Json::realValue:
            return "a number";
        case Json::stringValue:
            return "a string";
        case Json::booleanValue:
            return "a boolean";
        case Json::arrayValue:
            return "an array";
        case Json::objectValue:
            return "an object";
    }
    return "an unknown value";
}

// The reader's error report as one line.
std::string OneLine(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const bool space = c == '\n' || c == '\r' || c == '\t' || c == ' ';
        if (space) {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else if (static_cast<unsigned char>(c) >= 0x20) {
            out += c;
        }
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    if (out.rfind("* ", 0) == 0) out.erase(0, 2);
    return out;
}

// Walks one parsed document; each Read* leaves its output untouched when the member is absent.
class Walker {
public:
    Walker(const std::string& file, PolicyDocument& document) : m_file(file), m_document(document) {}

    void Unusable(const std::string& member, const std::string& what) {
        m_document.problems.push_back({PolicyProblem::Kind::Unusable, m_file + ": " + member + ": " + what});
        m_document.usable = false;
    }

    void WrongType(const std::string& member, const char* expected, const Json::Value& found) {
        Unusable(member, std::string("expected ") + expected + ", found " + TypeName(found));
    }

    void ReadString(const Json::Value& object, const char* key, const std::string& parent,
                    std::wstring& out) {
        if (!object.isMember(key)) return;
        const Json::Value& value = object[key];
        if (!value.isString()) return WrongType(MemberPath(parent, key), "a string", value);
        out = String::UTF8ToUTF16(value.asString());
    }

    void ReadBool(const Json::Value& object, const char* key, const std::string& parent, bool& out) {
        if (!object.isMember(key)) return;
        const Json::Value& value = object[key];
        if (!value.isBool()) return WrongType(MemberPath(parent, key), "a boolean", value);
        out = value.asBool();
    }

    void ReadStringList(const Json::Value& object, const char* key, const std::string& parent,
                        std::list<std::wstring>& out) {
        if (!object.isMember(key)) return;
        const Json::Value& value = object[key];
        const std::string path = MemberPath(parent, key);
        if (!value.isArray()) return WrongType(path, "a list of strings", value);
        std::list<std::wstring> items;
        for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
            if (!value[i].isString()) {
                WrongType(ElementPath(path, i), "a string", value[i]);
                continue;
            }
            items.push_back(String::UTF8ToUTF16(value[i].asString()));
        }
        out = std::move(items);
    }

    void ReadStringMap(const Json::Value& object, const char* key, const std::string& parent,
                       std::map<std::wstring, std::wstring>& out) {
        if (!object.isMember(key)) return;
        const Json::Value& value = object[key];
        const std::string path = MemberPath(parent, key);
        if (!value.isObject()) return WrongType(path, "an object of strings", value);
        std::map<std::wstring, std::wstring> items;
        for (const std::string& name : value.getMemberNames()) {
            const Json::Value& item = value[name];
            if (!item.isString()) {
                WrongType(MemberPath(path, name), "a string", item);
                continue;
            }
            items[String::UTF8ToUTF16(name)] = String::UTF8ToUTF16(item.asString());
        }
        out = std::move(items);
    }

    // An optional object member; null when absent or (reported) of another type.
    const Json::Value* Section(const Json::Value& object, const char* key, const std::string& parent) {
        if (!object.isMember(key)) return nullptr;
        const Json::Value& value = object[key];
        if (!value.isObject()) {
            WrongType(MemberPath(parent, key), "an object", value);
            return nullptr;
        }
        return &value;
    }

    void ReadDatasets(const Json::Value& root) {
        if (!root.isMember("datasets")) return;
        const Json::Value& datasets = root["datasets"];
        if (!datasets.isArray()) return WrongType("datasets", "a list of objects", datasets);
        for (Json::ArrayIndex i = 0; i < datasets.size(); ++i)
            ReadDataset(datasets[i], ElementPath("datasets", i));
    }

    void ReadDataset(const Json::Value& entry, const std::string& path) {
        if (!entry.isObject()) return WrongType(path, "an object", entry);
        DataSet dataset;
        std::wstring text;
        bool flag = false;
        std::list<std::wstring> list;
        std::map<std::wstring, std::wstring> map;

        const bool hasId = entry.isMember("dataset_id");
        ReadString(entry, "dataset_id", path, text);
        dataset.set_dataset_id(text);
        text.clear();
        ReadString(entry, "dataset_name", path, text);
        dataset.set_dataset_name(text);
        text.clear();
        ReadString(entry, "syncEPs", path, text);
        dataset.set_syncEPs(text);
        text.clear();
        ReadString(entry, "syncEP_frequency", path, text);
        dataset.set_syncEP_frequency(text);
        ReadBool(entry, "dataset_enable", path, flag);
        dataset.set_dataset_enable(flag);
        const bool hasIncludeList = entry.isMember("include_events");
        ReadStringList(entry, "include_events", path, list);
        dataset.set_include_events(list);
        if (const Json::Value* filter = Section(entry, "applicability_filter", path)) {
            ApplicabilityFilter applicability;
            applicability.rules = *filter;
            dataset.set_applicability_filter(applicability);
        }
        ReadStringMap(entry, "dataset_settings", path, map);
        dataset.set_dataset_settings_map(map);

        // A dataset_id of the wrong type was reported above as making the policy unusable.
        if (hasId && !entry["dataset_id"].isString()) return;
        const std::string id = hasId ? entry["dataset_id"].asString() : std::string();
        if (!IsValidDatasetId(id)) {
            const std::string what =
                hasId ? Quote(id) + " is not a dataset id (36 hex digits and '-')" : "missing";
            m_document.problems.push_back(
                {PolicyProblem::Kind::Dataset, m_file + ": " + path + ".dataset_id: " + what + "; dataset left out"});
            return;
        }
        if (!hasIncludeList) {
            m_document.problems.push_back({PolicyProblem::Kind::Dataset,
                                           m_file + ": " + path + ".include_events: missing (list the item events to "
                                                                  "send, or [\"ALL\"]); dataset left out"});
            return;
        }
        m_document.policy.datasets.push_back(std::move(dataset));
    }

    void ReadRoot(const Json::Value& root) {
        TelemetryPolicy& policy = m_document.policy;
        ReadString(root, "telemetry_scope", "", policy.telemetryScope);
        ReadString(root, "primary_url", "", policy.primaryUrl);
        ReadString(root, "secondary_url", "", policy.secondaryUrl);
        ReadString(root, "navs_url", "", policy.navsUrl);
        ReadString(root, "navp_url", "", policy.navpUrl);
        ReadString(root, "auth_mode", "", policy.authMode);
        ReadStringList(root, "sync_options", "", policy.syncOptions);
        ReadStringMap(root, "sync_endpoint_urls", "", policy.syncEndpointUrls);
        ReadDatasets(root);
        WarnAboutUrlsWithoutSlash();
        if (const Json::Value* settings = Section(root, "settings", ""))
            ReadString(*settings, "channel_mode", "settings", m_document.channelMode);
        if (const Json::Value* section = Section(root, "policy", ""))
            ReadString(*section, "heartbeat_suppression", "policy", m_document.heartbeatSuppression);
    }

private:
    // The uploaders join a KTA or NAVS base URL and the record kind with one "/"; a URL written
    // without it most likely means the folder, and is worth a look.
    void WarnAboutUrlsWithoutSlash() {
        const TelemetryPolicy& policy = m_document.policy;
        const auto warn = [this](const std::string& member, const std::wstring& url) {
            if (url.empty() || url.back() == L'/') return;
            m_document.warnings.push_back(m_file + ": " + member + ": " + Quote(String::UTF16ToUTF8(url)) +
                                          " does not end with \"/\"; the record kind is added after one");
        };
        for (const char* key : {"KTA_syncEP_url", "NAVS_syncEP_url"}) {
            const auto found = policy.syncEndpointUrls.find(String::UTF8ToUTF16(key));
            if (found != policy.syncEndpointUrls.end()) warn(std::string("sync_endpoint_urls.") + key, found->second);
        }
        warn("primary_url", policy.primaryUrl);
        warn("secondary_url", policy.secondaryUrl);
        warn("navs_url", policy.navsUrl);
    }

    const std::string& m_file;
    PolicyDocument& m_document;
};

}  // namespace

bool IsValidDatasetId(const std::string& id) {
    if (id.size() != 36) return false;
    for (const char c : id) {
        const bool ok =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '-';
        if (!ok) return false;
    }
    return true;
}

PolicyDocument ReadPolicyDocument(const std::string& path) {
    PolicyDocument document;
    document.usable = true;
    auto fileProblem = [&](const std::string& what) {
        document.problems.push_back({PolicyProblem::Kind::Unusable, path + ": " + what});
        document.usable = false;
        return document;
    };

    std::string bytes;
    std::string reason;
    if (!ReadFileBytes(path, bytes, reason)) return fileProblem(reason);
    if (bytes.find_first_not_of(" \t\r\n") == std::string::npos) return fileProblem("is empty");

    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);  // no comments, one value, no duplicate keys
    Json::Value root;
    std::string errors;
    try {
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        if (!reader->parse(bytes.data(), bytes.data() + bytes.size(), &root, &errors))
            return fileProblem("is not valid JSON: " + OneLine(errors));
    } catch (const std::exception& error) {
        return fileProblem(std::string("is not valid JSON: ") + error.what());
    }

    Walker walker(path, document);
    if (!root.isObject()) {
        walker.WrongType("root", "an object", root);
        return document;
    }
    walker.ReadRoot(root);
    return document;
}

}  // namespace policy
}  // namespace linuxhost
}  // namespace ZEL
