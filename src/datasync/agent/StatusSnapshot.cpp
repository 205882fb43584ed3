// The agent's state as one JSON object for the control socket's "status". Each container is
// copied under its own lock, one lock at a time, so a status request never holds two locks
// and never blocks an upload for longer than a copy.
#include "datasync/agent/DataSyncAgent.h"
#include "datasync/host/Clock.h"
#include "datasync/host/StringUtil.h"

namespace {

Json::Value Text(const std::wstring& text) { return Json::Value(ZEL::String::UTF16ToUTF8(text)); }

Json::Value Family(bool enabled, bool valid, const std::wstring& url) {
    Json::Value family(Json::objectValue);
    family["enabled"] = enabled;
    family["url_valid"] = valid;
    family["url"] = Text(url);
    return family;
}

// Milliseconds of the monotonic clock from `since` to `now`.
std::int64_t ElapsedMillis(std::uint64_t since, std::uint64_t now) {
    return now > since ? static_cast<std::int64_t>(now - since) : 0;
}

}  // namespace

Json::Value DataSyncAgent::GetStatusSnapshot() {
    const std::uint64_t tick = ZEL::Clock::GetInstance()->TickCount64();
    Json::Value status(Json::objectValue);
    Json::Value& flags = status["agent"];
    flags["started"] = _b_is_start.load();
    flags["full_init_done"] = m_fullInitDone.load();
    flags["online"] = _b_is_online.load();
    flags["registered"] = _b_is_DevRegistered.load();
    flags["registration_requested"] = m_registrationRequested.load();
    flags["device_context_synced"] = m_deviceContextSynced.load();
    flags["backoff_reset_delay_minutes"] = m_backoffResetDelayMinutes.load();

    {
        std::lock_guard<std::mutex> lock(m_endpointMutex);
        flags["telemetry_scope"] = Text(m_telemetryScope);
        status["families"]["KTA"] = Family(m_ktaEnabled == 1, m_ktaUrlValid, m_ktaUrl);
        status["families"]["NAVS"] = Family(m_navsEnabled == 1, m_navsUrlValid, m_navsUrl);
        status["families"]["NAVP"] = Family(m_navpEnabled == 1, m_navpUrlValid, m_navpUrl);
        status["auth_mode"] = Text(m_authMode);
    }

    Json::Value& backoff = status["backoff"];
    backoff = Json::Value(Json::objectValue);
    {
        std::lock_guard<std::mutex> lock(m_retryMutex);
        for (const auto& entry : m_retryInfo) {
            Json::Value record(Json::objectValue);
            record["delay_ms"] = static_cast<Json::Int64>(entry.second._backoff_delay);
            record["last_failure_time"] = static_cast<Json::Int64>(entry.second._last_sync_call_time);
            record["retry_count"] = entry.second._backoff_retry_count;
            record["sync_allowed"] = entry.second._sync_allowed;
            // What is left of the wait, on the monotonic clock the pre-checks use.
            const std::int64_t delay = entry.second._backoff_delay;
            const std::int64_t left = delay - ElapsedMillis(entry.second._last_sync_call_tick, tick);
            record["wait_left_ms"] = static_cast<Json::Int64>(delay > 0 && left > 0 ? left : 0);
            Json::Value counts(Json::arrayValue);
            for (std::uint32_t count : entry.second._retry_counts) counts.append(count);
            record["class_counts"] = counts;
            backoff[ZEL::String::UTF16ToUTF8(SyncEP::Name(entry.first))] = record;
        }
    }

    {
        std::lock_guard<std::mutex> lock(m_403StateMutex);
        status["device_missing"]["flag"] = m_403DeviceMissingFlag;
        status["device_missing"]["set_time"] = static_cast<Json::Int64>(m_403ErrorSetTime);
        // Seconds of the one-hour block still to run (0 when the flag is clear or the hour is over
        // and the next pre-check will clear it).
        const std::int64_t left = 3600 - ElapsedMillis(m_403ErrorSetTick, tick) / 1000;
        status["device_missing"]["seconds_left"] =
            static_cast<Json::Int64>(m_403DeviceMissingFlag && left > 0 ? left : 0);
    }
    status["device_missing"]["counter"] = m_403DeviceMissingCounter.load();

    {
        // While paused: for how long, and when the gate lets the next heartbeat call through,
        // measured on the monotonic clock the gate uses (the wall-clock time is that wait added
        // to now, for reading only). All zero while not paused.
        using std::chrono::seconds;
        const auto steadyNow = ZEL::Clock::GetInstance()->SteadyNow();
        const auto wallNow = ZEL::Clock::GetInstance()->WallNow();
        std::lock_guard<std::mutex> lock(m_certExpiryStateMutex);
        const bool paused = m_dataSyncPausedDueToCertExpiry.load();
        Json::Value& pause = status["certificate_pause"];
        pause["paused"] = paused;
        pause["reason"] = Text(m_certExpiryPauseReason);
        pause["heartbeat_calls"] = m_heartbeatCallCount;
        std::int64_t pausedFor = 0, nextIn = 0, nextAt = 0;
        if (paused) {
            const auto due = m_lastHeartbeatCallTime + seconds(HeartbeatWaitSeconds(m_heartbeatCallCount));
            pausedFor = std::chrono::duration_cast<seconds>(steadyNow - m_certExpiryPauseTime).count();
            nextIn = due > steadyNow ? std::chrono::ceil<seconds>(due - steadyNow).count() : 0;
            nextAt = std::chrono::duration_cast<seconds>(wallNow.time_since_epoch()).count() + nextIn;
        }
        pause["paused_for_seconds"] = static_cast<Json::Int64>(pausedFor);
        pause["next_heartbeat_call"] = static_cast<Json::Int64>(paused ? std::int64_t{m_heartbeatCallCount} + 1 : 0);
        pause["next_heartbeat_in_seconds"] = static_cast<Json::Int64>(nextIn);
        pause["next_heartbeat_time"] = static_cast<Json::Int64>(nextAt);
    }

    Json::Value& nrt = status["nrt_databases"];
    nrt = Json::Value(Json::arrayValue);
    {
        std::lock_guard<std::mutex> lock(m_nrtMutex);
        for (const std::wstring& name : m_nrtDbList) nrt.append(Text(name));
    }
    Json::Value& scheduled = status["scheduled_datasets"];
    scheduled = Json::Value(Json::objectValue);
    {
        std::lock_guard<std::mutex> lock(m_scheduledMutex);
        for (const auto& entry : m_scheduledDatasets)
            scheduled[ZEL::String::UTF16ToUTF8(entry.first)] = entry.second;
    }

    Json::Value& syncMap = status["sync_map"];
    syncMap = Json::Value(Json::objectValue);
    {
        std::lock_guard<std::recursive_mutex> lock(m_syncMapMutex);
        for (const auto& entry : m_syncMap) {
            const _sync_data& data = entry.second;
            Json::Value record(Json::objectValue);
            record["db_root"] = data.db_root;
            record["sync_kind"] = data.sync_kind;
            record["trigger_times"] = data.trigger_times;
            record["last_result"] = data.last_result;
            record["sync_state"] = data.sync_state;
            record["remain_data"] = data.remain_data;
            record["retry_times"] = data.retry_times;
            record["interval"] = data.interval;
            record["last_sync_time"] = static_cast<Json::Int64>(data.last_sync_time);
            record["last_applicable"] = data.last_applicable;
            syncMap[ZEL::String::UTF16ToUTF8(entry.first)] = record;
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_deviceContextMutex);
        status["device_context_records_pending"] = static_cast<Json::UInt64>(m_deviceContextRecords.size());
    }
    status["queue_length"] = static_cast<Json::UInt64>(m_msgQueue.Size());
    return status;
}
