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

// Records (topic, state) of every notification a subscriber sees, and the thread it ran on.
struct Recorder {
    std::mutex mutex;
    std::vector<std::pair<int, int>> seen;
    std::set<std::thread::id> threads;

    ZEL::ZELPublisherSubscriber::Callback Callback() {
        return [this](ZELNotificationData& data) {
            std::lock_guard<std::mutex> lock(mutex);
            seen.emplace_back(data.getTopicId(), data.getEventState());
            threads.insert(std::this_thread::get_id());
        };
    }
    std::vector<std::pair<int, int>> Seen() {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }
};

void Publish(ZEL::ZELPublisherSubscriber& bus, int topic, int state) {
    ZELNotificationData data(topic, state, L"");
    bus.Notify(data, L"");
}

TEST(NotificationBusDelivery, EverySubscriberSeesNotificationsInPublishingOrderOnOneOtherThread) {
    NotificationBus bus;
    Recorder first, second;
    bus.Subscribe(first.Callback(), false);
    bus.Subscribe(second.Callback(), false);
    std::vector<std::pair<int, int>> expected;
    for (int i = 0; i < 200; ++i) {
        Publish(bus, i % 7, i);
        expected.emplace_back(i % 7, i);
    }
    ASSERT_TRUE(bus.WaitIdle(5s));
    EXPECT_EQ(first.Seen(), expected);
    EXPECT_EQ(second.Seen(), expected);
    ASSERT_EQ(first.threads.size(), 1u);
    EXPECT_EQ(first.threads, second.threads);
    EXPECT_EQ(first.threads.count(std::this_thread::get_id()), 0u);
}

TEST(NotificationBusDelivery, PublishersOnSeveralThreadsKeepTheirOwnOrder) {
    NotificationBus bus;
    Recorder recorder;
    bus.Subscribe(recorder.Callback(), false);
    std::vector<std::thread> publishers;
    for (int topic = 1; topic <= 4; ++topic) {
        publishers.emplace_back([&bus, topic] {
            for (int state = 0; state < 100; ++state) Publish(bus, topic, state);
        });
    }
    for (std::thread& publisher : publishers) publisher.join();
    ASSERT_TRUE(bus.WaitIdle(5s));
    const auto seen = recorder.Seen();
    ASSERT_EQ(seen.size(), 400u);
    std::map<int, int> next;
    for (const auto& item : seen) EXPECT_EQ(item.second, next[item.first]++) << "topic " << item.first;
}

TEST(NotificationBusDelivery, CallbackGetsItsOwnCopyOfThePayload) {
    NotificationBus bus;
    std::vector<std::wstring> payloads;
    bus.Subscribe([](ZELNotificationData& data) { data = ZELNotificationData(9, 9, L"changed"); }, false);
    bus.Subscribe([&payloads](ZELNotificationData& data) { payloads.push_back(data.getPayload()); }, false);
    ZELNotificationData data(4, 14, L"{\"a\":1}");
    bus.Notify(data, L"sender");
    ASSERT_TRUE(bus.WaitIdle(5s));
    EXPECT_EQ(payloads, std::vector<std::wstring>{L"{\"a\":1}"});
}

TEST(NotificationBusDelivery, ThrowingCallbackDoesNotStopDelivery) {
    NotificationBus bus;
    Recorder recorder;
    bus.Subscribe([](ZELNotificationData&) { throw std::runtime_error("boom"); }, false);
    bus.Subscribe(recorder.Callback(), false);
    Publish(bus, 1, 1);
    Publish(bus, 1, 2);
    ASSERT_TRUE(bus.WaitIdle(5s));
    EXPECT_EQ(recorder.Seen().size(), 2u);
}

TEST(NotificationBusLastState, RecordedAtOnceEvenWhileDeliveryIsBlocked) {
    NotificationBus bus;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> entered{false};
    bus.Subscribe(
        [&](ZELNotificationData&) {
            entered = true;
            released.wait();
        },
        false);
    Publish(bus, ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE);
    ASSERT_TRUE(servicestest::WaitUntil([&] { return entered.load(); }));
    Publish(bus, ZEL::TOPIC_TELEMETRY_POLICY, ZEL::STATE_POLICY_CHANGED);
    Publish(bus, ZEL::TOPIC_DEVICE_READY, ZEL::STATE_NONE);

    ZEL::TopicId topic = ZEL::TOPIC_DEVICE_READY;
    ZEL::EventState state = ZEL::STATE_DONE;
    EXPECT_TRUE(bus.GetLastNotificationForTopic(topic, state));
    EXPECT_EQ(state, ZEL::STATE_NONE);
    topic = ZEL::TOPIC_TELEMETRY_POLICY;
    EXPECT_TRUE(bus.GetLastNotificationForTopic(topic, state));
    EXPECT_EQ(state, ZEL::STATE_POLICY_CHANGED);
    EXPECT_FALSE(bus.WaitIdle(20ms));
    release.set_value();
    EXPECT_TRUE(bus.WaitIdle(5s));
}

