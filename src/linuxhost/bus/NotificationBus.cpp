// The notification bus's queue and dispatcher.
#include "linuxhost/bus/NotificationBus.h"

#include <atomic>
#include <exception>
#include <utility>
#include <vector>

#include "datasync/host/Log.h"

namespace ZEL {
namespace linuxhost {
namespace {

// Subscription ids are unique in the process, not only per bus, so that an id kept across a
// bus replacement can never remove somebody else's subscription.
std::atomic<std::uint64_t> g_nextSubscriptionId{1};

constexpr const wchar_t* kIdPrefix = L"bus-subscription-";

// The id's number, or 0 when `id` is not one of ours.
std::uint64_t ParseSubscriptionId(const std::wstring& id) {
    const std::wstring prefix(kIdPrefix);
    if (id.size() <= prefix.size() || id.compare(0, prefix.size(), prefix) != 0) return 0;
    std::uint64_t value = 0;
    for (size_t i = prefix.size(); i < id.size(); ++i) {
        if (id[i] < L'0' || id[i] > L'9' || value > (UINT64_MAX - 9) / 10) return 0;
        value = value * 10 + static_cast<std::uint64_t>(id[i] - L'0');
    }
    return value;
}

// Bound per line so that the line goes to whatever log sink is installed at that moment.
void LogCallbackFailure(const std::string& what, int topic, int state) {
    Log log;
    if (!utility::InitLog(log, L"host.log", 4)) return;
    log.e(L"NotificationBus: a subscriber failed on topic %d state %d: %s", topic, state,
          String::UTF8ToUTF16(what));
}

}  // namespace

NotificationBus::NotificationBus() {
    m_thread = std::thread([this] { Run(); });
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dispatcherId = m_thread.get_id();
}

NotificationBus::~NotificationBus() {
    Shutdown();
}

std::wstring NotificationBus::Subscribe(Callback callback, bool /*flag*/) {
    const std::uint64_t id = g_nextSubscriptionId.fetch_add(1);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_subscribers.emplace(id, std::make_shared<Callback>(std::move(callback)));
    return kIdPrefix + std::to_wstring(id);
}

void NotificationBus::Unsubscribe(std::wstring id) {
    const std::uint64_t number = ParseSubscriptionId(id);
    if (number == 0) return;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_subscribers.erase(number);
    if (std::this_thread::get_id() == m_dispatcherId) return;
    m_changed.wait(lock, [&] { return m_runningId != number; });
}

void NotificationBus::Notify(ZELNotificationData& data, std::wstring /*senderId*/) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lastState[data.getTopicId()] = data.getEventState();
        if (m_stopping) return;
        m_queue.push_back(data);
    }
    m_wake.notify_one();
}

bool NotificationBus::GetLastNotificationForTopic(TopicId& topic, EventState& state) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_lastState.find(static_cast<int>(topic));
    if (found == m_lastState.end()) return false;
    state = static_cast<EventState>(found->second);
    return true;
}

bool NotificationBus::WaitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (std::this_thread::get_id() == m_dispatcherId) return false;
    return m_changed.wait_for(lock, timeout, [this] { return m_queue.empty() && !m_delivering; });
}

void NotificationBus::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_queue.clear();
    }
    m_wake.notify_all();
    m_changed.notify_all();
    // A callback that shuts the bus down cannot join its own thread; the thread ends when the
    // callback returns and a later Shutdown (the destructor's) joins it.
    if (std::this_thread::get_id() == m_dispatcherId) return;
    std::lock_guard<std::mutex> joinLock(m_joinMutex);
    if (m_thread.joinable()) m_thread.join();
}

void NotificationBus::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_stopping) break;
        const ZELNotificationData notification = std::move(m_queue.front());
        m_queue.pop_front();
        m_delivering = true;
        const std::vector<std::pair<std::uint64_t, CallbackPtr>> targets(m_subscribers.begin(),
                                                                         m_subscribers.end());
        for (const auto& target : targets) {
            if (m_stopping) break;
            if (m_subscribers.count(target.first) == 0) continue;  // removed by an earlier callback
            m_runningId = target.first;
            lock.unlock();
            ZELNotificationData copy = notification;  // callbacks take a mutable reference
            try {
                (*target.second)(copy);
            } catch (const std::exception& error) {
                LogCallbackFailure(error.what(), copy.getTopicId(), copy.getEventState());
            } catch (...) {
                LogCallbackFailure("unknown exception", copy.getTopicId(), copy.getEventState());
            }
            lock.lock();
            m_runningId = 0;
            m_changed.notify_all();
        }
        m_delivering = false;
        m_changed.notify_all();
    }
    m_delivering = false;
    m_changed.notify_all();
}

}  // namespace linuxhost

}  // namespace ZEL
