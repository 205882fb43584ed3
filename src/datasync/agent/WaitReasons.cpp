// Why rows wait, gate by gate.
#include "datasync/agent/WaitReasons.h"

#include "datasync/agent/AgentComponents.h"

#include <chrono>
#include <ctime>
#include <optional>

#include "datasync/common/StringUtil.h"

namespace ZEL {
namespace DataSync {
namespace {

using std::chrono::seconds;

std::int64_t WallSeconds(Clock& clock) {
    return std::chrono::duration_cast<seconds>(clock.WallNow().time_since_epoch()).count();
}

// Unix seconds as "2026-12-07 10:00:00 UTC".
std::string UtcText(std::int64_t seconds) {
    const std::time_t at = static_cast<std::time_t>(seconds);
    std::tm utc{};
    char text[32];
    if (gmtime_r(&at, &utc) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc) == 0)
        return std::to_string(seconds);
    return text;
}

std::string FamilyName(SyncEP::SyncEp_type family) {
    return String::UTF16ToUTF8(FamilyOf(family).name);
}

// The gates of the family leg, in its order, asked without side effects.
std::optional<WaitReason> ClosedGate(AgentComponents& c, const std::wstring& datasetId,
                                     SyncEP::SyncEp_type family) {
    const bool ktaOrNavs = family != SyncEP::SyncEP_NAVP;
    const std::string name = FamilyName(family);
    if (!c.state._b_is_start)
        return WaitReason{"not_started", "the agent runs no uploads (no policy in force)",
                          "a valid policy file (see status: policy)"};
    if (c.endpoints.IsScopeNone())
        return WaitReason{"scope_none", "the policy's telemetry scope is \"none\": nothing is sent",
                          "a policy with another telemetry scope"};
    if (c.purge.IsTelemetrySyncBlocked())
        return WaitReason{"purge_pending",
                          "a device-path purge blocks every upload (the device moved to another realm)",
                          "datasyncctl purge, then the next registration or datasyncctl resume"};
    if (ktaOrNavs) {
        const auto pause = c.certPause.CurrentStatus();
        if (pause->paused) {
            const auto due = pause->lastHeartbeatCallTime +
                             seconds(CertExpiryPause::HeartbeatWaitSeconds(pause->heartbeatCalls));
            const auto now = c.clock.SteadyNow();
            const std::int64_t in = due > now ? std::chrono::ceil<seconds>(due - now).count() : 0;
            return WaitReason{"certificate_pause",
                              name + " uploads are paused: the client certificate has expired",
                              "a renewed client certificate, tried with the next heartbeat upload",
                              WallSeconds(c.clock) + in};
        }
    }
    const bool consent =
        datasetId.empty() ? c.consent.IsSyncAllowedByMetrics() : c.consent.IsSyncAllowedByMetrics(datasetId);
    if (!consent)
        return WaitReason{"no_consent", "the user has not consented to sending this telemetry",
                          "the user's consent"};
    if (ktaOrNavs && !c.state._b_is_DevRegistered)
        return WaitReason{"not_registered", "the device is not registered", "the device's registration"};
    if (!c.state._b_is_online)
        return WaitReason{"offline", "the device is offline", "the device coming online"};
    if (!c.endpoints.IsEnabled(family) || !c.endpoints.IsUrlValid(family))
        return WaitReason{"no_endpoint", name + " is not enabled, or its URL is not valid",
                          "a policy with a valid " + name + " URL"};
    if (!ktaOrNavs) return std::nullopt;
    const auto missing = c.deviceMissing.CurrentStatus();
    if (missing->flag)
        return WaitReason{
            "device_missing", "the server answered that the device is missing (403)",
            "the end of the hour's wait, or a new registration",
            WallSeconds(c.clock) + DeviceMissingState::SecondsLeft(*missing, c.clock.TickCount64())};
    const auto records = c.backoff.CurrentStatus();
    const auto record = records->find(family);
    if (record == records->end()) return std::nullopt;
    const RetryInfo& info = record->second;
    if (!info._sync_allowed) {
        const auto& n = info._retry_counts;
        return WaitReason{
            "blocked",
            name + " is blocked after repeated failures (429: " + std::to_string(n.at(0)) +
                ", host name not resolved: " + std::to_string(n.at(1)) +
                ", server errors: " + std::to_string(n.at(2)) + ")",
            "a resetBackOffState command (KTA, after server errors), the end of the DNS error, or "
            "a restart of the daemon"};
    }
    const std::int64_t left = ExponentialBackoff::WaitLeftMillis(info, c.clock.TickCount64());
    if (left > 0)
        return WaitReason{"backoff", name + " waits after a failed upload (back-off)", "the end of the wait",
                          WallSeconds(c.clock) + (left + 999) / 1000};
    return std::nullopt;
}

// What the last upload of the dataset to the family said.
WaitReason LastOutcome(const UploadLedger::Entry& last, SyncEP::SyncEp_type family) {
    const UploadOutcome& outcome = last.outcome;
    switch (outcome.result) {
        case UploadResult::NoDeviceContext:
            return {"no_device_context",
                    "no device context yet: " + FamilyName(family) +
                        " rows are sent under the newest device context",
                    "a row in DeviceContext.sqlite3 (written by the device-context collector)"};
        case UploadResult::NoIncludeList:
            return {"no_include_list", "the policy names no include list (include_events) for the dataset",
                    "a policy with an include list"};
        case UploadResult::BookmarkNotSaved:
        case UploadResult::BookmarkNotRead:
            return {"bookmark_not_writable",
                    "the bookmark file " + String::UTF16ToUTF8(outcome.file) + " cannot be " +
                        (outcome.result == UploadResult::BookmarkNotRead ? "read" : "written"),
                    "a writable bookmark file (disk space, permissions); tried again by itself"};
        case UploadResult::ReadFailed:
            return {"rows_unreadable", "the telemetry table cannot be read", "a readable database file"};
        case UploadResult::Failed:
        case UploadResult::NotBuilt:
        case UploadResult::Exception:
            return {"endpoint_failing",
                    "the last upload failed (" +
                        (outcome.status != 0 ? "status " + std::to_string(outcome.status)
                                             : std::string(ResultName(outcome.result))) +
                        ") at " + UtcText(last.at),
                    "an accepted upload; tried again with the next pass"};
        case UploadResult::Held:
            if (std::string(outcome.heldBy) == "not_applicable")
                return {"not_applicable", "the dataset's applicability filter does not match this device",
                        "a device or policy the filter matches"};
            break;
        default:
            break;
    }
    return {"uploading", "nothing holds the rows: they are being sent", "every row accepted"};
}

}  // namespace

WaitReason WhyRowsWait(AgentComponents& c, const std::wstring& datasetId, SyncEP::SyncEp_type family) {
    if (std::optional<WaitReason> gate = ClosedGate(c, datasetId, family)) return *gate;
    if (const std::optional<UploadLedger::Entry> last = c.ledger.Last(datasetId, family))
        return LastOutcome(*last, family);
    return {"uploading", "nothing holds the rows: they are being sent", "every row accepted"};
}

}  // namespace DataSync
}  // namespace ZEL
