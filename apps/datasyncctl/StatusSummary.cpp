// The status summary's layout: one heading per part, aligned columns for the families.
#include "datasyncctl/StatusSummary.h"

#include <cctype>
#include <ctime>
#include <iomanip>
#include <sstream>
#include <string>

namespace datasyncctl {
namespace {

std::string YesNo(const Json::Value& value) {
    if (value.isBool()) return value.asBool() ? "yes" : "no";
    return "-";
}

std::string Text(const Json::Value& value) {
    if (value.isString()) return value.asString().empty() ? "(none)" : value.asString();
    if (value.isNull()) return "-";
    if (value.isBool()) return YesNo(value);
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    return Json::writeString(writer, value);
}

// A member of an object, or null when `object` is not one (never inserts).
const Json::Value& Member(const Json::Value& object, const char* name) {
    static const Json::Value null;
    if (!object.isObject()) return null;
    const Json::Value* found = object.find(name, name + std::char_traits<char>::length(name));
    return found != nullptr ? *found : null;
}

// Seconds since the epoch as a UTC time; 0 means never.
std::string UtcTime(const Json::Value& value) {
    if (!value.isIntegral() || value.asInt64() == 0) return "never";
    const std::time_t seconds = static_cast<std::time_t>(value.asInt64());
    std::tm utc{};
    if (gmtime_r(&seconds, &utc) == nullptr) return Text(value);
    std::ostringstream text;
    text << std::put_time(&utc, "%Y-%m-%d %H:%M:%S UTC");
    return text.str();
}

void Flags(const Json::Value& agent, std::ostream& out) {
    out << "Agent: started " << YesNo(Member(agent, "started")) << ", full init done "
        << YesNo(Member(agent, "full_init_done")) << ", online " << YesNo(Member(agent, "online")) << ", registered "
        << YesNo(Member(agent, "registered")) << "\n";
    out << "       registration requested " << YesNo(Member(agent, "registration_requested"))
        << ", device context synced " << YesNo(Member(agent, "device_context_synced")) << ", telemetry scope "
        << Text(Member(agent, "telemetry_scope")) << ", back-off reset delay "
        << Text(Member(agent, "backoff_reset_delay_minutes")) << " min\n";
}

void Families(const Json::Value& status, std::ostream& out) {
    out << "Endpoint families (auth mode " << Text(Member(status, "auth_mode")) << "):\n";
    out << "  " << std::left << std::setw(7) << "family" << std::setw(9) << "enabled" << std::setw(11) << "URL valid"
        << "URL\n";
    const Json::Value& families = Member(status, "families");
    for (const char* name : {"KTA", "NAVS", "NAVP"}) {
        const Json::Value& family = Member(families, name);
        out << "  " << std::setw(7) << name << std::setw(9) << YesNo(Member(family, "enabled")) << std::setw(11)
            << YesNo(Member(family, "url_valid")) << Text(Member(family, "url")) << "\n";
    }
}

void Backoff(const Json::Value& status, std::ostream& out) {
    const Json::Value& backoff = Member(status, "backoff");
    out << "Back-off records:" << (backoff.isObject() && !backoff.empty() ? "\n" : " none\n");
    if (!backoff.isObject()) return;
    for (const std::string& name : backoff.getMemberNames()) {
        const Json::Value& record = backoff[name];
        out << "  " << std::setw(7) << name << "retry count " << Text(Member(record, "retry_count")) << ", delay "
            << Text(Member(record, "delay_ms")) << " ms (" << Text(Member(record, "wait_left_ms"))
            << " ms left), last failure " << Text(Member(record, "last_failure_time"))
            << ", sync allowed " << YesNo(Member(record, "sync_allowed")) << ", class counts "
            << Text(Member(record, "class_counts")) << "\n";
    }
}

void Resilience(const Json::Value& status, std::ostream& out) {
    const Json::Value& missing = Member(status, "device_missing");
    out << "Device missing (403): flag " << YesNo(Member(missing, "flag")) << ", counter "
        << Text(Member(missing, "counter")) << ", set at " << Text(Member(missing, "set_time")) << ", "
        << Text(Member(missing, "seconds_left")) << " s left\n";
    const Json::Value& pause = Member(status, "certificate_pause");
    out << "Certificate pause: " << YesNo(Member(pause, "paused"));
    if (Member(pause, "paused").isBool() && Member(pause, "paused").asBool()) out << " (" << Text(Member(pause, "reason")) << ")";
    out << ", heartbeat calls " << Text(Member(pause, "heartbeat_calls"));
    if (Member(pause, "paused").isBool() && Member(pause, "paused").asBool())
        out << ", next heartbeat in " << Text(Member(pause, "next_heartbeat_in_seconds")) << " s (at "
            << Text(Member(pause, "next_heartbeat_time")) << ")";
    out << "\n";
}

void Housekeeping(const Json::Value& status, std::ostream& out) {
    const Json::Value& purge = Member(status, "purge");
    out << "Device-path purge: " << Text(Member(purge, "state"));
    if (Member(purge, "detected_utc").asInt64() != 0) out << ", detected " << UtcTime(Member(purge, "detected_utc"));
    if (purge.isObject() && purge.isMember("problem")) out << " (" << Text(purge["problem"]) << ")";
    if (purge.isObject() && purge.isMember("last")) {
        const Json::Value& last = purge["last"];
        out << "; last purge " << (Member(last, "ok").asBool() ? "completed" : "failed: " + Text(Member(last, "error")))
            << ", " << Text(Member(last, "rows_deleted")) << " rows in " << Text(Member(last, "files"))
            << " files, " << Text(Member(last, "bookmarks_cleared")) << " bookmarks";
    }
    out << "\n";
    const Json::Value& retention = Member(status, "retention");
    for (const char* root : {"service", "shared"}) {
        const Json::Value& run = Member(retention, root);
        out << "Retention (" << root << " folder): ";
        if (Member(run, "started_at").asInt64() == 0) {
            out << "not run yet\n";
            continue;
        }
        out << Text(Member(run, "result")) << ", started " << UtcTime(Member(run, "started_at")) << ", "
            << Text(Member(run, "databases")) << " databases, " << Text(Member(run, "rows_deleted"))
            << " rows deleted\n";
    }
}

void Databases(const Json::Value& status, std::ostream& out) {
    const Json::Value& nrt = Member(status, "nrt_databases");
    out << "Near-real-time databases (" << (nrt.isArray() ? nrt.size() : 0) << "):";
    if (nrt.isArray())
        for (const Json::Value& name : nrt) out << " " << Text(name);
    out << "\n";
    const Json::Value& scheduled = Member(status, "scheduled_datasets");
    out << "Scheduled datasets (" << (scheduled.isObject() ? scheduled.size() : 0) << "):";
    if (scheduled.isObject())
        for (const std::string& id : scheduled.getMemberNames()) out << " " << id << " every " << Text(scheduled[id]) << " s";
    out << "\n";

    const Json::Value& syncMap = Member(status, "sync_map");
    out << "Sync map (" << (syncMap.isObject() ? syncMap.size() : 0) << " records)" << (syncMap.empty() ? "\n" : ":\n");
    if (!syncMap.isObject()) return;
    for (const std::string& key : syncMap.getMemberNames()) {
        const Json::Value& r = syncMap[key];
        out << "  " << key << ": root " << Text(Member(r, "db_root")) << ", kind " << Text(Member(r, "sync_kind"))
            << ", state " << Text(Member(r, "sync_state")) << ", triggers " << Text(Member(r, "trigger_times"))
            << ", last result " << Text(Member(r, "last_result")) << " (" << Text(Member(r, "last_outcome"))
            << "), remaining " << Text(Member(r, "remain_data"))
            << ", retries " << Text(Member(r, "retry_times")) << ", interval " << Text(Member(r, "interval"))
            << " s, last sync " << Text(Member(r, "last_sync_time")) << ", applicable "
            << YesNo(Member(r, "last_applicable")) << "\n";
    }
}

// The bookmark files that refused a write or a read: the uploads writing there wait.
void UnsavedBookmarks(const Json::Value& status, std::ostream& out) {
    const Json::Value& files = Member(status, "unsaved_bookmarks");
    if (!files.isArray() || files.empty()) return;
    for (const Json::Value& file : files)
        out << "Bookmark file cannot be " << (Member(file, "failure").asString() == "read" ? "read" : "written") << ": "
            << Text(Member(file, "file")) << " (" << Text(Member(file, "failures")) << " failures in a row since "
            << UtcTime(Member(file, "since")) << ", " << Text(Member(file, "owed_writes"))
            << " bookmark writes owed; its uploads wait, next try in " << Member(file, "retry_in_ms").asInt64() / 1000
            << " s)\n";
}

void Host(const Json::Value& host, std::ostream& out) {
    const Json::Value& device = Member(host, "device");
    const Json::Value& push = Member(host, "push_channel");
    out << "Host device: id " << Text(Member(device, "id")) << ", online " << YesNo(Member(device, "online"))
        << ", registered " << YesNo(Member(device, "registered")) << ", realm " << Text(Member(device, "realm"))
        << ", attributes " << Text(Member(device, "attributes")) << "\n";
    out << "Push channel: connected " << YesNo(Member(push, "connected")) << ", mode " << Text(Member(push, "mode"))
        << ", suppression " << Text(Member(push, "suppression")) << "\n";
    const Json::Value& folders = Member(host, "folders");
    out << "Folders: db " << Text(Member(folders, "service_db_dir")) << ", shared "
        << Text(Member(folders, "shared_db_dir")) << ", log " << Text(Member(folders, "log_dir")) << ", state "
        << Text(Member(folders, "state_dir")) << "\n";
    out << "Policy file: " << Text(Member(host, "policy_file"));
    const Json::Value& policy = Member(host, "policy");
    if (policy.isObject() && !Member(policy, "problem").asString().empty())
        out << " (its last reading was not used: " << Text(Member(policy, "problem")) << ")";
    out << "\n";
    const Json::Value& readOnly = Member(host, "read_only_databases");
    if (readOnly.isArray() && !readOnly.empty()) out << "Read-only databases: " << Text(readOnly) << "\n";
}

// First: the rows that wait and why, or that none does.
void Waiting(const Json::Value& waiting, std::ostream& out) {
    if (!waiting.isObject()) return;
    const Json::Value& entries = Member(waiting, "entries");
    if (!entries.isArray() || entries.empty()) {
        out << "Every row is sent: nothing waits (counted " << UtcTime(Member(waiting, "counted_at")) << ")\n";
        return;
    }
    out << "Rows waiting: " << Text(Member(waiting, "rows")) << " (counted " << UtcTime(Member(waiting, "counted_at"))
        << ")\n";
    for (const Json::Value& entry : entries) {
        std::string family = Member(entry, "family").asString();
        for (char& c : family) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        out << "  " << std::left << std::setw(5) << family << Text(Member(entry, "dataset")) << " ("
            << Text(Member(entry, "dataset_id")) << "): " << Text(Member(entry, "rows")) << " rows: "
            << Text(Member(entry, "words")) << "; ends with " << Text(Member(entry, "ends"));
        if (Member(entry, "until").asInt64() != 0) out << ", by " << UtcTime(Member(entry, "until"));
        out << "\n";
    }
}

}  // namespace

void WriteStatusSummary(const Json::Value& answer, std::ostream& out) {
    const Json::Value& status = Member(answer, "status");
    Waiting(Member(answer, "waiting"), out);
    Flags(Member(status, "agent"), out);
    Families(status, out);
    Backoff(status, out);
    Resilience(status, out);
    Housekeeping(status, out);
    Databases(status, out);
    UnsavedBookmarks(status, out);
    out << "Device-context records pending: " << Text(Member(status, "device_context_records_pending")) << "\n";
    out << "Queue length: " << Text(Member(status, "queue_length")) << "\n";
    Host(Member(answer, "host"), out);
}

}  // namespace datasyncctl
