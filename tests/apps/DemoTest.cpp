// `datasyncctl demo` as `make demo` runs it.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <filesystem>

#include "ChildProcess.h"
#include "support/TempDir.h"

namespace {

constexpr int kTimeoutSeconds = 30;
// Stopping the daemon and the collector, and a slow (sanitizer) start, on top of the deadline.
constexpr std::chrono::seconds kMargin{30};

TEST(Demo, DeliversEveryRowPrintsProgressAndTheTableAndStopsItsChildren) {
    testsupport::TempDir dir;
    const std::string base = dir.path() + "demo/";
    const appstest::Finished demo =
        appstest::Run({DATASYNCCTL_PATH, "demo", "--rows", "10", "--seconds", "1", "--interval", "2s", "--timeout",
                       std::to_string(kTimeoutSeconds), "--base", base},
                      dir.path(), std::chrono::seconds(kTimeoutSeconds) + kMargin);
    ASSERT_TRUE(demo.exited) << "still running after the deadline and margin:\n" << demo.out << demo.err;
    EXPECT_EQ(demo.exitCode, 0) << demo.out << demo.err;
    EXPECT_EQ(demo.err, "");

    // The collector's address, a progress line, the table's rows and the verdict.
    for (const char* part : {"listening on https://127.0.0.1:", "] written ", "rows per dataset", "DemoLiveEvent",
                             "DemoScheduledEvent", "DeviceContext", "duplicate rows", "posts accepted/received",
                             "bookmark DemoLiveEvent", "elapsed", "demo: ok:"})
        EXPECT_NE(demo.out.find(part), std::string::npos) << part << " is not in:\n" << demo.out;

    int announced = 0;  // the collector and the daemon, as "(pid N)"
    for (const std::string& line : appstest::Lines(demo.out)) {
        const size_t at = line.find("(pid ");
        announced += at != std::string::npos;
        EXPECT_TRUE(at == std::string::npos || (::kill(std::stoi(line.substr(at + 5)), 0) == -1 && errno == ESRCH))
            << line << " still runs";
    }
    EXPECT_EQ(announced, 2) << demo.out;
    EXPECT_TRUE(std::filesystem::exists(base + "collector/records.jsonl")) << "--base is kept";
}

}  // namespace
