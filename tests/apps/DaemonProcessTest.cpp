// The daemon as a user runs it: `datasyncd --base DIR` or `--config FILE` in a child process,
// driven with datasyncctl, stopped with a signal.
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

using appstest::Finished;
using datasyncctl::DemoProcess;
using datasyncctl::ReadTextFile;

// Sanitizer builds start slowly; a healthy daemon answers far sooner.
constexpr std::chrono::seconds kStartDeadline{30};
constexpr std::chrono::seconds kStopDeadline{5};

Json::Value ParseJson(const std::string& text) {
    Json::Value value;
    std::istringstream(text) >> value;
    return value;
}

// datasyncd with `args`, its output in `dir`; `status` gets the first answer of `stateDir`'s
// control socket (empty when it did not come up).
std::unique_ptr<DemoProcess> StartDaemon(const std::string& dir, const std::vector<std::string>& args,
                                         const std::string& stateDir, std::string& status) {
    static int started = 0;
    std::vector<std::string> argv{DATASYNCD_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string stem = dir + "datasyncd-" + std::to_string(++started);
    auto daemon = std::make_unique<DemoProcess>("datasyncd", argv, stem + ".out", stem + ".err");
    status = appstest::LineClient::RequestWhenUp(stateDir + "control.sock", R"({"cmd":"status"})", kStartDeadline)
                 .value_or("");
    return daemon;
}

TEST(DaemonProcess, ServesStatusAndSetRefusesASecondDaemonAndStopsQuietlyOnSigint) {
    testsupport::TempDir dir;
    const std::string base = dir.path() + "base/", state = base + "state/";
    std::string up;
    auto daemon = StartDaemon(dir.path(), {"--base", base}, state, up);
    ASSERT_NE(up.find("\"ok\":true"), std::string::npos) << ReadTextFile(daemon->ErrFile());
    const auto ctl = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv{DATASYNCCTL_PATH, "--state-dir", state};
        argv.insert(argv.end(), args.begin(), args.end());
        return appstest::Run(argv, dir.path());
    };

    // The example policy is in force.
    const Json::Value answer = ParseJson(ctl({"status", "--json"}).out);
    const Json::Value& status = answer["status"];
    EXPECT_TRUE(status["agent"]["started"].asBool()) << answer;
    EXPECT_TRUE(status["agent"]["full_init_done"].asBool());
    EXPECT_EQ(status["families"]["NAVP"]["url"].asString(), "https://127.0.0.1:8443/navp");
    for (const char* family : {"KTA", "NAVS", "NAVP"}) {
        EXPECT_TRUE(status["families"][family]["enabled"].asBool()) << family;
        EXPECT_TRUE(status["families"][family]["url_valid"].asBool()) << family;
    }
    EXPECT_EQ(answer["host"]["folders"]["state_dir"].asString(), state);
    EXPECT_EQ(answer["host"]["policy_file"].asString(), base + "policy.json");
    const Finished readable = ctl({"status"});
    ASSERT_EQ(readable.exitCode, 0) << readable.err;
    for (const char* part : {"Agent: started yes", "https://127.0.0.1:8443/navs/", "Back-off records:",
                             "Device-context records pending:", "Queue length:"})
        EXPECT_NE(readable.out.find(part), std::string::npos) << part << "\n" << readable.out;

    // The answer comes after the bus delivered: the very next status shows the change.
    const Finished set = ctl({"set", "device.online", "false"});
    ASSERT_EQ(set.exitCode, 0) << set.err;
    EXPECT_NE(set.out.find("published topic 6 state 41"), std::string::npos) << set.out;
    const Json::Value offline = ParseJson(ctl({"status", "--json"}).out);
    EXPECT_FALSE(offline["host"]["device"]["online"].asBool());
    EXPECT_FALSE(offline["status"]["agent"]["online"].asBool());
    ASSERT_EQ(ctl({"set", "device.online", "true"}).exitCode, 0);
    EXPECT_TRUE(ParseJson(ctl({"status", "--json"}).out)["status"]["agent"]["online"].asBool());

    const Finished second = appstest::Run({DATASYNCD_PATH, "--base", base}, dir.path(), std::chrono::seconds(20));
    ASSERT_TRUE(second.exited) << "the second daemon did not give up";
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("another datasyncd is running"), std::string::npos) << second.err;
    EXPECT_EQ(ctl({"status"}).exitCode, 0) << "the first keeps serving";

    // After all that, it stops cleanly and quietly on SIGINT (a sanitizer build reports its
    // findings on stderr and in the exit status).
    ::kill(daemon->Pid(), SIGINT);
    ASSERT_TRUE(appstest::WaitExit(*daemon, kStopDeadline)) << "still running 5 s after SIGINT";
    EXPECT_EQ(appstest::ExitCode(*daemon), 0);
    EXPECT_EQ(ReadTextFile(daemon->ErrFile()), "");
}

