// The worker thread and the agent's shutdown (the watchdog feed is checked end to end in ResilienceFlowTest).
#include <future>

#include "datasync/resilience/BackoffDelay.h"
#include "datasync/upload/InstalledStores.h"
#include "support/AgentHarness.h"

namespace {

using namespace std::chrono_literals;
using testsupport::QueueLength;
using testsupport::WaitUntil;

// Random delays (the reset tasks' up to two minutes) pinned to their least value.
struct NoJitter {
    NoJitter() { ZEL::ApiUtility::SetRandomSource([](unsigned lo, unsigned) { return lo; }); }
    ~NoJitter() { ZEL::ApiUtility::SetRandomSource(nullptr); }
};

class WorkerTest : public testsupport::AgentHarness {
protected:
    void SetUp() override {
        AgentHarness::SetUp();
        m_config->ChangePolicy([](ZEL::TelemetryPolicy& p) {
            p.primaryUrl = L"https://kta.example.com/";
            p.datasets = {testsupport::MakeDataSet(L"DS-1", L"A", L"KTA", L"nrt")};
        });
    }
    // UnInit on another thread, bounded; should it hang, the service-stop event ends it: false.
    bool UnInitWithin(DataSyncAgent& agent) {
        auto done = std::async(std::launch::async, [&agent] { agent.UnInit(); });
        if (done.wait_for(3s) == std::future_status::ready) return true;
        platform::SetEvent(m_stop);
        done.wait();
        return false;
    }
};

TEST_F(WorkerTest, WithOnlyNavpEnabledTheWorkerTakesMessagesWhileUnregistered) {
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& p) {
        p.primaryUrl.clear(), p.datasets.clear(), p.navpUrl = L"https://navp.example.com/";
    });
    m_transport.SetRegistered(true);
    DataSyncAgent agent;
    Start(agent);
    ASSERT_FALSE(agent.GetStatusSnapshot()["families"]["KTA"]["enabled"].asBool());
    // Online while registered queues DEVICE_ONLINE; the registration is withdrawn right after.
    m_transport.SetRegistered(false);
    Publish(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE);
    Publish(ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_REGISTRATION_CHANGED);
    ASSERT_TRUE(WaitBusIdle());
    ASSERT_FALSE(agent.GetStatusSnapshot()["agent"]["registered"].asBool());
    EXPECT_TRUE(WaitUntil([&agent] { return QueueLength(agent) == 0; })) << "the worker took DEVICE_ONLINE";
}

TEST_F(WorkerTest, UnInitWaitsForEveryThreadThatIsStillRunning) {
    const struct {
        const char* name;
        std::vector<std::string> heldLines;
        std::function<void(DataSyncAgent&)> keepBusy;
    } cases[] = {
        {"server command task", {"HandleResetBackoffState: Entry"},
         [this](DataSyncAgent&) { PublishCommand(L"set", L"resetBackOffState"); }},
        {"DNS recovery task", {"HandleResetBackoffStateOnDnsRecovery: Entry"},
         [this](DataSyncAgent&) { Publish(ZEL::TOPIC_DNS_STATUS, ZEL::STATE_DNS_RESOLVED); }},
        {"sendTelemetry task", {"DuplicateTelemetryHandler: Enter!"},
         [this](DataSyncAgent&) { PublishCommand(L"run", L"sendTelemetry"); }},
        {"device-context thread", {"Syncing device context record with id: 7"},
         [](DataSyncAgent& agent) { agent.AddDeviceContextRecordToSync(7); }},
        {"worker", {"MsgHandleProc: thread exited!", "MsgHandleProc: Service stop happend!"}, nullptr},
    };
    NoJitter noJitter;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_logs.HoldAt(c.heldLines);
        DataSyncAgent agent;
        Start(agent);
        if (c.keepBusy) {
            c.keepBusy(agent);
            ASSERT_TRUE(m_logs.WaitUntilHeld());
        }
        auto uninit = std::async(std::launch::async, [&agent] { agent.UnInit(); });
        EXPECT_TRUE(m_logs.WaitUntilHeld()) << "the worker writes its line while UnInit stops it";
        EXPECT_EQ(uninit.wait_for(200ms), std::future_status::timeout) << "UnInit returned while the thread ran";
        m_logs.HoldAt({});
        EXPECT_EQ(uninit.wait_for(5s), std::future_status::ready);
        ASSERT_TRUE(WaitBusIdle());
    }
}