TEST(NotificationBusLastState, UnknownTopicLeavesStateUntouched) {
    NotificationBus bus;
    Publish(bus, ZEL::TOPIC_DEVICE_READY, ZEL::STATE_DONE);
    ZEL::TopicId topic = ZEL::TOPIC_DEVICE_REGISTRATION;
    ZEL::EventState state = ZEL::STATE_NONE;
    EXPECT_FALSE(bus.GetLastNotificationForTopic(topic, state));
    EXPECT_EQ(state, ZEL::STATE_NONE);
}

TEST(NotificationBusReentrancy, CallbackMayPublishAndTheChainIsDelivered) {
    NotificationBus bus;
    Recorder recorder;
    bus.Subscribe(
        [&bus](ZELNotificationData& data) {
            if (data.getTopicId() == 1 && data.getEventState() < 5) Publish(bus, 1, data.getEventState() + 1);
        },
        false);
    bus.Subscribe(recorder.Callback(), false);
    Publish(bus, 1, 0);
    ASSERT_TRUE(bus.WaitIdle(5s));
    EXPECT_EQ(recorder.Seen(),
              (std::vector<std::pair<int, int>>{{1, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}}));
}

TEST(NotificationBusReentrancy, CallbackMayUnsubscribeItselfAndIsNotCalledAgain) {
    NotificationBus bus;
    std::atomic<int> calls{0};
    std::wstring id;
    std::promise<std::wstring> idPromise;
    std::shared_future<std::wstring> idFuture = idPromise.get_future().share();
    id = bus.Subscribe(
        [&](ZELNotificationData&) {
            ++calls;
            bus.Unsubscribe(idFuture.get());
        },
        false);
    idPromise.set_value(id);
    Publish(bus, 1, 1);
    Publish(bus, 1, 2);
    ASSERT_TRUE(bus.WaitIdle(5s));
    EXPECT_EQ(calls.load(), 1);
}

TEST(NotificationBusReentrancy, SubscriberRemovedByAnEarlierCallbackIsSkipped) {
    NotificationBus bus;
    Recorder later;
    std::wstring laterId;
    bus.Subscribe([&](ZELNotificationData&) { bus.Unsubscribe(laterId); }, false);
    laterId = bus.Subscribe(later.Callback(), false);
    Publish(bus, 1, 1);
    ASSERT_TRUE(bus.WaitIdle(5s));
    EXPECT_TRUE(later.Seen().empty());
}

TEST(NotificationBusReentrancy, SubscriberAddedByACallbackSeesOnlyLaterNotifications) {
    NotificationBus bus;
    Recorder added;
    std::atomic<bool> subscribed{false};
    bus.Subscribe(
        [&](ZELNotificationData&) {
            if (!subscribed.exchange(true)) bus.Subscribe(added.Callback(), false);
        },
        false);
    Publish(bus, 1, 1);
    Publish(bus, 1, 2);
    ASSERT_TRUE(bus.WaitIdle(5s));
    EXPECT_EQ(added.Seen(), (std::vector<std::pair<int, int>>{{1, 2}}));
}

TEST(NotificationBusReentrancy, CallbackMayQueryTheLastState) {
    NotificationBus bus;
    std::atomic<int> observed{-1};
    bus.Subscribe(
        [&](ZELNotificationData&) {
            ZEL::TopicId topic = ZEL::TOPIC_DEVICE_REGISTRATION;
            ZEL::EventState state = ZEL::STATE_NONE;
            bus.GetLastNotificationForTopic(topic, state);
            observed = state;
        },
        false);
    Publish(bus, ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_REGISTRATION_DONE_ALT);
    ASSERT_TRUE(bus.WaitIdle(5s));
    EXPECT_EQ(observed.load(), ZEL::STATE_REGISTRATION_DONE_ALT);
}

