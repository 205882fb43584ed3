// The fixture of the policy tests: a temporary policy file named by the host settings, a
// capture of the log lines, and the host state restored afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "linuxhost/policy/PolicyFileAgent.h"
#include "linuxhost/services/ServicesTestSupport.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace servicestest {

// Two valid dataset ids, upper and lower case.
constexpr const char* kIdUpper = "6F1C2D3E-0000-4000-8000-000000000001";
constexpr const char* kIdLower = "6f1c2d3e-0000-4000-8000-00000000abcd";

class PolicyTest : public ::testing::Test {
protected:
    void SetUp() override { UsePolicyFile(path = temp.path() + "policy.json"); }
    // Writes the policy file and has the agent read it again, as the policy watcher does.
    void Write(const std::string& content) {
        WriteFile(path, content);
        agent.Reload();
    }

    // True when nothing was written to host.log.
    bool HostLogEmpty() const { return !capture.Contains("", "host.log"); }

    // Asserts that exactly one short host.log line was written, at error level, naming the
    // policy file and containing `fragment`; clears the capture.
    void ExpectOneErrorLine(const std::string& fragment) {
        std::vector<testsupport::LogCapture::Line> lines;
        std::string all;
        for (const auto& line : capture.Lines()) {
            if (line.file != "host.log") continue;
            lines.push_back(line);
            all += "\n  " + line.text;
        }
        ASSERT_EQ(lines.size(), 1u) << "host.log lines:" << all;
        const std::string& text = lines[0].text;
        EXPECT_EQ(lines[0].level, ZEL::LogLevel::Error);
        EXPECT_NE(text.find(path), std::string::npos) << text;
        EXPECT_NE(text.find(fragment), std::string::npos) << text;
        EXPECT_EQ(text.find('\n'), std::string::npos) << text;
        EXPECT_LT(text.size(), 400u) << text;
        capture.Clear();
    }

    HostStateGuard stateGuard;
    testsupport::LogCapture capture;
    testsupport::TempDir temp;
    std::string path;
    ZEL::linuxhost::PolicyFileAgent agent;
};

}  // namespace servicestest
