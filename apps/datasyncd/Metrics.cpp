// Writing the metrics text: one HELP and TYPE header per metric, then its samples.
#include "datasyncd/Metrics.h"

#include <cinttypes>
#include <cstdio>
#include <sstream>
#include <vector>

namespace datasyncd {
namespace {

// The families in the order they are shown: the agent's three, then "other" when it occurred.
const std::vector<std::string> kFamilies = {"kta", "navs", "navp"};

const std::vector<std::pair<std::string, std::string>> kPurgeStates = {
    {"normal", "normal"},
    {"pending", "pending"},
    {"purging", "purging"},
    {"purged, awaiting resume", "purged_awaiting_resume"},
};

std::string Upper(const std::string& family) {
    std::string upper;
    for (char c : family) upper.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c));
    return upper;
}

// Label values are family and state names of this file, the version of the build: escaped all
// the same, as the format asks.
std::string Escaped(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"') out.push_back('\\');
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out.push_back(c);
    }
    return out;
}

std::string Seconds(double seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

std::string Whole(std::int64_t value) {
    return std::to_string(value);
}
std::string Flag(bool value) {
    return value ? "1" : "0";
}

const Json::Value& Member(const Json::Value& object, const char* name) {
    static const Json::Value null;
    if (!object.isObject()) return null;
    const Json::Value* found = object.find(name, name + std::char_traits<char>::length(name));
    return found != nullptr ? *found : null;
}

std::int64_t WholeMember(const Json::Value& object, const char* name) {
    const Json::Value& value = Member(object, name);
    return value.isInt64() ? value.asInt64() : 0;
}

bool FlagMember(const Json::Value& object, const char* name) {
    const Json::Value& value = Member(object, name);
    return value.isBool() && value.asBool();
}

class MetricsText {
public:
    // Starts metric `name` with its HELP and TYPE lines.
    MetricsText& Metric(const std::string& name, const char* type, const std::string& help) {
        m_name = name;
        m_out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
        return *this;
    }
    // One sample of the current metric; `labels` as name/value pairs.
    MetricsText& Sample(const std::vector<std::pair<std::string, std::string>>& labels,
                        const std::string& value) {
        m_out << m_name;
        if (!labels.empty()) {
            m_out << '{';
            for (std::size_t i = 0; i < labels.size(); ++i)
                m_out << (i ? "," : "") << labels[i].first << "=\"" << Escaped(labels[i].second) << '"';
            m_out << '}';
        }
        m_out << ' ' << value << '\n';
        return *this;
    }
    MetricsText& Sample(const std::string& value) { return Sample({}, value); }
    std::string Text() const { return m_out.str(); }

private:
    std::ostringstream m_out;
    std::string m_name;
};

std::vector<std::string> FamiliesOf(const UploadCounts& uploads) {
    std::vector<std::string> families = kFamilies;
    for (const auto& entry : uploads)
        if (entry.first == "other") families.push_back(entry.first);
    return families;
}

void Uploads(const MetricsInput& input, MetricsText& text) {
    const std::vector<std::string> families = FamiliesOf(input.uploads);
    const auto counts = [&input](const std::string& family) {
        const auto found = input.uploads.find(family);
        return found == input.uploads.end() ? FamilyUploads() : found->second;
    };
    text.Metric("datasync_rows_accepted_total", "counter",
                "Telemetry rows in batches an endpoint family accepted (2xx) since the daemon started.");
    for (const std::string& family : families)
        text.Sample({{"family", family}}, Whole(counts(family).rowsAccepted));
    text.Metric("datasync_batches_accepted_total", "counter",
                "Upload requests an endpoint family accepted (2xx) since the daemon started.");
    for (const std::string& family : families)
        text.Sample({{"family", family}}, Whole(counts(family).batchesAccepted));
    text.Metric("datasync_upload_failures_total", "counter",
                "Upload requests that failed, by endpoint family and class (HTTP 4xx, 5xx, other status, "
                "transport: no answer).");
    for (const std::string& family : families)
        for (std::size_t i = 0; i < kFailureClasses.size(); ++i)
            text.Sample({{"family", family}, {"class", FailureClassName(kFailureClasses[i])}},
                        Whole(counts(family).failures[i]));

    text.Metric("datasync_last_accepted_batch_timestamp_seconds", "gauge",
                "Unix time of the last batch an endpoint family accepted (absent before the first one).");
    for (const std::string& family : families) {
        const FamilyUploads c = counts(family);
        if (!c.lastAcceptedWall) continue;
        const auto since = std::chrono::duration<double>(c.lastAcceptedWall->time_since_epoch());
        text.Sample({{"family", family}}, Seconds(since.count()));
    }
    text.Metric("datasync_last_accepted_batch_age_seconds", "gauge",
                "Seconds since the last batch an endpoint family accepted (absent before the first one).");
    for (const std::string& family : families) {
        const FamilyUploads c = counts(family);
        if (!c.lastAcceptedSteady) continue;
        const double age = std::chrono::duration<double>(input.steadyNow - *c.lastAcceptedSteady).count();
        text.Sample({{"family", family}}, Seconds(age < 0 ? 0 : age));
    }
}

void FamilyState(const MetricsInput& input, MetricsText& text) {
    text.Metric("datasync_rows_pending", "gauge",
                "Telemetry rows at or past an endpoint family's bookmark, not yet accepted by it.");
    for (const std::string& family : kFamilies) {
        const auto found = input.pendingRows.find(family);
        text.Sample({{"family", family}}, Whole(found == input.pendingRows.end() ? 0 : found->second));
    }
    text.Metric("datasync_rows_waiting", "gauge",
                "Telemetry rows not yet accepted by an endpoint family, by the reason they wait.");
    for (const auto& [key, rows] : input.rowsWaiting) text.Sample({{"family", key.first}, {"reason", key.second}}, Whole(rows));
    const Json::Value& backoff = Member(input.status, "backoff");
    text.Metric(
        "datasync_backoff_active", "gauge",
        "1 while an endpoint family waits out a back-off or its retries are exhausted until a reset.");
    for (const std::string& family : kFamilies) {
        const Json::Value& record = Member(backoff, Upper(family).c_str());
        const bool active = record.isObject() &&
                            (WholeMember(record, "wait_left_ms") > 0 || !FlagMember(record, "sync_allowed"));
        text.Sample({{"family", family}}, Flag(active));
    }
    text.Metric("datasync_backoff_remaining_seconds", "gauge",
                "Seconds left of an endpoint family's back-off wait.");
    for (const std::string& family : kFamilies) {
        const Json::Value& record = Member(backoff, Upper(family).c_str());
        text.Sample({{"family", family}},
                    Seconds(static_cast<double>(WholeMember(record, "wait_left_ms")) / 1000.0));
    }
}

void AgentState(const MetricsInput& input, MetricsText& text) {
    const Json::Value& status = input.status;
    const Json::Value& missing = Member(status, "device_missing");
    text.Metric("datasync_device_missing_block", "gauge",
                "1 while a 403 DeviceMissing answer blocks KTA and NAVS uploads until the device registers "
                "again.")
        .Sample(Flag(FlagMember(missing, "flag")));
    text.Metric("datasync_device_missing_block_remaining_seconds", "gauge",
                "Seconds left of the hour a 403 DeviceMissing block lasts at most.")
        .Sample(Whole(FlagMember(missing, "flag") ? WholeMember(missing, "seconds_left") : 0));
    text.Metric("datasync_certificate_pause", "gauge",
                "1 while KTA and NAVS uploads pause because the client certificate has expired.")
        .Sample(Flag(FlagMember(Member(status, "certificate_pause"), "paused")));

    const std::string purge = Member(Member(status, "purge"), "state").asString();
    text.Metric(
        "datasync_purge_state", "gauge",
        "The device-path purge state: 1 for the current one (pending or later states block uploads).");
    for (const auto& [shown, label] : kPurgeStates) text.Sample({{"state", label}}, Flag(purge == shown));

    const Json::Value& nrt = Member(status, "nrt_databases");
    text.Metric("datasync_databases_watched", "gauge",
                "Near-real-time telemetry databases the agent watches.")
        .Sample(Whole(nrt.isArray() ? nrt.size() : 0));
    const Json::Value& scheduled = Member(status, "scheduled_datasets");
    text.Metric("datasync_datasets_scheduled", "gauge", "Datasets the agent uploads on a schedule.")
        .Sample(Whole(scheduled.isObject() ? scheduled.size() : 0));
    text.Metric("datasync_device_context_records_pending", "gauge",
                "Device-context records handed to the agent and not yet posted.")
        .Sample(Whole(WholeMember(status, "device_context_records_pending")));
    text.Metric("datasync_worker_queue_length", "gauge", "Messages waiting for the agent's worker.")
        .Sample(Whole(WholeMember(status, "queue_length")));
    text.Metric("datasync_agent_started", "gauge", "1 while the agent runs its timer and worker.")
        .Sample(Flag(FlagMember(Member(status, "agent"), "started")));

    text.Metric("datasync_policy_in_force", "gauge",
                "1 while a telemetry policy read from the policy file is in force.")
        .Sample(Flag(FlagMember(Member(input.host, "policy"), "in_force")));
    const Json::Value& readOnly = Member(input.host, "read_only_databases");
    text.Metric("datasync_read_only_databases", "gauge",
                "Databases the agent cannot write (bookmarks cannot move).")
        .Sample(Whole(readOnly.isArray() ? readOnly.size() : 0));
    const Json::Value& unsaved = Member(status, "unsaved_bookmarks");
    text.Metric("datasync_unsaved_bookmark_files", "gauge",
                "Bookmark files that refused the last write or read: their uploads wait.")
        .Sample(Whole(unsaved.isArray() ? unsaved.size() : 0));
    text.Metric("datasync_build_info", "gauge", "The daemon's version, as a label; the value is always 1.")
        .Sample({{"version", input.version}}, "1");
    text.Metric("datasync_up", "gauge", "1 while the daemon runs; a clean stop removes the metrics file.")
        .Sample("1");
}

}  // namespace

std::string RenderMetrics(const MetricsInput& input) {
    MetricsText text;
    Uploads(input, text);
    FamilyState(input, text);
    AgentState(input, text);
    return text.Text();
}

}  // namespace datasyncd
