// The device context on fakes: the upload of its database, decided by the first family named,
// and the records handed over, whose failed post waits until the thread is stopped and which
// wait for the device-path purge's block to lift.
#include <gtest/gtest.h>

#include <future>

#include "support/FakeComponents.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;
using testsupport::FakeHost;
using testsupport::PreparedComponents;

const std::wstring kDataset = L"6F1C2D3E-0000-4000-8000-000000000001";

TEST(DeviceContextSyncTest, TheUploadsResultIsTheFirstNamedFamilysResult) {
    const struct {
        const wchar_t* syncEPs;
        int firstAnswer;
        bool success;
        const char* firstUrl;
    } cases[] = {{L"NAVS", 200, true, "navs.test/global-context"},
                 {L"KTA,NAVS", 500, false, "kta.test"} /* the KTA answer decides */,
                 {L"FTP", 200, false, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(ZEL::String::UTF16ToUTF8(c.syncEPs));
        FakeHost host;
        host.AddDeviceContext();
        host.transport.QueueStatus(c.firstAnswer);
        ZEL::TelemetryPolicy policy = testsupport::SyncPolicy(L"KTA,NAVS", {{kDataset, L"nrt"}});
        policy.datasets.push_back(testsupport::MakeDataSet(L"03D21916-F27E-41EB-B8B3-77372521FBC7",
                                                           L"DeviceContext", c.syncEPs, L"nrt"));
        PreparedComponents p(host.UsePolicy(policy));
        EXPECT_EQ(p.c.deviceContext.HandleDeviceContext(ZEL::DataSync::kDeviceContextFileName), c.success);
        EXPECT_EQ(p.c.deviceContext.IsDeviceContextSynced(), c.success);
        const std::vector<std::string> urls = host.transport.Urls();
        ASSERT_EQ(urls.empty(), c.firstUrl == nullptr);
        if (c.firstUrl != nullptr) {
            EXPECT_NE(urls[0].find(c.firstUrl), std::string::npos) << urls[0];
        }
    }
}

// A record whose post fails, or whose row cannot be read now, waits for the next try 15 minutes on;
// stopping the thread (as UnInit does) ends that wait.
TEST(DeviceContextSyncTest, ARecordThatCannotBeSentWaitsAndStoppingEndsTheWait) {
    for (const bool unreadable : {false, true}) {
        SCOPED_TRACE(unreadable ? "row cannot be read" : "NAVP answers 500");
        FakeHost host;
        host.AddDeviceContext();
        if (unreadable)
            host.tables.SetFailing({L"", ZEL::DeviceContext::TypeName(), ZEL::utility::DB_PATH_INTERNAL},
                                   true);
        else
            host.transport.QueueStatus(500);
        ZEL::TelemetryPolicy policy = testsupport::SyncPolicy(L"KTA,NAVS", {{kDataset, L"nrt"}});
        policy.navpUrl = L"https://navp.test/";
        PreparedComponents p(
            host.UsePolicy(policy));  // the service stop is never set: Stop alone ends the wait
        p.c.deviceContext.Start();
        p.c.deviceContext.AddDeviceContextRecordToSync(1);
        ASSERT_TRUE(testsupport::WaitUntil([&host] {
            return host.logs.Contains("Retrying sync device context after returned sync result: 5");
        }));
        EXPECT_EQ(p.c.deviceContext.PendingRecords(), 1u);
        const auto start = std::chrono::steady_clock::now();
        p.c.deviceContext.Stop();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
        EXPECT_EQ(host.transport.RequestCount(), unreadable ? 0 : 1) << "no second attempt before 15 minutes";
    }
}

// A record handed over while the purge blocks uploads goes out once the block lifts: the end of a
// purge run without a pending marker, or the host's resume after a completed purge.
TEST(DeviceContextSyncTest, ARecordHeldByThePurgeGoesOutWhenTheBlockLifts) {
    for (const bool completed : {false, true}) {
        SCOPED_TRACE(completed ? "resumed after a completed purge" : "the purge run ends");
        FakeHost host;
        host.AddDeviceContext();
        host.transport.Accept();
        if (completed)
            for (const wchar_t* marker : {L"pending", L"completed_utc"})
                host.files.WriteText(host.files.Path(ZEL::utility::DB_PATH_INTERNAL,
                                                     L"device_path_purge." + std::wstring(marker)),
                                     marker[0] == L'c' ? "1" : "");
        ZEL::TelemetryPolicy policy = testsupport::SyncPolicy(L"KTA,NAVS", {{kDataset, L"nrt"}});
        policy.navpUrl = L"https://navp.test/";
        PreparedComponents p(host.UsePolicy(policy));
        p.c.deviceContext.Start();
        if (!completed) p.c.purge.SetTelemetryPurgeInProgress(true);
        p.c.deviceContext.AddDeviceContextRecordToSync(1);
        ASSERT_TRUE(
            testsupport::WaitUntil([&host] { return host.logs.Contains("skip NAVP device context sync"); }));
        EXPECT_EQ(host.transport.RequestCount(), 0);
        if (completed)
            EXPECT_EQ(p.c.purge.ResumeAfterPurge(), "");
        else
            p.c.purge.SetTelemetryPurgeInProgress(false);
        EXPECT_TRUE(testsupport::WaitUntil([&p] { return p.c.deviceContext.PendingRecords() == 0; }));
        EXPECT_EQ(host.transport.RequestCount(), 1);
        p.c.deviceContext.Stop();
    }
}

}  // namespace
