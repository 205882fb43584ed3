// TaskRunner: the agent's asynchronous tasks (back-off resets, send-telemetry handling), each on
// a thread of its own, kept as futures until they are waited for. Finished tasks are dropped
// whenever a new one starts, so a long-running agent does not collect them.
//
// Tasks that wait do so through the agent's StopSignal: cancel it before WaitAll, and WaitAll
// returns as soon as the tasks have seen the cancel.
//
// Thread safety: Run from any thread; WaitAll from the thread that stops the agent. The mutex
// is held only while the list of futures changes, never while a task is waited for.
#pragma once

#include <chrono>
#include <future>
#include <mutex>
#include <utility>
#include <vector>

namespace ZEL {
namespace DataSync {

class TaskRunner {
public:
    TaskRunner() = default;
    ~TaskRunner() { WaitAll(); }
    TaskRunner(const TaskRunner&) = delete;
    TaskRunner& operator=(const TaskRunner&) = delete;

    template <typename Work>
    void Run(Work work) {
        std::future<void> future = std::async(std::launch::async, std::move(work));
        std::lock_guard<std::mutex> lock(m_futuresMutex);
        for (auto it = m_notificationFutures.begin(); it != m_notificationFutures.end();) {
            if (it->valid() && it->wait_for(std::chrono::seconds(0)) == std::future_status::ready)
                it = m_notificationFutures.erase(it);
            else
                ++it;
        }
        m_notificationFutures.push_back(std::move(future));
    }

    // Waits for every task started so far.
    void WaitAll() {
        std::vector<std::future<void>> futures;
        {
            std::lock_guard<std::mutex> lock(m_futuresMutex);
            futures.swap(m_notificationFutures);
        }
        for (auto& future : futures)
            if (future.valid()) future.wait();
    }

private:
    std::mutex m_futuresMutex;
    std::vector<std::future<void>> m_notificationFutures;  // guarded by m_futuresMutex
};

}  // namespace DataSync
}  // namespace ZEL