TEST(NotificationBusSubscriptions, IdsAreUniqueAndUnknownIdsAreIgnored) {
    NotificationBus bus;
    NotificationBus other;
    std::set<std::wstring> ids;
    for (int i = 0; i < 50; ++i) ids.insert(bus.Subscribe([](ZELNotificationData&) {}, false));
    ids.insert(other.Subscribe([](ZELNotificationData&) {}, false));
    EXPECT_EQ(ids.size(), 51u);
    bus.Unsubscribe(L"");
    bus.Unsubscribe(L"no-such-id");
    bus.Unsubscribe(L"bus-subscription-99999999999999999999999");
}

TEST(NotificationBusSubscriptions, UnsubscribeFromAnotherThreadWaitsForTheRunningCallback) {
    NotificationBus bus;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    const std::wstring id = bus.Subscribe(
        [&](ZELNotificationData&) {
            entered = true;
            released.wait();
            finished = true;
        },
        false);
    Publish(bus, 1, 1);
    ASSERT_TRUE(servicestest::WaitUntil([&] { return entered.load(); }));
    auto unsubscribed = std::async(std::launch::async, [&] { bus.Unsubscribe(id); });
    EXPECT_EQ(unsubscribed.wait_for(30ms), std::future_status::timeout);
    release.set_value();
    unsubscribed.get();
    EXPECT_TRUE(finished.load());
}

TEST(NotificationBusShutdown, JoinsDropsPendingAndIsSafeTwice) {
    NotificationBus bus;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> entered{false};
    Recorder recorder;
    bus.Subscribe(
        [&](ZELNotificationData&) {
            entered = true;
            released.wait();
        },
        false);
    bus.Subscribe(recorder.Callback(), false);
    Publish(bus, 1, 1);
    ASSERT_TRUE(servicestest::WaitUntil([&] { return entered.load(); }));
    Publish(bus, 1, 2);  // pending: dropped by the shutdown
    auto shutdown = std::async(std::launch::async, [&] { bus.Shutdown(); });
    EXPECT_EQ(shutdown.wait_for(30ms), std::future_status::timeout) << "Shutdown must wait for the callback";
    release.set_value();
    shutdown.get();
    bus.Shutdown();
    EXPECT_TRUE(recorder.Seen().empty()) << "a callback ran after the stop was requested";

    Publish(bus, 3, 7);  // after shutdown: recorded, not delivered
    ZEL::TopicId topic = static_cast<ZEL::TopicId>(3);
    ZEL::EventState state = ZEL::STATE_NONE;
    EXPECT_TRUE(bus.GetLastNotificationForTopic(topic, state));
    EXPECT_EQ(static_cast<int>(state), 7);
    EXPECT_TRUE(bus.WaitIdle(1s));
    EXPECT_TRUE(recorder.Seen().empty());
}

TEST(NotificationBusShutdown, DestructorStopsAnIdleBusPromptly) {
    const auto start = std::chrono::steady_clock::now();
    { NotificationBus bus; }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(NotificationBusInstance, DefaultBusUnlessOneIsInstalled) {
    ZEL::ZELPublisherSubscriber* fallback = ZEL::ZELPublisherSubscriber::GetInstance();
    ASSERT_NE(fallback, nullptr);
    EXPECT_EQ(ZEL::ZELPublisherSubscriber::GetInstance(), fallback);
    NotificationBus installed;
    ZEL::ZELPublisherSubscriber::SetInstance(&installed);
    EXPECT_EQ(ZEL::ZELPublisherSubscriber::GetInstance(), &installed);
    ZEL::ZELPublisherSubscriber::SetInstance(nullptr);
    EXPECT_EQ(ZEL::ZELPublisherSubscriber::GetInstance(), fallback);
}

TEST(NotificationBusInstance, DefaultBusDelivers) {
    auto* bus = ZEL::ZELPublisherSubscriber::GetInstance();
    std::promise<int> got;
    std::atomic<bool> done{false};
    const std::wstring id = bus->Subscribe(
        [&](ZELNotificationData& data) {
            if (data.getTopicId() == 77 && !done.exchange(true)) got.set_value(data.getEventState());
        },
        false);
    Publish(*bus, 77, 3);
    auto future = got.get_future();
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(future.get(), 3);
    bus->Unsubscribe(id);
}

}  // namespace
