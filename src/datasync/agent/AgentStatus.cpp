// The agent's state as one JSON object for the control socket's "status", assembled from what
// the components published and from the atomic flags.
#include "datasync/agent/AgentStatus.h"

#include "datasync/agent/AgentComponents.h"

#include "datasync/common/StringUtil.h"

namespace ZEL {
namespace DataSync {
namespace {

Json::Value Text(const std::wstring& text) { return Json::Value(String::UTF16ToUTF8(text)); }

Json::Value Families(const EndpointConfig::Status& endpoints) {
    Json::Value families(Json::objectValue);
    for (const EndpointFamily& family : kEndpointFamilies) {
        Json::Value& entry = families[String::UTF16ToUTF8(family.name)];
        entry["enabled"] = endpoints.enabled[family.type];
        entry["url_valid"] = endpoints.valid[family.type];
        entry["url"] = Text(endpoints.urls.*family.url);
    }
    return families;
}

Json::Value Backoff(const ExponentialBackoff::Status& records, std::uint64_t tick) {
    Json::Value backoff(Json::objectValue);
    for (const auto& entry : records) {
        const RetryInfo& info = entry.second;
        Json::Value record(Json::objectValue);
        record["delay_ms"] = static_cast<Json::Int64>(info._backoff_delay);
        record["last_failure_time"] = static_cast<Json::Int64>(info._last_sync_call_time);
        record["retry_count"] = info._backoff_retry_count;
        record["sync_allowed"] = info._sync_allowed;
        // What is left of the wait, on the monotonic clock the pre-checks use.
        record["wait_left_ms"] = static_cast<Json::Int64>(ExponentialBackoff::WaitLeftMillis(info, tick));
        Json::Value counts(Json::arrayValue);
        for (std::uint32_t count : info._retry_counts) counts.append(count);
        record["class_counts"] = counts;
        backoff[String::UTF16ToUTF8(FamilyOf(entry.first).name)] = record;
    }
    return backoff;
}

Json::Value DeviceMissing(const DeviceMissingState::Status& state, std::uint64_t tick) {
    Json::Value missing(Json::objectValue);
    missing["flag"] = state.flag;
    missing["set_time"] = static_cast<Json::Int64>(state.setTime);
    missing["seconds_left"] = static_cast<Json::Int64>(DeviceMissingState::SecondsLeft(state, tick));
    missing["counter"] = state.counter;
    return missing;
}

// While paused: for how long, and when the gate lets the next heartbeat call through, measured
// on the monotonic clock the gate uses (the wall-clock time is that wait added to now, for
// reading only). All zero while not paused.
Json::Value CertificatePause(const CertExpiryPause::Status& state, Clock& clock) {
    using std::chrono::seconds;
    Json::Value pause(Json::objectValue);
    pause["paused"] = state.paused;
    pause["reason"] = Text(state.reason);
    pause["heartbeat_calls"] = state.heartbeatCalls;
    std::int64_t pausedFor = 0, nextIn = 0, nextAt = 0;
    if (state.paused) {
        const auto now = clock.SteadyNow();
        const auto due = state.lastHeartbeatCallTime + seconds(CertExpiryPause::HeartbeatWaitSeconds(state.heartbeatCalls));
        pausedFor = std::chrono::duration_cast<seconds>(now - state.pauseTime).count();
        nextIn = due > now ? std::chrono::ceil<seconds>(due - now).count() : 0;
        nextAt = std::chrono::duration_cast<seconds>(clock.WallNow().time_since_epoch()).count() + nextIn;
    }
    pause["paused_for_seconds"] = static_cast<Json::Int64>(pausedFor);
    pause["next_heartbeat_call"] = static_cast<Json::Int64>(state.paused ? std::int64_t{state.heartbeatCalls} + 1 : 0);
    pause["next_heartbeat_in_seconds"] = static_cast<Json::Int64>(nextIn);
    pause["next_heartbeat_time"] = static_cast<Json::Int64>(nextAt);
    return pause;
}

Json::Value Records(const SyncMap::Status& records) {
    Json::Value syncMap(Json::objectValue);
    for (const auto& entry : records) {
        const _sync_data& data = entry.second;
        Json::Value record(Json::objectValue);
        record["db_root"] = data.db_root;
        record["sync_kind"] = data.sync_kind;
        record["trigger_times"] = data.trigger_times;
        record["last_result"] = data.last_result;
        record["last_outcome"] = ResultName(data.last_outcome);
        record["sync_state"] = data.sync_state;
        record["remain_data"] = data.remain_data;
        record["retry_times"] = data.retry_times;
        record["interval"] = data.interval;
        record["last_sync_time"] = static_cast<Json::Int64>(data.last_sync_time);
        record["last_applicable"] = data.last_applicable;
        syncMap[String::UTF16ToUTF8(entry.first)] = record;
    }
    return syncMap;
}

// The bookmark files that refused a write or a read: uploads writing to them wait until the hold
// ends, and then make the writes owed first.
Json::Value UnsavedBookmarkFiles(const UnsavedBookmarks::Status& files, Clock& clock) {
    Json::Value out(Json::arrayValue);
    const auto now = clock.SteadyNow();
    for (const UnsavedBookmarks::FileState& file : files) {
        Json::Value entry(Json::objectValue);
        entry["file"] = Text(file.path);
        entry["failure"] = file.failure;
        entry["failures"] = file.failures;
        entry["since"] = static_cast<Json::Int64>(std::chrono::system_clock::to_time_t(file.since));
        entry["owed_writes"] = static_cast<Json::UInt64>(file.owed);
        entry["retry_in_ms"] = static_cast<Json::Int64>(
            file.nextTry > now ? std::chrono::duration_cast<std::chrono::milliseconds>(file.nextTry - now).count() : 0);
        out.append(entry);
    }
    return out;
}

const char* StateName(DevicePathPurge::State state) {
    switch (state) {
        case DevicePathPurge::State::Normal: return "normal";
        case DevicePathPurge::State::Pending: return "pending";
        case DevicePathPurge::State::Purging: return "purging";
        case DevicePathPurge::State::PurgedAwaitingResume: return "purged, awaiting resume";
    }
    return "?";
}

Json::Value Purge(const DevicePathPurge::Status& purge) {
    Json::Value out(Json::objectValue);
    out["state"] = StateName(purge.state);
    out["detected_utc"] = static_cast<Json::Int64>(purge.detectedUtc);
    if (!purge.problem.empty()) out["problem"] = purge.problem;
    if (purge.purged) out["last"] = PurgeReportJson(purge.last);
    return out;
}

Json::Value Retention(const TelemetryRetentionHandler::Status& retention) {
    Json::Value out(Json::objectValue);
    for (const auto& [name, run] : {std::pair{"service", &retention.service}, std::pair{"shared", &retention.shared}}) {
        Json::Value& root = out[name];
        root["started_at"] = static_cast<Json::Int64>(run->startedAt);
        root["ended_at"] = static_cast<Json::Int64>(run->endedAt);
        root["databases"] = run->databases;
        root["rows_deleted"] = static_cast<Json::Int64>(run->rowsDeleted);
        root["result"] = run->result;
    }
    return out;
}

}  // namespace

Json::Value PurgeReportJson(const DevicePathPurge::Report& report) {
    Json::Value out(Json::objectValue);
    out["ok"] = report.ok;
    out["error"] = report.error;
    out["cutoff_utc"] = static_cast<Json::Int64>(report.cutoff);
    out["files"] = report.files;
    out["rows_deleted"] = static_cast<Json::Int64>(report.rowsDeleted);
    out["bookmark_files"] = report.bookmarkFiles;
    out["bookmarks_cleared"] = static_cast<Json::Int64>(report.bookmarksCleared);
    out["device_contexts_cleared"] = static_cast<Json::Int64>(report.deviceContextsCleared);
    out["undated_rows_held"] = static_cast<Json::Int64>(report.undatedRowsHeld);
    return out;
}

Json::Value AgentStatus(AgentComponents& c) {
    const std::uint64_t tick = c.clock.TickCount64();
    const auto endpoints = c.endpoints.CurrentStatus();
    const auto policies = c.policies.CurrentStatus();

    Json::Value status(Json::objectValue);
    Json::Value& flags = status["agent"];
    flags["started"] = c.state._b_is_start.load();
    flags["full_init_done"] = c.state.m_fullInitDone.load();
    flags["online"] = c.state._b_is_online.load();
    flags["registered"] = c.state._b_is_DevRegistered.load();
    flags["registration_requested"] = c.state.m_registrationRequested.load();
    flags["device_context_synced"] = c.deviceContext.IsDeviceContextSynced();
    flags["backoff_reset_delay_minutes"] = c.backoff.ResetDelayMinutes();
    flags["telemetry_scope"] = Text(endpoints->telemetryScope);
    status["families"] = Families(*endpoints);
    status["auth_mode"] = Text(endpoints->authMode);
    status["backoff"] = Backoff(*c.backoff.CurrentStatus(), tick);
    status["device_missing"] = DeviceMissing(*c.deviceMissing.CurrentStatus(), tick);
    status["certificate_pause"] = CertificatePause(*c.certPause.CurrentStatus(), c.clock);

    Json::Value& nrt = status["nrt_databases"];
    nrt = Json::Value(Json::arrayValue);
    for (const std::wstring& name : *policies->nrtDatabases) nrt.append(Text(name));
    Json::Value& scheduled = status["scheduled_datasets"];
    scheduled = Json::Value(Json::objectValue);
    for (const auto& entry : policies->scheduledDatasets) scheduled[String::UTF16ToUTF8(entry.first)] = entry.second;

    status["sync_map"] = Records(*c.syncMap.CurrentStatus());
    status["unsaved_bookmarks"] = UnsavedBookmarkFiles(*c.unsaved.CurrentStatus(), c.clock);
    status["purge"] = Purge(c.purge.CurrentStatus());
    status["retention"] = Retention(*c.retention.CurrentStatus());
    status["device_context_records_pending"] = static_cast<Json::UInt64>(c.deviceContext.PendingRecords());
    status["queue_length"] = static_cast<Json::UInt64>(c.queue.Size());
    return status;
}

}  // namespace DataSync
}  // namespace ZEL