TEST(DaemonProcess, RestartsOverAKilledDaemonsSocketAndStopsCleanlyWithinFiveSecondsOfSigterm) {
    testsupport::TempDir dir;
    const std::string base = dir.path() + "base/", socket = base + "state/control.sock";
    std::string up;
    auto daemon = StartDaemon(dir.path(), {"--base", base}, base + "state/", up);
    ASSERT_NE(up, "") << ReadTextFile(daemon->ErrFile());
    ::kill(daemon->Pid(), SIGKILL);
    ASSERT_TRUE(appstest::WaitExit(*daemon, kStopDeadline));
    ASSERT_EQ(::access(socket.c_str(), F_OK), 0) << "expected a leftover socket file";

    daemon = StartDaemon(dir.path(), {"--base", base}, base + "state/", up);
    ASSERT_NE(up, "") << ReadTextFile(daemon->ErrFile());
    EXPECT_EQ(daemon->Stop(kStopDeadline), "") << ReadTextFile(daemon->ErrFile());
    EXPECT_EQ(ReadTextFile(daemon->ErrFile()), "");
    EXPECT_NE(::access(socket.c_str(), F_OK), 0) << "control.sock left behind";
    const std::string hostLog = ReadTextFile(base + "log/host.log");
    for (const char* line : {"datasyncd: received SIGTERM", "datasyncd: agent UnInit", "datasyncd: stopped"})
        EXPECT_NE(hostLog.find(line), std::string::npos) << line << "\n" << hostLog;
}

TEST(DaemonProcess, ConfigFileFoldersAreRelativeToItAndTheDeviceStartsAsConfigured) {
    testsupport::TempDir dir;
    const std::string etc = dir.sub("etc");
    std::ofstream(etc + "policy.json") << R"({"telemetry_scope": "full"})";
    std::ofstream(etc + "host.json") << R"({"service_db_dir": "../var/db", "shared_db_dir": "../var/shared",
        "local_db_dir": "../var/local", "log_dir": "../var/log", "state_dir": "../var/state",
        "policy_file": "policy.json", "device": {"online": false, "id": "dev-cfg"}})";
    std::string answer;
    auto daemon = StartDaemon(dir.path(), {"--config", etc + "host.json"}, dir.path() + "var/state/", answer);
    ASSERT_NE(answer, "") << ReadTextFile(daemon->ErrFile());
    const Json::Value status = ParseJson(answer);
    EXPECT_EQ(status["host"]["folders"]["service_db_dir"].asString(), dir.path() + "var/db/");
    EXPECT_EQ(status["host"]["device"]["id"].asString(), "dev-cfg");
    // An offline device is not announced as ready at start.
    EXPECT_FALSE(status["status"]["agent"]["online"].asBool()) << answer;
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() + "var/shared"));
    // With a config of its own the daemon writes nothing next to it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(etc), std::filesystem::directory_iterator()), 2);
    EXPECT_EQ(daemon->Stop(kStopDeadline), "") << ReadTextFile(daemon->ErrFile());
}

}  // namespace
