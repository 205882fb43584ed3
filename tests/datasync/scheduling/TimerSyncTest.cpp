#include <gtest/gtest.h>

#include "support/FakeComponents.h"

namespace {

using namespace std::chrono_literals;
using testsupport::FakeHost;
using testsupport::PreparedComponents;

const std::wstring kDataset = L"6F1C2D3E-0000-4000-8000-000000000001";
const std::wstring kScheduled = L"6F1C2D3E-0000-4000-8000-000000000002";

ZEL::TelemetryPolicy Policy(const std::wstring& syncEPs,
                            const std::wstring& navpUrl = L"https://navp.test/") {
    return testsupport::SyncPolicy(syncEPs, {{kDataset, L"nrt"}, {kScheduled, L"1h"}}, navpUrl);
}

// Unsent rows no change reported: looked for every 5 monotonic minutes, and at once on device ready.
TEST(TimerSyncTest, APassRescansTheNearRealTimeFilesEveryFiveMinutes) {
    FakeHost host;
    host.clock.AdvanceSteady(1000s);
    PreparedComponents p(host.UsePolicy(Policy(L"KTA,NAVS")));
    const std::wstring path = host.AddItemEvents(ZEL::utility::DB_PATH_INTERNAL, kDataset, 3);
    for (auto [step, queued] : {std::pair{0ms, 0u}, {299999ms, 0u}, {1ms, 1u}}) {
        host.clock.AdvanceSteady(step);
        p.c.timer.DoTimerPost(L"");
        EXPECT_EQ(p.c.queue.Size(), queued) << step.count();
    }
    EXPECT_EQ(p.c.syncMap.Record(path).sync_kind, 1u);
    PreparedComponents(host.UsePolicy(Policy(L"KTA,NAVS"))).c.timer.DeviceReadySync(false);
    EXPECT_EQ(host.transport.RequestCount(), 2) << "to KTA and NAVS";
}

// The first two rows ask; each row after them changes one column of the first.
TEST(TimerSyncTest, APassAsksForRegistrationOnlyWhenTelemetryWaitsForKtaOrNavs) {
    for (auto [syncEPs, registered, started, online, rowsWaiting, requested] :
         {std::tuple{L"KTA,NAVS", false, true, true, true, true},
          {L"NAVS", false, true, true, true, true},
          {L"KTA,NAVS", true, true, true, true, false},
          {L"KTA,NAVS", false, false, true, true, false},
          {L"KTA,NAVS", false, true, false, true, false},
          {L"KTA,NAVS", false, true, true, false, false},
          {L"NAVP", false, true, true, true, false}}) {
        SCOPED_TRACE(testing::Message() << syncEPs << registered << started << online << rowsWaiting);
        FakeHost host;
        ZEL::TelemetryPolicy policy = Policy(syncEPs, L"");
        if (std::wstring(syncEPs) == L"NAVP") policy.syncEndpointUrls.clear();
        PreparedComponents p(host.UsePolicy(policy));
        p.c.state._b_is_DevRegistered = registered;
        p.c.state._b_is_start = started;
        p.c.state._b_is_online = online;
        if (rowsWaiting)
            p.c.syncMap.InternalDBChangesNotify(
                host.files.Path(ZEL::utility::DB_PATH_INTERNAL, kDataset + L"_ItemEvent.sqlite3"));
        p.c.timer.DoTimerPost(L"");
        EXPECT_EQ(p.c.state.m_registrationRequested.load(), requested);
    }
}

}  // namespace
