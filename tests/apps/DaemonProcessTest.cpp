// The daemon as a user runs it: `datasyncd --base DIR` in a child process, driven with
// datasyncctl, stopped with a signal.
#include <gtest/gtest.h>
#include <json/json.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "LineClient.h"
#include "support/TempDir.h"

namespace {

using appstest::ChildProcess;
using appstest::Finished;

// Sanitizer builds start slowly; a healthy daemon answers far sooner.
constexpr std::chrono::seconds kStartDeadline{30};
constexpr std::chrono::seconds kStopDeadline{5};

Json::Value ParseJson(const std::string& text) {
    Json::Value value;
    std::istringstream(text) >> value;
    return value;
}

// A daemon on a fresh base folder, up and answering once constructed.
class RunningDaemon {
public:
    explicit RunningDaemon(const testsupport::TempDir& dir)
        : m_base(dir.path() + "base/"), m_outputDir(dir.path()) {
        m_daemon = std::make_unique<ChildProcess>(std::vector<std::string>{DATASYNCD_PATH, "--base", m_base},
                                                  m_outputDir);
        const auto answer =
            appstest::LineClient::RequestWhenUp(SocketPath(), R"({"cmd":"status"})", kStartDeadline);
        m_up = answer.has_value() && answer->find("\"ok\":true") != std::string::npos;
    }

    bool Up() const { return m_up; }
    ChildProcess& Process() { return *m_daemon; }
    const std::string& Base() const { return m_base; }
    std::string StateDir() const { return m_base + "state/"; }
    std::string SocketPath() const { return StateDir() + "control.sock"; }

    Finished Ctl(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{DATASYNCCTL_PATH, "--state-dir", StateDir()};
        argv.insert(argv.end(), args.begin(), args.end());
        return appstest::Run(argv, m_outputDir);
    }

    Json::Value StatusJson() const {
        const Finished status = Ctl({"status", "--json"});
        EXPECT_EQ(status.exitCode, 0) << status.err;
        return ParseJson(status.out);
    }

private:
    std::string m_base;
    std::string m_outputDir;
    std::unique_ptr<ChildProcess> m_daemon;
    bool m_up = false;
};

// One daemon serves every test of this suite (starting one is the slow part).
class DaemonControl : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new testsupport::TempDir();
        s_daemon = new RunningDaemon(*s_dir);
    }
    static void TearDownTestSuite() {
        // After everything the tests made it do, the daemon must still stop cleanly and quietly
        // on SIGINT (a sanitizer build reports its findings on stderr and in the exit status).
        if (s_daemon->Up()) {
            ChildProcess& process = s_daemon->Process();
            process.Signal(SIGINT);
            if (!process.WaitExit(kStopDeadline))
                ADD_FAILURE() << "the suite's daemon was still running 5 s after SIGINT";
            else if (process.ExitCode() != 0 || !process.Stderr().empty())
                ADD_FAILURE() << "the suite's daemon exited with " << process.ExitCode() << ": " << process.Stderr();
        }
        delete s_daemon;  // kills the daemon if still running
        delete s_dir;
    }
    void SetUp() override {
        ASSERT_TRUE(s_daemon->Up()) << "datasyncd did not answer: " << s_daemon->Process().Stderr();
    }

    static inline testsupport::TempDir* s_dir = nullptr;
    static inline RunningDaemon* s_daemon = nullptr;
};

TEST_F(DaemonControl, StatusShowsTheAgentStartedWithTheExamplePolicyFamilies) {
    const Json::Value answer = s_daemon->StatusJson();
    const Json::Value& status = answer["status"];
    EXPECT_TRUE(status["agent"]["started"].asBool()) << answer;
    EXPECT_TRUE(status["agent"]["full_init_done"].asBool());
    EXPECT_EQ(status["families"]["NAVP"]["url"].asString(), "https://127.0.0.1:8443/navp");
    for (const char* family : {"KTA", "NAVS", "NAVP"}) {
        EXPECT_TRUE(status["families"][family]["enabled"].asBool()) << family;
        EXPECT_TRUE(status["families"][family]["url_valid"].asBool()) << family;
    }
    EXPECT_EQ(answer["host"]["folders"]["state_dir"].asString(), s_daemon->StateDir());
    EXPECT_EQ(answer["host"]["policy_file"].asString(), s_daemon->Base() + "policy.json");

    const Finished readable = s_daemon->Ctl({"status"});
    ASSERT_EQ(readable.exitCode, 0) << readable.err;
    for (const char* part : {"Agent: started yes", "https://127.0.0.1:8443/navs/", "Back-off records:",
                             "Device-context records pending:", "Queue length:"})
        EXPECT_NE(readable.out.find(part), std::string::npos) << part << "\n" << readable.out;
}

