// Single steps of the scheduler, driven through the components without the agent's threads: the
// sync-map writers, the timer pass (due records, retry counts, the rescan, the registration
// request), the dispatch's result per family, and the device-context thread's retry wait.
#include <gmock/gmock.h>

#include <future>

#include "datasync/upload/UploadFixture.h"
#include "support/AgentHarness.h"
#include "support/LogonUser.h"
#include "support/ManualClock.h"
#include "support/PreparedComponents.h"

namespace {

using testsupport::PreparedComponents;
using testsupport::WaitUntil;
using namespace std::chrono_literals;
using Record = ZEL::DataSync::_sync_data;

const std::wstring kDataset = L"6F1C2D3E-0000-4000-8000-000000000001";
const std::wstring kScheduled = L"6F1C2D3E-0000-4000-8000-000000000002";

class SyncMapTest : public testsupport::AgentHarness {
protected:
    void SetUp() override {
        AgentHarness::SetUp();
        ZEL::CoreUtility::SetInstance(&m_collector);
        UsePolicy(L"KTA,NAVS");
    }
    void TearDown() override {
        ZEL::CoreUtility::SetInstance(&m_transport);
        AgentHarness::TearDown();
    }
    void UsePolicy(const std::wstring& syncEPs, const std::wstring& navpUrl = L"https://navp.test/") {
        m_policy = testsupport::PolicyWithoutFamilies();
        m_policy.syncEndpointUrls = {{L"KTA_syncEP_url", L"https://kta.test/"},
                                     {L"NAVS_syncEP_url", L"https://navs.test/"},
                                     {L"NAVP_syncEP_url", navpUrl}};
        for (const auto& [id, frequency] : {std::pair{kDataset, L"nrt"}, std::pair{kScheduled, L"1h"}}) {
            m_policy.datasets.push_back(testsupport::MakeDataSet(id, L"Data", syncEPs, frequency));
            m_policy.datasets.back().set_include_events({L"ALL"});
        }
        m_config->SetPolicy(m_policy);
    }
    std::wstring ServicePath(const std::wstring& dataset) {
        return ZEL::String::UTF8ToUTF16(m_dir.path()) + L"service/" + dataset + L"_ItemEvent.sqlite3";
    }
    void WriteRows(const std::wstring& dataset, int count) {
        const std::string id = ZEL::String::UTF16ToUTF8(dataset);
        testsupport::TelemetryWriter table(m_dir.path() + "service/" + id + "_ItemEvent.sqlite3", "ItemEvent");
        for (int n = 0; n < count; ++n) table.Insert(testsupport::ItemEventJson(id, "i"));
        testsupport::TelemetryWriter(m_dir.path() + "service/DeviceContext.sqlite3", "DeviceContext")
            .Insert(R"({"device_context_id":"dc-1"})");
    }
    std::size_t RequestsTo(const std::string& host) {
        std::size_t n = 0;
        for (const uploadtest::Request& request : m_collector.Requests())
            n += request.url.find(host) != std::string::npos;
        return n;
    }

