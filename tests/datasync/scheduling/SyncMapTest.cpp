// Single steps of the scheduler on fakes, driven through the components without the agent's threads.
#include <gtest/gtest.h>

#include <functional>
#include <future>

#include "datasync/agent/DataSyncAgent.h"
#include "datasync/common/WellKnownIds.h"
#include "support/FakeComponents.h"

namespace {

using testsupport::PreparedComponents;
using namespace std::chrono_literals;
using Record = ZEL::DataSync::_sync_data;

const std::wstring kDataset = L"6F1C2D3E-0000-4000-8000-000000000001";
const std::wstring kScheduled = L"6F1C2D3E-0000-4000-8000-000000000002";

class SyncMapTest : public ::testing::Test {
protected:
    testsupport::FakeHost m_host;
    testsupport::FakeTransport& m_transport = m_host.transport;
    ZEL::TelemetryPolicy m_policy =
        m_host.UsePolicy(testsupport::SyncPolicy(L"KTA,NAVS", {{kDataset, L"nrt"}, {kScheduled, L"1h"}}));
};

TEST_F(SyncMapTest, ChangeNotificationsMarkTheFilesRecordAndOnlyAnAcceptedUploadClearsIt) {
    const std::wstring path = m_host.AddItemEvents(ZEL::utility::DB_PATH_INTERNAL, kDataset, 3);
    PreparedComponents p(m_policy);
    ZEL::DataSync::SyncMap& map = p.c.syncMap;
    map.DBChangesNotify(path, ZEL::utility::DB_PATH_USER_SHARED);
    const auto fields = [&map, &path] {  // root kind triggers state retries result applicable
        const Record r = map.Record(path);
        return std::vector<std::int64_t>{r.db_root, r.sync_kind, r.trigger_times, r.sync_state, r.retry_times,
                                         r.last_result, r.last_applicable};
    };
    EXPECT_EQ(fields(), (std::vector<std::int64_t>{2, 0, 1, 0, 0, 0, 1}));
    map.Update(path, [](Record& r) { r.sync_state = 1, r.retry_times = 6; });  // queued
    map.InternalDBChangesNotify(path);
    EXPECT_EQ(fields(), (std::vector<std::int64_t>{1, 0, 2, 1, 6, 0, 1})) << "a queued record keeps its retry count";
    map.Update(path, [](Record& r) { r.sync_state = 0; });
    map.InternalDBChangesNotify(path);
    EXPECT_EQ(map.Record(path).retry_times, 0);
    // Cannot connect: outside the back-off classes, so no wait holds the second pass.
    m_transport.QueueNoAnswer(12029);
    m_transport.QueueNoAnswer(12029);
    map.SyncDB(path);
    EXPECT_EQ(map.Size(), 1u) << "no second record under the bare file name";
    EXPECT_EQ(fields(), (std::vector<std::int64_t>{1, 0, 3, 2, 0, 0, 1})) << "a failed upload keeps the trigger";
    map.SyncDB(path);  // answers 200 now
    EXPECT_EQ(fields(), (std::vector<std::int64_t>{1, 0, 0, 0, 0, 1, 1}));
    map.SyncDB(L"/nowhere/X_ItemEvent.sqlite3");  // no record: nothing happens
}

TEST_F(SyncMapTest, WhileAnUploadIsOnTheWireTheMapAnswersAndNothingIsQueuedTwice) {
    const std::wstring path = m_host.AddItemEvents(ZEL::utility::DB_PATH_INTERNAL, kDataset, 3);
    PreparedComponents p(m_policy);
    ZEL::DataSync::SyncMap& map = p.c.syncMap;
    map.InternalDBChangesNotify(path);
    p.c.timer.DoTimerPost(L"");
    ASSERT_EQ(p.c.queue.Size(), 1u);
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> first{true};
    m_transport.HoldEachRequest([&] {
        if (!first.exchange(false)) return;
        entered.set_value();
        released.wait();
    });
    auto upload = std::async(std::launch::async, [&] { map.SyncDB(path); });
    ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);
    // The upload holds no lock of the map: the status, a timer pass and a change go through.
    EXPECT_EQ(p.c.syncMap.CurrentStatus()->count(path), 1u);
    map.InternalDBChangesNotify(path);
    p.c.timer.DoTimerPost(L"");
    EXPECT_EQ(p.c.queue.Size(), 1u) << "no second request for a database whose upload runs";
    release.set_value();
    upload.get();
    EXPECT_EQ(std::pair(map.Record(path).trigger_times, map.Record(path).sync_state), std::pair(1u, 2u))
        << "the change that came during the upload is kept";
    p.c.timer.DoTimerPost(L"");
    EXPECT_EQ(p.c.queue.Size(), 2u) << "and is queued by the next pass";
}

