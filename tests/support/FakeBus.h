// A notification bus for tests: whoever publishes delivers. Notify records the topic's last state
// and queues the notification; unless another thread is already delivering, the publishing thread
// then calls every subscriber with each queued notification in publishing order, without the
// bus's lock held. A notification published from inside a callback, or while another thread
// delivers, is delivered by that delivering thread after the current one, so that order is kept
// and no callback runs inside another. When a test thread's Notify returns with nothing else
// publishing, every subscriber has seen it: no waiting on a bus thread.
//
// Unsubscribe from another thread waits for that subscriber's callback in progress; from inside
// a callback it returns at once. Exceptions thrown by callbacks propagate to the deliverer.
// Thread safety: every call may come from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "datasync/host/Notification.h"

namespace testsupport {

class FakeBus : public ZEL::ZELPublisherSubscriber {
public:
    std::wstring Subscribe(Callback callback, bool) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_subscribers[++m_lastId] = std::make_shared<Callback>(std::move(callback));
        return std::to_wstring(m_lastId);
    }
    void Unsubscribe(std::wstring id) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        const std::uint64_t key = std::wcstoull(id.c_str(), nullptr, 10);
        m_subscribers.erase(key);
        if (m_deliverer == std::this_thread::get_id()) return;
        m_changed.wait(lock, [&] { return m_runningId != key; });
    }
    void Notify(ZEL::ZELNotificationData& data, std::wstring) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_lastState[data.getTopicId()] = data.getEventState();
        m_queue.push_back(data);
        if (m_deliverer != std::thread::id()) return;
        m_deliverer = std::this_thread::get_id();
        while (!m_queue.empty()) {
            ZEL::ZELNotificationData next = m_queue.front();
            m_queue.pop_front();
            const std::uint64_t newest = m_lastId;  // later subscribers first see the next one
            for (auto it = m_subscribers.begin(); it != m_subscribers.end() && it->first <= newest;
                 it = m_subscribers.upper_bound(m_runningId)) {
                m_runningId = it->first;
                const std::shared_ptr<Callback> callback = it->second;
                lock.unlock();
                ZEL::ZELNotificationData copy = next;
                (*callback)(copy);
                lock.lock();
            }
            m_runningId = 0;
            m_changed.notify_all();
        }
        m_deliverer = std::thread::id();
        m_changed.notify_all();
    }
    bool GetLastNotificationForTopic(ZEL::TopicId& topic, ZEL::EventState& state) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_lastState.find(topic);
        if (found == m_lastState.end()) return false;
        state = static_cast<ZEL::EventState>(found->second);
        return true;
    }
    // True once nothing is queued or being delivered (at once when only the test publishes).
    bool WaitIdle(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_deliverer == std::this_thread::get_id()) return false;
        return m_changed.wait_for(lock, timeout, [this] { return m_queue.empty() && m_deliverer == std::thread::id(); });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;  // a callback returned or the deliverer finished
    std::map<std::uint64_t, std::shared_ptr<Callback>> m_subscribers;
    std::map<int, int> m_lastState;
    std::deque<ZEL::ZELNotificationData> m_queue;
    std::uint64_t m_lastId = 0;
    std::uint64_t m_runningId = 0;  // the subscriber whose callback runs, or 0
    std::thread::id m_deliverer;    // the thread delivering, or none
};

}  // namespace testsupport
