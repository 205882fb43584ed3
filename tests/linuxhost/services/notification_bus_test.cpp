// The notification bus: delivery in publishing order to every subscriber on the bus's thread,
// last state per topic recorded at publish time, callbacks that publish or (un)subscribe
// without deadlock, WaitIdle, shutdown, and the process-wide instance.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "linuxhost/bus/NotificationBus.h"
#include "linuxhost/services/ServicesTestSupport.h"

namespace {

using ZEL::ZELNotificationData;
using ZEL::linuxhost::NotificationBus;
using namespace std::chrono_literals;
using Seen = std::vector<std::pair<int, int>>;

// Records (topic, state) of every notification a subscriber sees, and the threads it ran on.
struct Recorder {
    std::mutex mutex;
    Seen seen;
    std::set<std::thread::id> threads;
    ZEL::ZELPublisherSubscriber::Callback Callback() {
        return [this](ZELNotificationData& data) {
            std::lock_guard<std::mutex> lock(mutex);
            seen.emplace_back(data.getTopicId(), data.getEventState());
            threads.insert(std::this_thread::get_id());
        };
    }
    Seen Get() {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }
};

void Publish(ZEL::ZELPublisherSubscriber& bus, int topic, int state) {
    ZELNotificationData data(topic, state, L"");
    bus.Notify(data, L"");
}

// The last state of `topic`, or -1 when none was published.
int LastState(NotificationBus& bus, int topic) {
    ZEL::TopicId id = static_cast<ZEL::TopicId>(topic);
    ZEL::EventState state = static_cast<ZEL::EventState>(-1);
    return bus.GetLastNotificationForTopic(id, state) ? static_cast<int>(state) : -1;
}

// A callback that blocks, once entered, until Release().
struct Gate {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> entered{false};
    ZEL::ZELPublisherSubscriber::Callback Callback() {
        return [this](ZELNotificationData&) {
            entered = true;
            released.wait();
        };
    }
    bool WaitEntered() { return servicestest::WaitUntil([this] { return entered.load(); }); }
};

TEST(NotificationBus, EverySubscriberSeesEachPublishersOrderOnOneOtherThread) {
    NotificationBus bus;
    Recorder first, second;
    bus.Subscribe(first.Callback(), false);
    bus.Subscribe(second.Callback(), false);
    std::vector<std::thread> publishers;
    for (int topic = 1; topic <= 4; ++topic)
        publishers.emplace_back([&bus, topic] {
            for (int state = 0; state < 100; ++state) Publish(bus, topic, state);
        });
    for (std::thread& publisher : publishers) publisher.join();
    ASSERT_TRUE(bus.WaitIdle(5s));
    const Seen seen = first.Get();
    ASSERT_EQ(seen.size(), 400u);
    EXPECT_EQ(second.Get(), seen);
    std::map<int, int> next;
    for (const auto& item : seen) EXPECT_EQ(item.second, next[item.first]++) << "topic " << item.first;
    ASSERT_EQ(first.threads.size(), 1u);
    EXPECT_EQ(first.threads, second.threads);
    EXPECT_EQ(first.threads.count(std::this_thread::get_id()), 0u);
}

TEST(NotificationBus, CallbacksCannotHarmEachOther) {
    NotificationBus bus;
    std::vector<std::wstring> payloads;
    bus.Subscribe([](ZELNotificationData&) { throw std::runtime_error("boom"); }, false);
    bus.Subscribe([](ZELNotificationData& data) { data = ZELNotificationData(9, 9, L"changed"); }, false);
    bus.Subscribe([&payloads](ZELNotificationData& data) { payloads.push_back(data.getPayload()); }, false);
    for (int i = 0; i < 2; ++i) {
        ZELNotificationData data(4, 14, L"{\"a\":1}");
        bus.Notify(data, L"sender");
    }
    ASSERT_TRUE(bus.WaitIdle(5s));
    EXPECT_EQ(payloads, (std::vector<std::wstring>{L"{\"a\":1}", L"{\"a\":1}"}));
}

TEST(NotificationBus, CallbackMayPublishQueryAndSubscribeOrUnsubscribe) {
    NotificationBus bus;
    Recorder chain, added, removed;
    std::atomic<int> observed{-1};
    std::atomic<int> selfRemovingCalls{0};
    std::wstring selfId, removedId;  // read by the callbacks only after the first Publish
    bus.Subscribe(
        [&](ZELNotificationData& data) {
            observed = LastState(bus, 1);
            if (data.getEventState() < 3) Publish(bus, 1, data.getEventState() + 1);
        },
        false);
    selfId = bus.Subscribe(
        [&](ZELNotificationData&) {
            if (++selfRemovingCalls > 1) return;
            bus.Unsubscribe(selfId);
            bus.Unsubscribe(removedId);
            bus.Subscribe(added.Callback(), false);
        },
        false);
    removedId = bus.Subscribe(removed.Callback(), false);
    bus.Subscribe(chain.Callback(), false);
    Publish(bus, 1, 0);
    ASSERT_TRUE(bus.WaitIdle(5s));
    EXPECT_EQ(chain.Get(), (Seen{{1, 0}, {1, 1}, {1, 2}, {1, 3}}));
    EXPECT_EQ(observed.load(), 3);
    EXPECT_EQ(selfRemovingCalls.load(), 1);
    EXPECT_TRUE(removed.Get().empty()) << "a subscriber removed by an earlier callback is skipped";
    EXPECT_EQ(added.Get(), (Seen{{1, 1}, {1, 2}, {1, 3}})) << "an added subscriber sees only later notifications";
    bus.Unsubscribe(L"no-such-id");
}

// While a callback blocks delivery, the last state per topic is still recorded at once and
// Unsubscribe and Shutdown from other threads wait for the callback; Shutdown is safe twice.
TEST(NotificationBus, WhileACallbackBlocksLastStatesAreRecordedAndUnsubscribeAndShutdownWait) {
    NotificationBus bus;
    Gate gate;
    Recorder recorder;
    const std::wstring id = bus.Subscribe(gate.Callback(), false);
    bus.Subscribe(recorder.Callback(), false);
    Publish(bus, ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE);
    ASSERT_TRUE(gate.WaitEntered());
    Publish(bus, ZEL::TOPIC_TELEMETRY_POLICY, ZEL::STATE_POLICY_CHANGED);  // pending: dropped by the shutdown
    Publish(bus, ZEL::TOPIC_DEVICE_READY, ZEL::STATE_NONE);
    EXPECT_EQ(LastState(bus, ZEL::TOPIC_DEVICE_READY), ZEL::STATE_NONE);
    EXPECT_EQ(LastState(bus, ZEL::TOPIC_TELEMETRY_POLICY), ZEL::STATE_POLICY_CHANGED);
    EXPECT_EQ(LastState(bus, ZEL::TOPIC_DEVICE_REGISTRATION), -1);
    EXPECT_FALSE(bus.WaitIdle(20ms));
    auto unsubscribed = std::async(std::launch::async, [&] { bus.Unsubscribe(id); });
    auto shutdown = std::async(std::launch::async, [&] { bus.Shutdown(); });
    EXPECT_EQ(unsubscribed.wait_for(30ms), std::future_status::timeout) << "Unsubscribe must wait for the callback";
    EXPECT_EQ(shutdown.wait_for(0ms), std::future_status::timeout) << "Shutdown must wait for the callback";
    gate.release.set_value();
    unsubscribed.get();
    shutdown.get();
    bus.Shutdown();
    Publish(bus, 3, 7);  // after shutdown: recorded, not delivered
    EXPECT_EQ(LastState(bus, 3), 7);
    EXPECT_TRUE(bus.WaitIdle(1s));
    EXPECT_TRUE(recorder.Get().empty()) << "a callback ran after the stop was requested";
}

TEST(NotificationBus, DefaultBusDelivers) {
    ZEL::ZELPublisherSubscriber* bus = ZEL::ZELPublisherSubscriber::GetInstance();
    ASSERT_NE(bus, nullptr);
    Recorder recorder;
    const std::wstring id = bus->Subscribe(recorder.Callback(), false);
    Publish(*bus, 77, 3);
    EXPECT_TRUE(servicestest::WaitUntil([&] { return !recorder.Get().empty(); }));
    bus->Unsubscribe(id);
    EXPECT_EQ(recorder.Get(), (Seen{{77, 3}}));
}

}  // namespace
