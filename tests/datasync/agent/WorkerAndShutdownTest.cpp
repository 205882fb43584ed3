// The worker thread and the agent's shutdown: a restart or UnInit ends the worker promptly
// whether it pauses (device offline) or waits for messages, a NAVP-only agent takes messages
// without registration, and UnInit joins every thread the agent started (device-context
// thread, worker, asynchronous notification tasks), with or without the service-stop event set.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/AgentHarness.h"

namespace {

using namespace std::chrono_literals;
using testsupport::MakeDataSet;
using testsupport::QueueLength;
using testsupport::WaitUntil;

template <typename Call>
std::chrono::milliseconds Timed(Call call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

class WorkerTest : public testsupport::AgentHarness {
protected:
    void SetUp() override {
        AgentHarness::SetUp();
        DataSyncAgent::WaitSync(0, false);  // a free left by an earlier stop would end a pause early
        m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) {
            policy.primaryUrl = L"https://kta.example.com/";
            policy.datasets = {MakeDataSet(L"DS-1", L"A", L"KTA", L"nrt")};
        });
    }
    bool WorkerEnded() const {
        return Logged("MsgHandleProc: thread exited!") || Logged("MsgHandleProc: Service stop happend!");
    }
};

TEST_F(WorkerTest, RestartAndUnInitEndAWorkerPausedWhileOfflineWithinASecond) {
    m_transport.SetRegistered(true);
    DataSyncAgent agent;
    agent.Init(m_stop);
    agent.FullInit();
    ASSERT_TRUE(WaitUntil([this] { return Logged("MsgHandleProc: thread Entry!"); }));
    ASSERT_FALSE(agent.GetStatusSnapshot()["agent"]["online"].asBool());

    EXPECT_LT(Timed([&agent] { agent.FullInit(); }), 1s);
    EXPECT_TRUE(WorkerEnded());
    EXPECT_TRUE(agent.GetStatusSnapshot()["agent"]["started"].asBool());
    ASSERT_TRUE(WaitUntil([this] { return CountLogged("MsgHandleProc: thread Entry!") == 2; }));

    m_logs.Clear();
    EXPECT_LT(Timed([&agent] { agent.UnInit(); }), 1s);
    EXPECT_TRUE(WorkerEnded());
}

TEST_F(WorkerTest, UnInitEndsAWorkerWaitingForMessagesWithinASecond) {
    m_transport.SetRegistered(true);
    Publish(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE);
    ASSERT_TRUE(WaitBusIdle());
    DataSyncAgent agent;
    agent.Init(m_stop);
    agent.FullInit();
    // Online, registered and KTA enabled: the worker takes the start-up request and then waits
    // on the queue.
    ASSERT_TRUE(WaitUntil([this] { return Logged("MsgHandleProc: Get DEVICE_ONLINE"); }));
    EXPECT_EQ(QueueLength(agent), 0u);

    EXPECT_LT(Timed([&agent] { agent.UnInit(); }), 1s);
    EXPECT_TRUE(Logged("MsgHandleProc: thread exited!"));
}

TEST_F(WorkerTest, WithOnlyNavpEnabledTheWorkerTakesMessagesWhileUnregistered) {
    m_config->SetPolicy([] {
        ZEL::TelemetryPolicy policy = testsupport::PolicyWithoutFamilies();
        policy.navpUrl = L"https://navp.example.com/";
        return policy;
    }());
    m_transport.SetRegistered(true);
    DataSyncAgent agent;
    agent.Init(m_stop);
    agent.FullInit();
    ASSERT_FALSE(agent.GetStatusSnapshot()["families"]["KTA"]["enabled"].asBool());

    // Coming online while registered queues DEVICE_ONLINE; the registration is withdrawn right
    // after, normally before the worker's offline pause has ended.
    m_transport.SetRegistered(false);
    Publish(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE);
    Publish(ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_REGISTRATION_CHANGED);
    ASSERT_TRUE(WaitBusIdle());
    ASSERT_FALSE(agent.GetStatusSnapshot()["agent"]["registered"].asBool());

    EXPECT_TRUE(WaitUntil([&agent] { return QueueLength(agent) == 0; }));
    EXPECT_TRUE(WaitUntil([this] { return Logged("MsgHandleProc: Get DEVICE_ONLINE"); }));
    agent.UnInit();
}

class ShutdownTest : public testsupport::AgentHarness {
protected:
    // UnInit on another thread, bounded. Should it hang, the service-stop event is set so that
    // the test can end, and the result is false.
    bool UnInitWithin(DataSyncAgent& agent, std::chrono::milliseconds limit = 3s) {
        auto done = std::async(std::launch::async, [&agent] { agent.UnInit(); });
        if (done.wait_for(limit) == std::future_status::ready) return true;
        platform::SetEvent(m_stop);
        done.wait();
        return false;
    }
};

// (UnInitWaitsForEveryThreadThatIsStillRunning covers a device-context thread busy with a record.)
TEST_F(ShutdownTest, UnInitJoinsTheDeviceContextThreadWhetherOrNotTheStopEventWasSet) {
    {
        SCOPED_TRACE("initialised only, stop not set");
        DataSyncAgent agent;
        agent.Init(m_stop);
        EXPECT_TRUE(UnInitWithin(agent));
    }
    {
        SCOPED_TRACE("started, stop set first");
        platform::ResetEvent(m_stop);
        DataSyncAgent agent;
        agent.Init(m_stop);
        agent.FullInit();
        platform::SetEvent(m_stop);
        EXPECT_TRUE(UnInitWithin(agent));
        EXPECT_FALSE(agent.GetStatusSnapshot()["agent"]["started"].asBool());
    }
}

