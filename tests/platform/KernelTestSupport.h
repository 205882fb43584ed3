// Helpers shared by the kernel-object tests: a thread that is always joined (so a failed
// assertion cannot leave one running), a non-blocking "is it signalled" probe, elapsed-time
// measurement, and names for named events that no other test process uses.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "platform/KernelObjects.h"

namespace platformtest {

using Clock = std::chrono::steady_clock;

// Bounds waits that a correct implementation ends long before; it only limits how long a broken
// one can hang the test.
constexpr platform::DWORD kGenerousMs = 5000;

class JoiningThread {
public:
    template <typename Body>
    explicit JoiningThread(Body&& body) : m_thread(std::forward<Body>(body)) {}
    ~JoiningThread() { join(); }
    JoiningThread(const JoiningThread&) = delete;
    JoiningThread& operator=(const JoiningThread&) = delete;
    void join() {
        if (m_thread.joinable()) m_thread.join();
    }

private:
    std::thread m_thread;
};

// A zero-time wait: true when the object was signalled, which takes it as any wait does.
inline bool IsSet(const platform::HANDLE& object) {
    return platform::WaitForSingleObject(object, 0) == platform::WAIT_OBJECT_0;
}

inline long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Lets a thread that was just started reach its blocking wait before the test signals, so the
// blocked path is the one exercised. No result depends on it: a signal that comes first is
// found by the wait's first check.
inline void PauseBriefly() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

// ctest runs every test case in a process of its own, several at once: the pid keeps their
// named events apart, the counter keeps the events of one test apart.
inline std::wstring UniqueEventName(const std::string& tag) {
    static std::atomic<int> counter{0};
    const std::string name = "DataSyncTest." + std::to_string(::getpid()) + "." + tag + "." +
                             std::to_string(counter.fetch_add(1));
    return std::wstring(name.begin(), name.end());
}

}  // namespace platformtest
