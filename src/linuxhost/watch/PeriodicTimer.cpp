// The periodic timer behind the agent's timer-driven work: one thread per timer that sleeps on
// a condition variable until the next due time or until the timer is destroyed.
//
// Each due time is measured on steady_clock from the start of the previous call, so a slow
// callback delays the next call but never causes a burst of catch-up calls, and calls never
// overlap. The thread keeps the shared state alive, which is what allows a callback to destroy
// its own timer: the destructor then detaches instead of joining itself.
#include "linuxhost/watch/FileWatcher.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "datasync/common/StringUtil.h"
#include "linuxhost/logging/FileLogging.h"

namespace ZEL {
namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

struct PeriodicTimer::Impl {
    Impl(std::chrono::milliseconds period_, Clock::time_point firstDue_, std::wstring name_,
         Callback callback_)
        : period(period_), firstDue(firstDue_), name(std::move(name_)), callback(std::move(callback_)) {}

    void Run();
    void Invoke();

    const std::chrono::milliseconds period;
    const Clock::time_point firstDue;
    const std::wstring name;
    const Callback callback;

    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;  // guarded by mutex
    std::thread thread;     // touched only by the owner, or by the thread itself when destroyed from it
};

void PeriodicTimer::Impl::Run() {
    Clock::time_point next = firstDue;
    std::unique_lock<std::mutex> lock(mutex);
    while (!wake.wait_until(lock, next, [this] { return stopping; })) {
        lock.unlock();
        const Clock::time_point start = Clock::now();
        Invoke();
        lock.lock();
        next = start + period;
    }
}

void PeriodicTimer::Impl::Invoke() {
    if (!callback) return;
    try {
        callback(name);
    } catch (const std::exception& error) {
        linuxhost::HostLog().e(L"PeriodicTimer %s: the callback failed: %s", name,
                               String::UTF8ToUTF16(error.what()));
    } catch (...) {
        linuxhost::HostLog().e(L"PeriodicTimer %s: the callback failed: unknown exception", name);
    }
}

PeriodicTimer::PeriodicTimer(std::chrono::milliseconds period, std::chrono::milliseconds initialDelay,
                             std::wstring name, Callback callback)
    // A zero or negative period would spin; one millisecond is the shortest we honour.
    : m_impl(std::make_shared<Impl>(std::max(period, std::chrono::milliseconds(1)),
                                    Clock::now() + std::max(initialDelay, std::chrono::milliseconds(0)),
                                    std::move(name), std::move(callback))) {
    m_impl->thread = std::thread([impl = m_impl] { impl->Run(); });
}

PeriodicTimer::~PeriodicTimer() {
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        m_impl->stopping = true;
    }
    m_impl->wake.notify_all();
    if (m_impl->thread.get_id() == std::this_thread::get_id()) {
        m_impl->thread.detach();  // inside our own callback: the thread ends when it returns
    } else if (m_impl->thread.joinable()) {
        m_impl->thread.join();
    }
}

}  // namespace ZEL
