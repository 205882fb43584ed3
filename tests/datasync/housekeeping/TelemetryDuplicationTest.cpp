#include <gtest/gtest.h>

#include <future>

#include "datasync/common/WellKnownIds.h"
#include "support/FakeComponents.h"

namespace {

using testsupport::FakeHost;
using testsupport::PreparedComponents;

const std::wstring kData = L"6F1C2D3E-0000-4000-8000-000000000001";
const std::wstring kOther = L"6F1C2D3E-0000-4000-8000-000000000002";

TEST(TelemetryDuplicationTest, OnlyAFullySentDatabaseGainsACopyOfItsNewestRow) {
    FakeHost host;
    for (const auto& [id, next] :
         {std::pair{kData, 4} /* all sent */, std::pair{kOther, 3} /* row 3 waits */}) {
        host.AddItemEvents(ZEL::utility::DB_PATH_INTERNAL, id, 3);
        host.bookmarks.Write({L"SyncPoint.sqlite3", ZEL::utility::DB_PATH_INTERNAL, id, L"ItemEvent"}, next);
    }
    PreparedComponents p(
        host.UsePolicy(testsupport::SyncPolicy(L"KTA", {{kData, L"nrt"}, {kOther, L"nrt"}})));
    for (const auto& [id, copied] : {std::pair{kData, true}, std::pair{kOther, false}}) {
        SCOPED_TRACE(ZEL::String::UTF16ToUTF8(id));
        EXPECT_EQ(p.c.duplication.DuplicateLastRecordInDB(id, id + L"_ItemEvent.sqlite3"), copied);
        EXPECT_EQ(host.tables.RowCount(testsupport::TableOf(id)), copied ? 4u : 3u);
    }
}

TEST(TelemetryDuplicationTest, TheUserAgentHandShakeEndsWithItsAckOrAtOnceOnAStop) {
    FakeHost host;
    PreparedComponents p(host.UsePolicy(testsupport::SyncPolicy(L"KTA", {{kData, L"nrt"}})));
    p.c.duplication.CreateGlobalEvents();
    platform::HANDLE notify = platform::OpenEventW(ZEL::DataSync::kNotifyDuplicateItemEvent),
                     ack = platform::OpenEventW(ZEL::DataSync::kAckItemDuplicateEvent);
    ASSERT_TRUE(notify && ack);
    auto userAgent = std::async(std::launch::async, [&] {
        if (platform::WaitForSingleObject(notify, 5000) == platform::WAIT_OBJECT_0) platform::SetEvent(ack);
    });
    EXPECT_TRUE(p.c.duplication.NotifyAndWaitForAck(0));
    userAgent.get();

    auto waiting = std::async(std::launch::async, [&] { return p.c.duplication.NotifyAndWaitForAck(0); });
    EXPECT_EQ(platform::WaitForSingleObject(notify, 5000), platform::WAIT_OBJECT_0);
    const auto start = std::chrono::steady_clock::now();
    p.c.stop.Cancel();
    EXPECT_FALSE(waiting.get()) << "no ack: the stop ends the wait";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_FALSE(p.c.duplication.NotifyAndWaitForAck(5)) << "no hand-shake for another kind";
    for (platform::HANDLE handle : {notify, ack}) platform::CloseHandle(handle);
}

}  // namespace
