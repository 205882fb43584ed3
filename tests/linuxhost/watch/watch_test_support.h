// Helpers shared by the watcher, timer and impersonation tests: waiting for a condition with a
// deadline, touching files, and the in-memory copy of host.log that every test of this binary
// writes to.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/LogCapture.h"
#include "support/WaitUntil.h"

namespace watchtest {

// host.log as written by this test binary. The capture is installed before the first test
// runs (watch_test_support.cpp), so HostLog() binds to it whichever test logs first.
testsupport::LogCapture& HostLogLines();

using testsupport::WaitUntil;

// A test path as the agent's wide string (the tests use ASCII paths only).
inline std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// Appends a byte to `path` (creating it), as a writer's modification would.
inline void Touch(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::write(fd, "x", 1), 1);
    ::close(fd);
}

}  // namespace watchtest
