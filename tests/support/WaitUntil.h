// Polls a condition until it holds or a deadline passes: for observing other threads' and
// processes' progress without sleeping longer than needed.
#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

// Polls `condition` every `interval` until it holds or `timeout` passes; true when it held.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(5),
               std::chrono::milliseconds interval = std::chrono::milliseconds(1)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (; !condition(); std::this_thread::sleep_for(interval))
        if (std::chrono::steady_clock::now() >= deadline) return condition();
    return true;
}

}  // namespace testsupport
