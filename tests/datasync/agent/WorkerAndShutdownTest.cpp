// The worker thread and the agent's shutdown (the watchdog feed is checked end to end in ServiceFlowTest).
#include <condition_variable>
#include <future>

#include "support/AgentHarness.h"

namespace {

using namespace std::chrono_literals;
using testsupport::QueueLength;
using testsupport::WaitUntil;

template <typename Call> std::chrono::steady_clock::duration Timed(Call call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::steady_clock::now() - start;
}

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
    bool WorkerEnded() const {
        return Logged("MsgHandleProc: thread exited!") || Logged("MsgHandleProc: Service stop happend!");
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

TEST_F(WorkerTest, RestartAndUnInitEndTheWorkerWaitingForMessagesWithinASecond) {
    m_transport.SetRegistered(true);
    Publish(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE);
    ASSERT_TRUE(WaitBusIdle());
    DataSyncAgent agent;
    Start(agent);
    const char* const busy = "MsgHandleProc: Get DEVICE_ONLINE";
    ASSERT_TRUE(WaitUntil([&] { return CountLogged(busy) == 1; }));
    EXPECT_LT(Timed([&agent] { agent.FullInit(); }), 1s);
    EXPECT_TRUE(WorkerEnded() && agent.GetStatusSnapshot()["agent"]["started"].asBool());
    ASSERT_TRUE(WaitUntil([&] { return CountLogged(busy) == 2; })) << "the new worker took the new DEVICE_ONLINE";
    EXPECT_EQ(QueueLength(agent), 0u);
    m_logs.Clear();
    EXPECT_LT(Timed([&agent] { agent.UnInit(); }), 1s);
    EXPECT_TRUE(WorkerEnded());
}

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
    agent.UnInit();
}

// A log sink that holds each thread writing a line containing one of `fragments` until Open().
struct LogGate : ZEL::LogSink {
    explicit LogGate(std::vector<std::string> held) : fragments(std::move(held)) {}
    bool Enabled(ZEL::LogLevel) const override { return true; }
    void Write(ZEL::LogLevel, const std::string& text) override {
        std::unique_lock<std::mutex> lock(mutex);
        for (const std::string& f : fragments)
            if (text.find(f) != text.npos) ++held, changed.notify_all(), changed.wait(lock, [this] { return open; });
    }
    bool WaitUntilHeld() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 5s, [this] { return held > 0; });
    }
    void Open() { std::lock_guard<std::mutex> lock(mutex); open = true, changed.notify_all(); }
    const std::vector<std::string> fragments;
    std::mutex mutex;
    std::condition_variable changed;
    int held = 0;  // held and open: guarded by mutex
    bool open = false;
};

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
        const auto gate = std::make_shared<LogGate>(c.heldLines);
        ZEL::utility::SetLogSinkFactory([gate](const std::wstring&) { return gate; });
        DataSyncAgent agent;
        Start(agent);
        if (c.keepBusy) {
            c.keepBusy(agent);
            ASSERT_TRUE(gate->WaitUntilHeld());
        }
        auto uninit = std::async(std::launch::async, [&agent] { agent.UnInit(); });
        EXPECT_TRUE(gate->WaitUntilHeld()) << "the worker writes its line while UnInit stops it";
        EXPECT_EQ(uninit.wait_for(200ms), std::future_status::timeout) << "UnInit returned while the thread ran";
        gate->Open();
        EXPECT_EQ(uninit.wait_for(5s), std::future_status::ready);
        ASSERT_TRUE(WaitBusIdle());
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
        DataSyncAgent::RetryInfo blocked;  // KTA blocked after its server errors
        blocked._sync_allowed = false;
        blocked._retry_counts = {0, 0, 11};
        agent.SetRetryInfo(SyncEP::SyncEP_KTA, blocked);
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