TEST_F(DaemonControl, SetDeviceOnlineFalseReachesHostAndAgent) {
    const Finished set = s_daemon->Ctl({"set", "device.online", "false"});
    ASSERT_EQ(set.exitCode, 0) << set.err;
    EXPECT_NE(set.out.find("published topic 6 state 41"), std::string::npos) << set.out;
    // The answer comes after the bus delivered: the very next status shows the change.
    const Json::Value offline = s_daemon->StatusJson();
    EXPECT_FALSE(offline["host"]["device"]["online"].asBool());
    EXPECT_FALSE(offline["status"]["agent"]["online"].asBool());

    ASSERT_EQ(s_daemon->Ctl({"set", "device.online", "true"}).exitCode, 0);
    EXPECT_TRUE(s_daemon->StatusJson()["status"]["agent"]["online"].asBool());
}

TEST_F(DaemonControl, ControlSocketAndStateFolderArePrivate) {
    namespace fs = std::filesystem;
    EXPECT_EQ(fs::status(s_daemon->SocketPath()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(s_daemon->StateDir()).permissions(), fs::perms::owner_all);
}

TEST_F(DaemonControl, SecondDaemonOnTheSameBaseIsRefusedAndTheFirstKeepsServing) {
    const Finished second = appstest::Run({DATASYNCD_PATH, "--base", s_daemon->Base()}, s_dir->path(),
                                          std::chrono::seconds(20));
    ASSERT_TRUE(second.exited) << "the second daemon did not give up";
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("another datasyncd is running"), std::string::npos) << second.err;
    EXPECT_EQ(s_daemon->Ctl({"status"}).exitCode, 0);
}

// The suite's daemon above stops with SIGINT.
TEST(DaemonLifecycle, RestartsOverAKilledDaemonsSocketAndStopsCleanlyWithinFiveSecondsOfSigterm) {
    testsupport::TempDir dir;
    {
        RunningDaemon first(dir);
        ASSERT_TRUE(first.Up()) << first.Process().Stderr();
        first.Process().Signal(SIGKILL);
        ASSERT_TRUE(first.Process().WaitExit(kStopDeadline));
        ASSERT_EQ(::access(first.SocketPath().c_str(), F_OK), 0) << "expected a leftover socket file";
    }
    RunningDaemon daemon(dir);
    ASSERT_TRUE(daemon.Up()) << daemon.Process().Stderr();
    daemon.Process().Signal(SIGTERM);
    ASSERT_TRUE(daemon.Process().WaitExit(kStopDeadline)) << "still running 5 s after SIGTERM";
    EXPECT_EQ(daemon.Process().ExitCode(), 0) << daemon.Process().Stderr();
    EXPECT_EQ(daemon.Process().Stderr(), "");
    EXPECT_NE(::access(daemon.SocketPath().c_str(), F_OK), 0) << "control.sock left behind";
    const std::string hostLog = ChildProcess::ReadFile(daemon.Base() + "log/host.log");
    for (const char* line : {"datasyncd: received SIGTERM", "datasyncd: agent UnInit", "datasyncd: stopped"})
        EXPECT_NE(hostLog.find(line), std::string::npos) << line << "\n" << hostLog;
}

TEST(DaemonLifecycle, ConfigFileFoldersAreRelativeToItAndTheDeviceStartsAsConfigured) {
    testsupport::TempDir dir;
    const std::string etc = dir.sub("etc");
    std::ofstream(etc + "policy.json") << R"({"telemetry_scope": "full"})";
    std::ofstream(etc + "host.json") << R"({"service_db_dir": "../var/db", "shared_db_dir": "../var/shared",
        "local_db_dir": "../var/local", "log_dir": "../var/log", "state_dir": "../var/state",
        "policy_file": "policy.json", "device": {"online": false, "id": "dev-cfg"}})";
    ChildProcess daemon({DATASYNCD_PATH, "--config", etc + "host.json"}, dir.path());
    const auto answer = appstest::LineClient::RequestWhenUp(dir.path() + "var/state/control.sock",
                                                           R"({"cmd":"status"})", kStartDeadline);
    ASSERT_TRUE(answer.has_value()) << daemon.Stderr();
    const Json::Value status = ParseJson(*answer);
    EXPECT_EQ(status["host"]["folders"]["service_db_dir"].asString(), dir.path() + "var/db/");
    EXPECT_EQ(status["host"]["device"]["id"].asString(), "dev-cfg");
    // An offline device is not announced as ready at start.
    EXPECT_FALSE(status["status"]["agent"]["online"].asBool()) << *answer;
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() + "var/shared"));
    // With a config of its own the daemon writes nothing next to it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(etc), std::filesystem::directory_iterator()), 2);
    daemon.Signal(SIGTERM);
    ASSERT_TRUE(daemon.WaitExit(kStopDeadline));
    EXPECT_EQ(daemon.ExitCode(), 0) << daemon.Stderr();
}

}  // namespace