// The watchdog's measure: a worker waiting for a message or paused (offline) is alive however
// long the clock moves on; one held inside a message is busy for as long, and idle once it is
// done. The paused worker takes the message that going online queues, woken by the change.
TEST(WorkerWatchdogTest, OnlyTheTimeInsideAMessageCountsAsBusy) {
    enum Worker { kWaitsForAMessage, kPausedOffline, kInsideAMessage };
    const char* const handled = "MsgHandleProc: Get DEVICE_ONLINE";
    for (Worker worker : {kWaitsForAMessage, kPausedOffline, kInsideAMessage}) {
        SCOPED_TRACE(worker);
        testsupport::FakeHost host;
        testsupport::PreparedComponents p(host.UsePolicy(testsupport::SyncPolicy(L"KTA", {{L"DS-1", L"nrt"}})));
        p.c.state._b_is_online = worker != kPausedOffline;
        if (worker == kInsideAMessage) {
            host.logs.HoldAt({handled});
            p.c.queue.PutMsg(ZEL::DataSync::sync_msg{ZEL::DataSync::DEVICE_ONLINE, L""});
        }
        p.c.worker.Start();
        const auto entered = [&] { return host.logs.Contains("MsgHandleProc: thread Entry!"); };
        ASSERT_TRUE(worker == kInsideAMessage ? host.logs.WaitUntilHeld() : WaitUntil(entered));
        host.clock.AdvanceSteady(1h);
        EXPECT_EQ(p.c.worker.BusyFor(), worker == kInsideAMessage ? 1h : 0ms);
        host.logs.HoldAt({});
        if (worker == kPausedOffline)
            p.Notify(ZEL::ZELNotificationData(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE, L""));
        if (worker != kWaitsForAMessage) {
            EXPECT_TRUE(WaitUntil([&] { return host.logs.Contains(handled) && p.c.queue.Size() == 0; }));
            EXPECT_TRUE(WaitUntil([&] { return p.c.worker.BusyFor() == 0ms; })) << "idle after the message";
        }
    }
}

// Tables in memory, installed while they live, whose dated delete of `datasetId`'s item events takes one of
// its `rows` a step, asks `stop` before each and calls `onStep` as each starts: a slow disk the test holds.
struct SlowTables : testsupport::MemoryTables {
    SlowTables(std::wstring id, std::function<void()> f) : datasetId(std::move(id)), onStep(std::move(f)) {
        ZEL::DataSync::InstallStores({this, saved.bookmarks, saved.files, saved.registry});
    }
    ~SlowTables() override { ZEL::DataSync::InstallStores(saved); }
    std::int64_t DeleteDatedRows(const TableRef& table, const std::chrono::system_clock::time_point&,
                                 ZEL::DataSync::CutoffBound, const std::function<bool()>& stop) override {
        std::int64_t deleted = 0;
        for (; table.datasetId == datasetId && rows > 0 && !(stop && stop()); --rows, ++deleted) onStep();
        return deleted;
    }
    const ZEL::DataSync::Stores saved = ZEL::DataSync::InstalledStores();
    const std::wstring datasetId;
    const std::function<void()> onStep;
    std::atomic<int> rows{0};
};

