#include <future>
#include <map>
#include <mutex>
#include <set>

#include "datasync/host/Notification.h"
#include "linuxhost/bus/NotificationBus.h"
#include "linuxhost/services/ServicesTestSupport.h"

namespace {

using namespace servicestest;
using ZEL::ZELNotificationData;
using ZEL::linuxhost::NotificationBus;
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

int LastState(NotificationBus& bus, int topic) {
    ZEL::TopicId id = static_cast<ZEL::TopicId>(topic);
    ZEL::EventState state = static_cast<ZEL::EventState>(-1);
    return bus.GetLastNotificationForTopic(id, state) ? static_cast<int>(state) : -1;
}

TEST(NotificationBus, EverySubscriberSeesEachPublishersOrderOnOneOtherThreadUnharmedByOthers) {
    NotificationBus bus;
    Recorder first, second;
    bus.Subscribe([](ZELNotificationData&) { throw std::runtime_error("boom"); }, false);
    bus.Subscribe([](ZELNotificationData& data) { data = ZELNotificationData(9, 9, L"changed"); }, false);
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

TEST(NotificationBus, CallbackMayPublishQueryAndSubscribeOrUnsubscribe) {
    NotificationBus bus;
    Recorder chain, added, removed;
    std::atomic<int> observed{-1}, selfRemovingCalls{0};
    std::wstring selfId, removedId;  // read by the callbacks only after the first Publish
    bus.Subscribe([&](ZELNotificationData& data) {
        observed = LastState(bus, 1);
        if (data.getEventState() < 3) Publish(bus, 1, data.getEventState() + 1);
    }, false);
    selfId = bus.Subscribe([&](ZELNotificationData&) {
        if (++selfRemovingCalls > 1) return;
        bus.Unsubscribe(selfId);
        bus.Unsubscribe(removedId);
        bus.Subscribe(added.Callback(), false);
    }, false);
    removedId = bus.Subscribe(removed.Callback(), false);
    bus.Subscribe(chain.Callback(), false);
    Publish(bus, 1, 0);
    ASSERT_TRUE(bus.WaitIdle(5s));
    EXPECT_EQ(chain.Get(), (Seen{{1, 0}, {1, 1}, {1, 2}, {1, 3}}));
    EXPECT_EQ(observed.load(), 3);
    EXPECT_EQ(selfRemovingCalls.load(), 1);
    EXPECT_TRUE(removed.Get().empty()) << "a subscriber removed by an earlier callback is skipped";
    EXPECT_EQ(added.Get(), (Seen{{1, 1}, {1, 2}, {1, 3}})) << "an added subscriber sees only later notifications";
}

TEST(NotificationBus, WhileACallbackBlocksLastStatesAreRecordedAndUnsubscribeAndShutdownWait) {
    NotificationBus bus;
    std::promise<void> release;
    std::atomic<bool> entered{false};
    Recorder recorder;
    const std::wstring id = bus.Subscribe([&, released = release.get_future().share()](ZELNotificationData&) {
        entered = true;
        released.wait();
    }, false);
    bus.Subscribe(recorder.Callback(), false);
    Publish(bus, ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE);
    ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));
    Publish(bus, ZEL::TOPIC_TELEMETRY_POLICY, ZEL::STATE_POLICY_CHANGED);  // pending: dropped by the shutdown
    Publish(bus, ZEL::TOPIC_DEVICE_READY, ZEL::STATE_NONE);
    EXPECT_EQ((std::vector<int>{LastState(bus, ZEL::TOPIC_DEVICE_READY), LastState(bus, ZEL::TOPIC_TELEMETRY_POLICY),
                                LastState(bus, ZEL::TOPIC_DEVICE_REGISTRATION)}),
              (std::vector<int>{ZEL::STATE_NONE, ZEL::STATE_POLICY_CHANGED, -1}));
    EXPECT_FALSE(bus.WaitIdle(20ms));
    auto unsubscribed = std::async(std::launch::async, [&] { bus.Unsubscribe(id); });
    auto shutdown = std::async(std::launch::async, [&] { bus.Shutdown(); });
    EXPECT_EQ(unsubscribed.wait_for(30ms), std::future_status::timeout) << "Unsubscribe must wait for the callback";
    EXPECT_EQ(shutdown.wait_for(0ms), std::future_status::timeout) << "Shutdown must wait for the callback";
    release.set_value();
    unsubscribed.get();
    shutdown.get();
    bus.Shutdown();
    Publish(bus, 3, 7);  // after shutdown: recorded, not delivered
    EXPECT_EQ(LastState(bus, 3), 7);
    EXPECT_TRUE(bus.WaitIdle(1s));
    EXPECT_TRUE(recorder.Get().empty()) << "a callback ran after the stop was requested";
}

}  // namespace