// After a failed upload a record sent within its interval counts a retry; above five nothing is queued.
TEST_F(SyncMapTest, ScheduledRecordsRetryCountAndClockSetBack) {
    const std::wstring path = m_host.AddItemEvents(ZEL::utility::DB_PATH_INTERNAL, kScheduled, 3);
    constexpr std::int64_t kNow = testsupport::FakeHost::kNow;
    PreparedComponents p(m_policy);
    p.c.timer.DoTimerPost(L"");  // creates the scheduled record; its rows are an hour old: queued
    ASSERT_EQ(p.c.syncMap.Record(path).sync_kind, 2u);
    std::size_t queued = p.c.queue.Size();
    p.c.timer.DoTimerPost(L"");
    EXPECT_EQ(p.c.queue.Size(), queued) << "its message waits in the queue: no second one";
    // Each pass after an upload that left the record as given (the worker took the message).
    const auto pass = [&](int lastResult, std::int64_t lastSync, int remain) {
        p.c.syncMap.Update(path, [&](Record& r) { r.last_result = lastResult, r.last_sync_time = lastSync; });
        p.c.syncMap.Update(path, [&](Record& r) { r.remain_data = remain, r.sync_state = remain ? 2 : 0; });
        p.c.timer.DoTimerPost(L"");
        const bool more = p.c.queue.Size() > std::exchange(queued, p.c.queue.Size());
        return std::pair(p.c.syncMap.Record(path).retry_times, more);
    };
    EXPECT_EQ(pass(1, kNow, 0), std::pair(0, false)) << "interval of one hour not over";
    for (int n = 1; n <= 5; ++n) EXPECT_EQ(pass(0, kNow, 1), std::pair(n, true)) << "unsent rows after a failure";
    EXPECT_EQ(pass(0, kNow, 1), std::pair(6, false)) << "above five: nothing queued";
    EXPECT_EQ(pass(1, kNow, 1), std::pair(0, true)) << "the last upload succeeded";
    EXPECT_EQ(pass(0, kNow, 1), std::pair(1, true));
    EXPECT_EQ(pass(0, kNow - 3600, 0), std::pair(0, true)) << "the interval is over";
    EXPECT_EQ(pass(1, kNow, 0), std::pair(0, false));
    m_host.clock.SetWall(std::chrono::system_clock::from_time_t(kNow - 6 * 3600));
    EXPECT_EQ(pass(1, kNow, 0), std::pair(0, true)) << "a clock set back must not hold the record for hours";
}

// A pending purge can last for days: every upload path answers at once (the worker and the timer
// go round, the watchdog is fed), posts nothing, and the record keeps its trigger for later.
TEST_F(SyncMapTest, APendingPurgeHoldsEveryUploadPathAtOnceAndTheRecordKeepsItsTrigger) {
    const std::wstring path = m_host.AddItemEvents(ZEL::utility::DB_PATH_INTERNAL, kDataset, 3);
    m_host.files.Add(ZEL::utility::DB_PATH_INTERNAL, ZEL::DataSync::kPurgePendingMarker);
    PreparedComponents p(m_policy);
    p.c.state._b_is_start = true;
    p.c.syncMap.InternalDBChangesNotify(path);
    const std::pair<const char*, std::function<void()>> paths[] = {
        {"timer pass", [&] { p.c.timer.DoTimerPost(L""); }},
        {"database upload", [&] { p.c.syncMap.SyncDB(path); }},
        {"device-context upload", [&] { p.c.deviceContext.HandleDeviceContext(L"DeviceContext.sqlite3"); }},
        {"rows remaining", [&] { p.c.dispatch.RemainData2Sync(1, path); }},
    };
    for (const auto& [name, run] : paths) {
        auto done = std::async(std::launch::async, run);
        EXPECT_EQ(done.wait_for(10s), std::future_status::ready) << name << " waits for the purge";
        p.c.stop.Cancel();  // ends a wait, should one be made
        done.get();
        p.c.stop.Reset();
    }
    EXPECT_EQ(m_transport.RequestCount(), 0);
    EXPECT_EQ(p.c.queue.Size(), 0u);
    EXPECT_EQ(p.c.syncMap.Record(path).trigger_times, 1u);
}

TEST(SyncMapNames, RecordKindComesFromTheFileName) {
    for (auto [name, kind] : {std::pair{L"X_DatasetContext_ItemEvent.sqlite3", 1}, {L"X_ItemEvent.sqlite3", 0},
                              {L"X_ItemContext.sqlite3", 2}, {L"DeviceContext.sqlite3", 5},
                              {L"GlobalContext.sqlite3", 4}})
        EXPECT_EQ(DataSyncAgent::GetDataItemType(name), kind) << name;
}

}  // namespace
