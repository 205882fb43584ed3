// The Linux host's notification bus: in-process publish/subscribe with one delivery thread.
//
// Notify records the topic's last state at once (so GetLastNotificationForTopic answers from
// it even before delivery) and queues the notification. The bus's own dispatcher thread takes
// the queue in publishing order and calls every subscriber, in subscription order, with its own
// copy of the notification. Callbacks run without any bus lock held, so a callback may publish,
// subscribe, unsubscribe (itself too) or query the last state.
//
// Delivery rules:
//   - a subscriber added while a notification is being delivered first sees the next one;
//   - a subscriber removed while a notification is being delivered is not called for it;
//   - an exception thrown by a callback is logged in host.log and does not stop the bus.
//
// Lifetime: the dispatcher thread starts in the constructor. Shutdown() stops it (pending
// notifications are dropped), waits for a running callback and joins; it may be called twice
// and the destructor calls it. Destroying the bus from inside one of its callbacks is not
// allowed.
//
// Thread safety: every operation may be called from any thread.
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

namespace ZEL {
namespace linuxhost {

class NotificationBus : public ZELPublisherSubscriber {
public:
    NotificationBus();
    ~NotificationBus() override;
    NotificationBus(const NotificationBus&) = delete;
    NotificationBus& operator=(const NotificationBus&) = delete;

    // Adds a subscriber; returns an id that no other subscription of this process gets.
    // `flag` is accepted for the callers' sake and has no effect on this host.
    std::wstring Subscribe(Callback callback, bool flag) override;

    // Removes a subscriber; unknown ids are ignored. Called from another thread while that
    // subscriber's callback runs, it waits for the callback to return, so that what the
    // callback uses may be destroyed afterwards. REQUIRES: the caller holds no lock that the
    // callback takes. Called from inside a callback it returns at once.
    void Unsubscribe(std::wstring id) override;

    // Records the topic's last state and queues the notification. `senderId` is not used.
    // After Shutdown the state is still recorded but nothing is delivered.
    void Notify(ZELNotificationData& data, std::wstring senderId) override;

    bool GetLastNotificationForTopic(TopicId& topic, EventState& state) override;

    // True when, within `timeout`, the queue is empty and no callback runs. False at once when
    // called from a callback (the bus cannot become idle while its caller runs).
    bool WaitIdle(std::chrono::milliseconds timeout);

    void Shutdown();

private:
    using CallbackPtr = std::shared_ptr<Callback>;

    void Run();

    std::mutex m_mutex;
    std::condition_variable m_wake;     // the dispatcher: a notification was queued or stop
    std::condition_variable m_changed;  // waiters: a callback returned or the queue drained
    std::deque<ZELNotificationData> m_queue;
    std::map<std::uint64_t, CallbackPtr> m_subscribers;  // by id, which is subscription order
    std::map<int, int> m_lastState;                      // topic -> event state
    std::uint64_t m_runningId = 0;                       // subscriber whose callback runs, or 0
    bool m_delivering = false;                           // a notification is being delivered
    bool m_stopping = false;

    std::mutex m_joinMutex;  // serialises the join of concurrent Shutdown calls
    std::thread::id m_dispatcherId;
    std::thread m_thread;
};

}  // namespace linuxhost
}  // namespace ZEL