TEST_F(WorkerTest, UnInitStopsRetentionBetweenDeleteStepsWithoutWaitingForARestartInFlight) {
    testsupport::ManualClock clock(std::chrono::system_clock::from_time_t(2000000000));
    const struct { int topic, state; std::vector<std::string> heldLines; } cases[] = {
        {ZEL::TOPIC_TELEMETRY_POLICY, ZEL::STATE_POLICY_CHANGED, {}},  // the restart's own retention run
        {ZEL::DEVICE_MAINTENANCE, ZEL::DM_DAILY_MAINTENANCE,  // a daily run; a restart joins a busy worker
         {"MsgHandleProc: thread exited!", "MsgHandleProc: Service stop happend!"}}};
    for (const auto& c : cases) {
        m_logs.Clear();
        std::atomic<bool> deleting{false};  // the first delete step lasts until retention is asked to stop
        const std::wstring dataset = std::to_wstring(c.topic);
        SlowTables tables(dataset, [&] {
            if (!deleting.exchange(true)) WaitUntil([this] { return Logged("retention asked to stop"); });
        });
        const std::wstring file = m_host.files.Add(ZEL::utility::DB_PATH_INTERNAL,
                                                   ZEL::DataSync::TelemetryFileName(dataset, L"ItemEvent"));
        DataSyncAgent agent;
        Start(agent);
        tables.rows = 3;  // after the start-up run
        clock.AdvanceSteady(10min);
        // From a thread of its own: the restart a policy change makes waits for its retention run.
        auto published = std::async(std::launch::async, [&] { Publish(c.topic, c.state); });
        ASSERT_TRUE(WaitUntil([&] { return deleting.load(); }));
        m_logs.HoldAt(c.heldLines);
        auto restart = std::async(std::launch::async, [&] { if (!c.heldLines.empty()) agent.FullInit(); });
        ASSERT_TRUE(c.heldLines.empty() || m_logs.WaitUntilHeld());
        auto uninit = std::async(std::launch::async, [&agent] { agent.UnInit(); });
        EXPECT_TRUE(WaitUntil([&] { return agent.GetStatusSnapshot()["retention"]["service"]["result"] == "stopped"; }));
        m_logs.HoldAt({});
        EXPECT_EQ(uninit.wait_for(3s), std::future_status::ready);
        EXPECT_EQ(tables.rows, 2) << "one step's row deleted, topic " << c.topic;
        m_host.files.Remove(file);
    }
}

TEST_F(WorkerTest, UnInitEndsAnAgentInAnyStateAndAnAgentInitialisedAgainRunsAfresh) {
    NoJitter noJitter;
    m_transport.SetRegistered(true);
    {
        DataSyncAgent agent;
        agent.Init(m_stop);
        EXPECT_TRUE(UnInitWithin(agent)) << "initialised only, stop not set";
        Start(agent);
        ASSERT_TRUE(UnInitWithin(agent));
        Start(agent);
        // KTA blocked after its server errors.
        agent.SetRetryInfo(SyncEP::SyncEP_KTA, {0, 0, 0, 0, false, {0, 0, 11}});
        PublishCommand(L"set", L"resetBackOffState", {{L"randomDelay", L"1"}});
        EXPECT_TRUE(WaitUntil([&agent] {
            DataSyncAgent::RetryInfo info;
            return agent.GetRetryInfo(SyncEP::SyncEP_KTA, info) && info._sync_allowed;
        })) << "the reset task of the second run was cancelled by the first run's UnInit";
        platform::SetEvent(m_stop);
        EXPECT_TRUE(UnInitWithin(agent)) << "started, stop set first";
        platform::ResetEvent(m_stop);
        Publish(ZEL::TOPIC_SYSTEM_TIME, 0);
        ASSERT_TRUE(WaitBusIdle());
        EXPECT_FALSE(agent.GetStatusSnapshot()["agent"]["started"].asBool()) << "no restart after UnInit";
    }
    {
        DataSyncAgent agent;  // destroyed while running: the destructor stops it
        Start(agent);
        ASSERT_TRUE(agent.IsStarted());
    }
    const int starts = Starts();
    Publish(ZEL::TOPIC_SYSTEM_TIME, 0);
    Publish(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE);
    PublishCommand(L"run", L"sendTelemetry");
    ASSERT_TRUE(WaitBusIdle());
    EXPECT_EQ(Starts(), starts) << "no restart of a destroyed agent";
    EXPECT_FALSE(Logged("Received sendTelemetry command!"));
}

}  // namespace
