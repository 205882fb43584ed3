// The programs' command lines where no daemon runs: `datasyncd --check-config`, a daemon given
// a config it cannot use, and datasyncctl's usage and connection errors.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "support/TempDir.h"

namespace {

using appstest::Finished;
using appstest::Lines;

constexpr const char* kGoodPolicy = R"({
  "telemetry_scope": "full",
  "sync_endpoint_urls": { "KTA_syncEP_url": "https://127.0.0.1:8443/kta/" },
  "datasets": [ { "dataset_id": "6F1C2D3E-0000-4000-8000-000000000001", "dataset_name": "CPUEvent",
                  "dataset_enable": true, "syncEPs": "KTA", "syncEP_frequency": "nrt" } ]
})";

class CommandLine : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::string& text) {
        std::ofstream(dir.path() + name) << text;
        return dir.path() + name;
    }
    Finished Daemon(const std::vector<std::string>& args) {
        std::vector<std::string> argv{DATASYNCD_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        return appstest::Run(argv, dir.path());
    }
    Finished Ctl(const std::vector<std::string>& args) {
        std::vector<std::string> argv{DATASYNCCTL_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        return appstest::Run(argv, dir.path());
    }
    testsupport::TempDir dir;
};

TEST_F(CommandLine, CheckConfigPrintsOkForAGoodConfigAndPolicy) {
    Write("policy.json", kGoodPolicy);
    const Finished check = Daemon({"--check-config", Write("host.json", R"({"policy_file": "policy.json"})")});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    EXPECT_EQ(check.out, "ok\n");
}

TEST_F(CommandLine, CheckConfigNamesUnknownKeys) {
    Write("policy.json", kGoodPolicy);
    const std::string config = Write("host.json", R"({"policy_file": "policy.json", "colour": "red",
                                                      "device": {"shape": "round"}})");
    const Finished check = Daemon({"--check-config", config});
    EXPECT_EQ(check.exitCode, 1);
    const std::vector<std::string> lines = Lines(check.out);
    ASSERT_EQ(lines.size(), 2u) << check.out;
    EXPECT_EQ(lines[0], config + ": colour: unknown key");
    EXPECT_EQ(lines[1], config + ": device.shape: unknown key");
}

TEST_F(CommandLine, CheckConfigNamesAKeyOfTheWrongType) {
    Write("policy.json", kGoodPolicy);
    const std::string config = Write("host.json", R"({"policy_file": "policy.json", "device": {"online": "yes"}})");
    const Finished check = Daemon({"--check-config", config});
    EXPECT_EQ(check.exitCode, 1);
    EXPECT_EQ(check.out, config + ": device.online: expected a boolean\n");
}

TEST_F(CommandLine, CheckConfigNamesABadDatasetIdOfThePolicy) {
    const std::string policy = Write("policy.json", R"({"datasets": [{"dataset_id": "../../x", "dataset_name": "X"}]})");
    const Finished check = Daemon({"--check-config", Write("host.json", R"({"policy_file": "policy.json"})")});
    EXPECT_EQ(check.exitCode, 1);
    const std::vector<std::string> lines = Lines(check.out);
    ASSERT_EQ(lines.size(), 1u) << check.out;
    EXPECT_EQ(lines[0].rfind(policy + ": datasets[0].dataset_id: ", 0), 0u) << lines[0];
}

TEST_F(CommandLine, CheckConfigOfAnUnreadableFileNamesIt) {
    const Finished check = Daemon({"--check-config", dir.path() + "absent.json"});
    EXPECT_EQ(check.exitCode, 1);
    EXPECT_EQ(check.out, dir.path() + "absent.json: cannot be read: No such file or directory\n");
}

TEST_F(CommandLine, DaemonWithAnUnreadableConfigExitsTwoWithOneLine) {
    const Finished daemon = Daemon({"--config", dir.path() + "absent.json"});
    EXPECT_EQ(daemon.exitCode, 2);
    EXPECT_EQ(daemon.err, "datasyncd: " + dir.path() + "absent.json: cannot be read: No such file or directory\n");
    EXPECT_EQ(daemon.out, "");
}

TEST_F(CommandLine, DaemonWithAnInvalidConfigExitsTwoNamingFileAndKeyAndStartsNothing) {
    const std::string config = Write("host.json", R"({"state_dir": "state", "log_dir": "log",
                                                      "device": {"online": 1}, "tls": {"timeout_ms": -1}})");
    const Finished daemon = Daemon({"--config", config});
    EXPECT_EQ(daemon.exitCode, 2);
    const std::vector<std::string> lines = Lines(daemon.err);
    ASSERT_EQ(lines.size(), 1u) << daemon.err;
    EXPECT_EQ(lines[0], "datasyncd: " + config +
                            ": device.online: expected a boolean (and 1 more; datasyncd --check-config lists them all)");
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "state")) << "a folder was created";
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "log"));
}

TEST_F(CommandLine, DaemonUsageErrorsExitTwo) {
    EXPECT_EQ(Daemon({}).exitCode, 2);
    EXPECT_EQ(Daemon({"--config", "a.json", "--base", "/tmp/x"}).exitCode, 2);
    EXPECT_EQ(Daemon({"--frobnicate"}).exitCode, 2);
    const Finished help = Daemon({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* option : {"--config", "--base", "--check-config"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
}

TEST_F(CommandLine, CtlWithoutADaemonSaysWhereItCouldNotConnect) {
    const std::string state = dir.sub("state");
    const Finished status = Ctl({"--state-dir", state, "status"});
    EXPECT_EQ(status.exitCode, 1);
    EXPECT_NE(status.err.find("cannot connect to " + state + "control.sock: "), std::string::npos) << status.err;
    EXPECT_EQ(status.out, "");
}

TEST_F(CommandLine, CtlUsageErrorsExitTwo) {
    const std::string state = dir.sub("state");
    EXPECT_EQ(Ctl({"--state-dir", state}).exitCode, 2) << "no command";
    EXPECT_EQ(Ctl({"--state-dir", state, "notify", "six", "0"}).exitCode, 2);
    EXPECT_EQ(Ctl({"--state-dir", state, "set", "device.online"}).exitCode, 2);
    const Finished payload = Ctl({"--state-dir", state, "notify", "6", "0", "--payload", "{broken"});
    EXPECT_EQ(payload.exitCode, 2);
    EXPECT_NE(payload.err.find("--payload is not valid JSON"), std::string::npos) << payload.err;
    const Finished field = Ctl({"--state-dir", state, "command", "run", "x", "--field", "novalue"});
    EXPECT_EQ(field.exitCode, 2);
    EXPECT_NE(field.err.find("NAME=VALUE"), std::string::npos) << field.err;
    EXPECT_EQ(Ctl({"--help"}).exitCode, 0);
}

TEST_F(CommandLine, CtlDemoIsNotThereYet) {
    const Finished demo = Ctl({"demo", "--rows", "10", "--seconds", "5"});
    EXPECT_EQ(demo.exitCode, 1);
    EXPECT_EQ(demo.out, "demo: not yet\n");
}

}  // namespace
