#include <functional>

#include "datasync/agent/WaitReasons.h"
#include "support/AgentHarness.h"
#include "support/ManualClock.h"
#include "support/PreparedComponents.h"

namespace {

using ZEL::DataSync::UploadOutcome;
using ZEL::DataSync::UploadResult;
using Components = ZEL::DataSync::AgentComponents;

const std::wstring kDataset = L"6F1C2D3E-0000-4000-8000-000000000001";

class WaitReasonsTest : public testsupport::AgentHarness {};

TEST_F(WaitReasonsTest, EachGateAndOutcomeIsTheReasonWhileItHoldsAndClearsWhenItLifts) {
    testsupport::ManualClock clock{std::chrono::system_clock::from_time_t(1796554800)};
    testsupport::PreparedComponents p(testsupport::SyncPolicy(L"KTA", {{kDataset, L"nrt"}}));
    Components& c = p.c;
    const auto record = [&c](UploadOutcome outcome) {
        return [&c, outcome] { c.leg.Record(kDataset, SyncEP::SyncEP_KTA, outcome); };
    };
    const auto posted = record(UploadOutcome::Of(UploadResult::Posted));
    const struct {
        const char* code;
        std::function<void()> hold, lift;
        bool timed;  // ends by itself at a known time
    } cases[] = {
        {"purge_pending", [&] { c.purge.SetTelemetryPurgeInProgress(true); },
         [&] { c.purge.SetTelemetryPurgeInProgress(false); }, false},
        {"certificate_pause", [&] { c.certPause.PauseDataSyncDueToCertExpiry(L"expired"); },
         [&] { c.certPause.ResumeDataSyncAfterCertRenewal(); }, true},
        {"not_registered", [&] { c.state._b_is_DevRegistered = false; },
         [&] { c.state._b_is_DevRegistered = true; }, false},
        {"offline", [&] { c.state._b_is_online = false; }, [&] { c.state._b_is_online = true; }, false},
        {"device_missing", [&] { c.deviceMissing.Set403DeviceMissingError(); },
         [&] { c.deviceMissing.Reset403DeviceMissingError(); }, true},
        {"backoff",
         [&] {
             c.backoff.CheckForExponentialBackoffRetry(UploadOutcome::Of(UploadResult::Failed, 429),
                                                       SyncEP::SyncEP_KTA);
         },
         [&] { clock.AdvanceSteady(std::chrono::hours(3)); }, true},
        {"no_device_context", record(UploadOutcome::Of(UploadResult::NoDeviceContext)), posted, false},
        {"no_include_list", record(UploadOutcome::Of(UploadResult::NoIncludeList)), posted, false},
        {"not_applicable", record(UploadOutcome::HeldBy("not_applicable")), posted, false},
        {"bookmark_not_writable",
         record(UploadOutcome::BookmarkFault(UploadResult::BookmarkNotSaved, L"/f/SyncPoint.sqlite3")),
         posted, false},
        {"endpoint_failing", record(UploadOutcome::Of(UploadResult::Failed, 503)), posted, false},
    };
    EXPECT_EQ(WhyRowsWait(c, kDataset, SyncEP::SyncEP_KTA).code, "uploading");
    for (const auto& step : cases) {
        step.hold();
        const ZEL::DataSync::WaitReason held = WhyRowsWait(c, kDataset, SyncEP::SyncEP_KTA);
        EXPECT_EQ(held.code, step.code);
        EXPECT_EQ(held.until > 1796554800, step.timed) << step.code << " until " << held.until;
        step.lift();
        EXPECT_EQ(WhyRowsWait(c, kDataset, SyncEP::SyncEP_KTA).code, "uploading") << "after " << step.code;
    }
}

}  // namespace