// A log sink factory whose sinks hold every thread writing a line that contains one of
// `fragments` until Open(), so that a test can keep one of the agent's threads busy at a known
// point. Install it before the agent's Init. Sinks share the gate's state, so a log bound now
// and used later never outlives it.
class GatedLog {
public:
    explicit GatedLog(std::vector<std::string> fragments) : m_state(std::make_shared<State>()) {
        m_state->fragments = std::move(fragments);
    }
    ~GatedLog() { Open(); }
    GatedLog(const GatedLog&) = delete;
    GatedLog& operator=(const GatedLog&) = delete;

    void Install() {
        std::shared_ptr<State> state = m_state;
        ZEL::utility::SetLogSinkFactory([state](const std::wstring&) { return std::make_shared<Sink>(state); });
    }
    bool WaitUntilHeld(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_state->mutex);
        return m_state->changed.wait_for(lock, timeout, [this] { return m_state->held > 0; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->open = true;
        m_state->changed.notify_all();
    }

private:
    struct State {
        std::vector<std::string> fragments;  // set before any sink exists
        std::mutex mutex;
        std::condition_variable changed;
        int held = 0;       // guarded by mutex
        bool open = false;  // guarded by mutex
    };

    class Sink : public ZEL::LogSink {
    public:
        explicit Sink(std::shared_ptr<State> state) : m_state(std::move(state)) {}
        bool Enabled(ZEL::LogLevel) const override { return true; }
        void Write(ZEL::LogLevel, const std::string& text) override {
            bool gated = false;
            for (const std::string& fragment : m_state->fragments)
                gated = gated || text.find(fragment) != std::string::npos;
            if (!gated) return;
            std::unique_lock<std::mutex> lock(m_state->mutex);
            ++m_state->held;
            m_state->changed.notify_all();
            m_state->changed.wait(lock, [this] { return m_state->open; });
        }

    private:
        std::shared_ptr<State> m_state;
    };

    std::shared_ptr<State> m_state;
};

TEST_F(ShutdownTest, UnInitWaitsForEveryThreadThatIsStillRunning) {
    struct Case {
        const char* name;
        std::vector<std::string> heldLines;
        std::function<void(DataSyncAgent&)> keepBusy;
    };
    const Case cases[] = {
        {"asynchronous task of a server command",
         {"HandleResetBackoffState: Entry"},
         [this](DataSyncAgent&) { PublishCommand(L"set", L"resetBackOffState"); }},
        {"asynchronous task of a DNS recovery",
         {"HandleResetBackoffStateOnDnsRecovery: Entry"},
         [this](DataSyncAgent&) { Publish(ZEL::TOPIC_DNS_STATUS, ZEL::STATE_DNS_RESOLVED); }},
        {"asynchronous task of sendTelemetry",
         {"OnSendTelemetryCommand: not available yet"},
         [this](DataSyncAgent&) { PublishCommand(L"run", L"sendTelemetry"); }},
        {"device-context thread", {"Syncing device context record with id: 7"},
         [](DataSyncAgent& agent) { agent.AddDeviceContextRecordToSync(7); }},
        {"worker", {"MsgHandleProc: thread exited!", "MsgHandleProc: Service stop happend!"}, nullptr},
    };
    // The DNS recovery's random delay (up to two minutes) is pinned to 0: this test is about
    // UnInit waiting for the task, not about the delay.
    struct NoJitter {
        NoJitter() { ZEL::ApiUtility::SetRandomSource([](unsigned lo, unsigned) { return lo; }); }
        ~NoJitter() { ZEL::ApiUtility::SetRandomSource(nullptr); }
    } noJitter;
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        GatedLog gate(testCase.heldLines);
        gate.Install();
        DataSyncAgent agent;
        agent.Init(m_stop);
        agent.FullInit();
        if (testCase.keepBusy) {
            testCase.keepBusy(agent);
            ASSERT_TRUE(gate.WaitUntilHeld(5s));
        }
        auto uninit = std::async(std::launch::async, [&agent] { agent.UnInit(); });
        if (!testCase.keepBusy) {
            ASSERT_TRUE(gate.WaitUntilHeld(5s));
        }
        EXPECT_EQ(uninit.wait_for(200ms), std::future_status::timeout) << "UnInit returned while the thread ran";
        gate.Open();
        ASSERT_EQ(uninit.wait_for(5s), std::future_status::ready);
        ASSERT_TRUE(WaitBusIdle());
    }
}

TEST_F(ShutdownTest, DestroyedAgentsNoLongerHearTheBus) {
    m_config->ChangePolicy([](ZEL::TelemetryPolicy& policy) {
        policy.datasets = {MakeDataSet(L"DS-1", L"A", L"KTA", L"nrt")};
    });
    m_transport.SetRegistered(true);
    {
        DataSyncAgent agent;
        agent.Init(m_stop);
        agent.FullInit();
        ASSERT_TRUE(UnInitWithin(agent));
    }
    {
        // Destroyed while running: the destructor stops it.
        DataSyncAgent agent;
        agent.Init(m_stop);
        agent.FullInit();
        ASSERT_TRUE(agent.IsStarted());
    }
    ASSERT_EQ(m_config->ReadCount(), 2);
    Publish(ZEL::TOPIC_SYSTEM_TIME, 0);
    Publish(ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE);
    PublishCommand(L"run", L"sendTelemetry");
    ASSERT_TRUE(WaitBusIdle());
    EXPECT_EQ(m_config->ReadCount(), 2) << "no restart of a destroyed agent";
    EXPECT_FALSE(Logged("Received sendTelemetry command!"));
}

}  // namespace