    ZEL::TelemetryPolicy m_policy;
    uploadtest::ScriptedTransport m_collector;
};

TEST_F(SyncMapTest, ChangeNotificationsMarkTheFilesRecordAndOnlyAnAcceptedUploadClearsIt) {
    WriteRows(kDataset, 3);
    PreparedComponents p(m_policy);
    ZEL::DataSync::SyncMap& map = p.c.syncMap;
    const std::wstring path = ServicePath(kDataset);
    map.DBChangesNotify(path, ZEL::utility::DB_PATH_USER_SHARED);
    Record record = map.Record(path);
    EXPECT_EQ(std::tuple(record.db_root, record.sync_kind, record.trigger_times, record.last_applicable),
              std::tuple(2u, 0u, 1u, true));
    map.Update(path, [](Record& r) { r.sync_state = 1, r.retry_times = 6; });  // queued
    map.InternalDBChangesNotify(path);
    EXPECT_EQ(map.Record(path).retry_times, 6) << "a queued record keeps its retry count";
    EXPECT_EQ(map.Record(path).trigger_times, 2u);
    map.Update(path, [](Record& r) { r.sync_state = 0; });
    map.InternalDBChangesNotify(path);
    EXPECT_EQ(map.Record(path).retry_times, 0);
    EXPECT_EQ(map.Record(path).db_root, 1u);

    // Cannot connect: outside the back-off classes, so no wait holds the second pass.
    m_collector.QueueNoAnswer(12029);
    m_collector.QueueNoAnswer(12029);
    map.SyncDB(path);
    record = map.Record(path);
    EXPECT_EQ(map.Size(), 1u) << "no second record under the bare file name";
    EXPECT_EQ(std::tuple(record.trigger_times, record.sync_state, record.last_result), std::tuple(3u, 2u, 0u))
        << "a failed upload keeps the trigger";
    map.SyncDB(path);  // answers 200 now
    record = map.Record(path);
    EXPECT_EQ(std::tuple(record.trigger_times, record.sync_state, record.last_result), std::tuple(0u, 0u, 1u));
    map.SyncDB(L"/nowhere/X_ItemEvent.sqlite3");  // no record: nothing happens
}

TEST_F(SyncMapTest, WhileAnUploadIsOnTheWireTheMapAnswersAndNothingIsQueuedTwice) {
    WriteRows(kDataset, 3);
    PreparedComponents p(m_policy);
    ZEL::DataSync::SyncMap& map = p.c.syncMap;
    const std::wstring path = ServicePath(kDataset);
    map.InternalDBChangesNotify(path);
    p.c.timer.DoTimerPost(L"");
    ASSERT_EQ(p.c.queue.Size(), 1u);
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> first{true};
    m_collector.HoldEachRequest([&] {
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
    const Record record = map.Record(path);
    EXPECT_EQ(record.trigger_times, 1u) << "the change that came during the upload is kept";
    EXPECT_EQ(record.sync_state, 2u);
    p.c.timer.DoTimerPost(L"");
    EXPECT_EQ(p.c.queue.Size(), 2u) << "and is queued by the next pass";
}

TEST_F(SyncMapTest, DispatchResultIsTheFirstNamedFamilysResult) {
    WriteRows(kDataset, 3);
    {
        PreparedComponents p(m_policy);
        m_collector.QueueStatus(500);  // KTA fails, NAVS succeeds
        EXPECT_FALSE(p.DoPost(kDataset));
        EXPECT_EQ(RequestsTo("navs.test"), 1u);
        EXPECT_TRUE(p.c.dispatch.HandleSharedNRT(L"GlobalContext.sqlite3")) << "nothing to do is a success";
    }
    UsePolicy(L"NAVP", L"not a url");
    PreparedComponents p(m_policy);
    const std::size_t before = m_collector.Requests().size();
    EXPECT_FALSE(p.DoPost(kDataset)) << "NAVP named, its URL invalid";
    EXPECT_EQ(m_collector.Requests().size(), before);
}

TEST_F(SyncMapTest, DeviceContextSuccessFollowsTheFamiliesItsDatasetNames) {
    WriteRows(kDataset, 1);
    const struct {
        const wchar_t* syncEPs;
        int firstAnswer;
        bool success;
    } cases[] = {{L"NAVS", 200, true}, {L"KTA,NAVS", 500, false} /* the KTA answer decides */, {L"FTP", 200, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(ZEL::String::UTF16ToUTF8(c.syncEPs));
        ZEL::TelemetryPolicy policy = m_policy;
        policy.datasets.push_back(
            testsupport::MakeDataSet(L"03D21916-F27E-41EB-B8B3-77372521FBC7", L"DeviceContext", c.syncEPs, L"nrt"));
        PreparedComponents p(policy);
        m_collector.QueueStatus(c.firstAnswer);
        EXPECT_EQ(p.c.deviceContext.HandleDeviceContext(L"DeviceContext.sqlite3"), c.success);
        EXPECT_EQ(p.c.deviceContext.IsDeviceContextSynced(), c.success);
    }
    EXPECT_NE(m_collector.Requests().at(0).url.find("navs.test/global-context"), std::string::npos);
}

// A scheduled record sent again before its interval is over after a failed upload counts a
// retry; above five the timer queues nothing. A success or the interval's end resets the count.
TEST_F(SyncMapTest, ScheduledRecordsRetryCountAndClockSetBack) {
    WriteRows(kScheduled, 3);
    constexpr std::int64_t kNow = 1796554800;
    testsupport::ManualClock clock(std::chrono::system_clock::from_time_t(kNow));
    PreparedComponents p(m_policy);
    p.c.timer.DoTimerPost(L"");  // creates the scheduled record; its rows are an hour old: queued
    const std::wstring path = ServicePath(kScheduled);
    ASSERT_EQ(p.c.syncMap.Record(path).sync_kind, 2u);
    std::size_t queued = p.c.queue.Size();
    const auto pass = [&](int lastResult, std::int64_t lastSync, int remain) {
        p.c.syncMap.Update(path, [&](Record& r) {
            r.last_result = lastResult, r.last_sync_time = lastSync, r.remain_data = remain;
        });
        p.c.timer.DoTimerPost(L"");
        const bool more = p.c.queue.Size() > queued;
        queued = p.c.queue.Size();
        return std::pair(p.c.syncMap.Record(path).retry_times, more);
    };
    EXPECT_EQ(pass(1, kNow, 0), std::pair(0, false)) << "interval of one hour not over";
    for (int n = 1; n <= 5; ++n) EXPECT_EQ(pass(0, kNow, 1), std::pair(n, true)) << "unsent rows after a failure";
    EXPECT_EQ(pass(0, kNow, 1), std::pair(6, false)) << "above five: nothing queued";
    EXPECT_EQ(pass(1, kNow, 1), std::pair(0, true)) << "the last upload succeeded";
    EXPECT_EQ(pass(0, kNow, 1), std::pair(1, true));
    EXPECT_EQ(pass(0, kNow - 3600, 0), std::pair(0, true)) << "the interval is over";
    EXPECT_EQ(pass(1, kNow, 0), std::pair(0, false));
    clock.SetWall(std::chrono::system_clock::from_time_t(kNow - 6 * 3600));
    EXPECT_EQ(pass(1, kNow, 0), std::pair(0, true)) << "a clock set back must not hold the record for hours";
}

// Every 5 minutes of the monotonic clock (first one period after the first pass) the timer pass
// looks for unsent rows no change notification reported; device ready looks at once and sends them.
TEST_F(SyncMapTest, TimerPassRescansTheNearRealTimeFilesEveryFiveMinutes) {
    testsupport::ManualClock clock(std::chrono::system_clock::from_time_t(1796554800));
    clock.AdvanceSteady(1000s);
    PreparedComponents p(m_policy);
    WriteRows(kDataset, 3);
    for (auto [step, queued] : {std::pair{0ms, 0u}, {299999ms, 0u}, {1ms, 1u}}) {
        clock.AdvanceSteady(step);
        p.c.timer.DoTimerPost(L"");
        EXPECT_EQ(p.c.queue.Size(), queued) << step.count();
    }
    EXPECT_EQ(p.c.syncMap.Record(ServicePath(kDataset)).sync_kind, 1u);
    PreparedComponents fresh(m_policy);
    fresh.c.timer.DeviceReadySync(false);
    EXPECT_EQ(m_collector.Requests().size(), 2u) << "to KTA and NAVS";
}

// An unregistered, started and online device with telemetry waiting for KTA or NAVS asks once
// for a registration at the end of a timer pass.
TEST_F(SyncMapTest, TimerPassAsksForRegistrationOnlyWhenTelemetryWaitsForKtaOrNavs) {
    const struct {
        const char* name;
        const wchar_t* syncEPs;
        bool registered, started, online, rowsWaiting, requested;
    } cases[] = {{"KTA and NAVS", L"KTA,NAVS", false, true, true, true, true},
                 {"NAVS only", L"NAVS", false, true, true, true, true},
                 {"registered", L"KTA,NAVS", true, true, true, true, false},
                 {"not started", L"KTA,NAVS", false, false, true, true, false},
                 {"offline", L"KTA,NAVS", false, true, false, true, false},
                 {"no telemetry waiting", L"KTA,NAVS", false, true, true, false, false},
                 {"neither KTA nor NAVS", L"NAVP", false, true, true, true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UsePolicy(c.syncEPs, L"");
        if (std::wstring(c.syncEPs) == L"NAVP") m_policy.syncEndpointUrls.clear();
        PreparedComponents p(m_policy);
        p.c.state._b_is_DevRegistered = c.registered, p.c.state._b_is_start = c.started;
        p.c.state._b_is_online = c.online;
        if (c.rowsWaiting) p.c.syncMap.InternalDBChangesNotify(ServicePath(kDataset));
        p.c.timer.DoTimerPost(L"");
        EXPECT_EQ(p.c.state.m_registrationRequested.load(), c.requested);
    }
}

// A failed upload of a shared-folder database is tried once more at once; the second decides.
TEST_F(SyncMapTest, SharedFolderUploadIsTriedTwiceAndTheSecondAttemptDecides) {
    testsupport::LogonUser user;
    UsePolicy(L"KTA", L"");
    const std::string file = ZEL::String::UTF16ToUTF8(kDataset) + "_ItemEvent.sqlite3";
    WriteRows(kDataset, 0);  // the device context only
    const struct {
        std::vector<int> failures;  // cannot-connect answers before the collector accepts
        bool ok;
        std::size_t requests;
    } cases[] = {{{}, true, 1}, {{12029}, true, 2}, {{12029, 12029}, false, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failures.size());
        testsupport::TelemetryWriter(m_dir.path() + "shared/" + file, "ItemEvent")
            .Insert(testsupport::ItemEventJson(ZEL::String::UTF16ToUTF8(kDataset), "i"));
        PreparedComponents p(m_policy);
        for (int code : c.failures) m_collector.QueueNoAnswer(code);
        const std::size_t before = m_collector.Requests().size();
        EXPECT_EQ(p.c.dispatch.HandleSharedNRT(ZEL::String::UTF8ToUTF16(file)), c.ok);
        EXPECT_EQ(m_collector.Requests().size() - before, c.requests);
    }
}

TEST_F(SyncMapTest, DeviceContextRetryWaitEndsWithTheServiceStopOrWithUnInit) {
    WriteRows(kDataset, 1);
    m_policy.navpUrl = L"https://navp.test/";
    m_config->SetPolicy(m_policy);
    for (bool setStop : {true, false}) {
        SCOPED_TRACE(setStop ? "service stop set" : "UnInit alone");
        m_logs.Clear();
        platform::ResetEvent(m_stop);
        m_collector.QueueStatus(500);
        const std::size_t before = m_collector.Requests().size();
        auto agent = std::make_unique<DataSyncAgent>();
        agent->Init(m_stop);
        agent->AddDeviceContextRecordToSync(1);
        ASSERT_TRUE(WaitUntil([this] { return Logged("Retrying sync device context after returned sync result: 5"); }));
        const auto start = std::chrono::steady_clock::now();
        if (setStop) platform::SetEvent(m_stop);
        agent.reset();  // UnInit
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
        EXPECT_EQ(m_collector.Requests().size(), before + 1) << "no second attempt before 15 minutes";
    }
}

TEST(SyncMapNames, RecordKindComesFromTheFileName) {
    for (auto [name, kind] : {std::pair{L"X_DatasetContext_ItemEvent.sqlite3", 1}, {L"X_ItemEvent.sqlite3", 0},
                              {L"X_ItemContext.sqlite3", 2}, {L"DeviceContext.sqlite3", 5},
                              {L"GlobalContext.sqlite3", 4}})
        EXPECT_EQ(DataSyncAgent::GetDataItemType(name), kind) << name;
}

}  // namespace
