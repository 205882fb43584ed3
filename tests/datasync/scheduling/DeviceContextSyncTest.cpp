#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "support/FakeComponents.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;
using testsupport::FakeHost;
using testsupport::PreparedComponents;

const std::wstring kDataset = L"6F1C2D3E-0000-4000-8000-000000000001";

TEST(DeviceContextSyncTest, TheUploadsResultIsTheFirstNamedFamilysResult) {
    for (auto [syncEPs, firstAnswer, success, firstUrl] :
         {std::tuple{L"NAVS", 200, true, "navs.test/global-context"},
          {L"KTA,NAVS", 500, false, "kta.test"} /* the KTA answer decides */,
          {L"FTP", 200, false, nullptr}}) {
        SCOPED_TRACE(ZEL::String::UTF16ToUTF8(syncEPs));
        FakeHost host;
        host.transport.QueueStatus(firstAnswer);
        ZEL::TelemetryPolicy policy = testsupport::SyncPolicy(L"KTA,NAVS", {{kDataset, L"nrt"}});
        policy.datasets.push_back(testsupport::MakeDataSet(L"03D21916-F27E-41EB-B8B3-77372521FBC7",
                                                           L"DeviceContext", syncEPs, L"nrt"));
        PreparedComponents p(host.UsePolicy(policy));
        EXPECT_EQ(p.c.deviceContext.HandleDeviceContext(ZEL::DataSync::kDeviceContextFileName), success);
        EXPECT_EQ(p.c.deviceContext.IsDeviceContextSynced(), success);
        const auto requests = host.transport.Requests();
        ASSERT_EQ(requests.empty(), firstUrl == nullptr);
        EXPECT_TRUE(!firstUrl || requests[0].url.find(firstUrl) != std::string::npos) << requests[0].url;
    }
}

// After a failed post or an unreadable row the next try is 15 minutes later on the components'
// clock (Stop, as UnInit, ends that wait); a purge holds the record until it ends or is resumed.
TEST(DeviceContextSyncTest, ARecordThatCannotBeSentNowWaits) {
    enum Hold { kAnswer500, kUnreadable, kPurgeRuns, kPurgeCompleted };
    for (Hold hold : {kAnswer500, kUnreadable, kPurgeRuns, kPurgeCompleted}) {
        SCOPED_TRACE(hold);
        FakeHost host;
        if (hold == kAnswer500) host.transport.QueueStatus(500);
        if (hold == kUnreadable) host.tables.SetFailing(testsupport::TableOf<ZEL::DeviceContext>(L""), true);
        if (hold == kPurgeCompleted)
            for (const wchar_t* marker :
                 {ZEL::DataSync::kPurgePendingMarker, ZEL::DataSync::kPurgeCompletedMarker})
                host.files.WriteText(host.files.Path(ZEL::utility::DB_PATH_INTERNAL, marker), "1");
        ZEL::TelemetryPolicy policy = testsupport::SyncPolicy(L"KTA,NAVS", {{kDataset, L"nrt"}});
        policy.navpUrl = L"https://navp.test/";
        PreparedComponents p(host.UsePolicy(policy));  // the service stop is never set
        p.c.purge.SetTelemetryPurgeInProgress(hold == kPurgeRuns);
        p.c.deviceContext.Start();
        p.c.deviceContext.AddDeviceContextRecordToSync(1);
        const char* const logged = hold == kAnswer500 || hold == kUnreadable
                                       ? "Retrying sync device context after returned sync result: 5"
                                       : "skip NAVP device context sync";
        const int requests = hold == kAnswer500;
        ASSERT_TRUE(testsupport::WaitUntil([&] { return host.logs.Contains(logged); }));
        EXPECT_EQ(host.transport.RequestCount(), requests);
        EXPECT_EQ(p.c.deviceContext.PendingRecords(), 1u);
        if (hold == kUnreadable) {
            const auto start = std::chrono::steady_clock::now();
            p.c.deviceContext.Stop();
            EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
            EXPECT_EQ(host.transport.RequestCount(), 0) << "no second attempt before 15 minutes";
            continue;
        }
        if (hold == kPurgeRuns) p.c.purge.SetTelemetryPurgeInProgress(false);
        EXPECT_EQ(hold == kPurgeCompleted ? p.c.purge.ResumeAfterPurge() : "", "");
        // After the 500, 15 minutes on the components' clock (stepped on until then: the wait may
        // not have begun yet at the first step); the next try is made and accepted.
        const bool waitsOutTheClock = hold == kAnswer500;
        EXPECT_TRUE(testsupport::WaitUntil([&] {
            if (waitsOutTheClock) host.clock.AdvanceSteady(15min);
            return p.c.deviceContext.PendingRecords() == 0;
        }));
        EXPECT_EQ(host.transport.RequestCount(), requests + 1);
    }
}

// A Stop made while the last record is on the wire ends the thread once the post is done, with
// no cancel of the agent's waits to help it (a wake that the next look at the list swallowed
// would leave the thread waiting for good).
TEST(DeviceContextSyncTest, AStopWhileTheLastRecordIsOnTheWireEndsTheThread) {
    FakeHost host;
    ZEL::TelemetryPolicy policy = testsupport::SyncPolicy(L"KTA,NAVS", {{kDataset, L"nrt"}});
    policy.navpUrl = L"https://navp.test/";
    PreparedComponents p(host.UsePolicy(policy));
    std::future<void> stopped;
    host.transport.HoldEachRequest([&] {
        // Back once Stop has woken the thread: its Changed() comes after its wake.
        std::atomic<int> asks{0};
        auto changed =
            std::async(std::launch::async, [&] { p.c.stop.WaitUntil([&] { return ++asks > 1; }); });
        ASSERT_TRUE(testsupport::WaitUntil([&] { return asks > 0; }));
        stopped = std::async(std::launch::async, [&] { p.c.deviceContext.Stop(); });
        changed.wait();
    });
    p.c.deviceContext.Start();
    p.c.deviceContext.AddDeviceContextRecordToSync(1);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return host.transport.RequestCount() == 1; }));
    host.transport.HoldEachRequest(nullptr);
    const bool ended = stopped.wait_for(10s) == std::future_status::ready;
    p.c.stop.Cancel();  // frees a thread left waiting
    EXPECT_TRUE(ended) << "Stop still waits for the thread";
    EXPECT_EQ(p.c.deviceContext.PendingRecords(), 0u);
}

}  // namespace
