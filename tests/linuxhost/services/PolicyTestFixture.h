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
    void SetUp() override {
        path = temp.path() + "policy.json";
        UsePolicyFile(path);
    }

    void Write(const std::string& content) { WriteFile(path, content); }

    std::vector<testsupport::LogCapture::Line> HostLines() const {
        std::vector<testsupport::LogCapture::Line> lines;
        for (const auto& line : capture.Lines()) {
            if (line.file == "host.log") lines.push_back(line);
        }
        return lines;
    }

    // Asserts that exactly one host.log line was written, at error level, naming the policy
    // file and containing `fragment`; clears the capture.
    void ExpectOneErrorLine(const std::string& fragment) {
        const auto lines = HostLines();
        ASSERT_EQ(lines.size(), 1u) << "host.log lines: " << Dump(lines);
        EXPECT_EQ(lines[0].level, ZEL::LogLevel::Error);
        EXPECT_NE(lines[0].text.find(path), std::string::npos) << lines[0].text;
        EXPECT_NE(lines[0].text.find(fragment), std::string::npos) << lines[0].text;
        EXPECT_EQ(lines[0].text.find('\n'), std::string::npos) << lines[0].text;
        capture.Clear();
    }

    static std::string Dump(const std::vector<testsupport::LogCapture::Line>& lines) {
        std::string text;
        for (const auto& line : lines) text += "\n  " + line.text;
        return text;
    }

    HostStateGuard stateGuard;
    testsupport::LogCapture capture;
    testsupport::TempDir temp;
    std::string path;
    ZEL::linuxhost::PolicyFileAgent agent;
};

}  // namespace servicestest
