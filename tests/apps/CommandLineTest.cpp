#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ChildProcess.h"
#include "support/TempDir.h"

namespace {

using appstest::Finished;
using appstest::Lines;

class CommandLine : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::string& text) {
        std::ofstream(dir.path() + name) << text;
        return dir.path() + name;
    }
    Finished Run(const std::vector<std::string>& argv) { return appstest::Run(argv, dir.path()); }
    testsupport::TempDir dir;
};

TEST_F(CommandLine, CheckConfigPrintsOkOrOneLinePerProblem) {
    const std::string good = Write("policy.json", R"({"telemetry_scope": "full", "primary_url": "https://h/kta",
        "datasets": [{"dataset_id": "6F1C2D3E-0000-4000-8000-000000000001", "dataset_name": "CPUEvent",
                      "include_events": ["ALL"], "syncEPs": "NAVP", "dataset_enable": true}]})");
    const std::string host = Write(
        "host.json", R"({"policy_file": "policy.json", "metrics_textfile": "node-exporter/datasync.prom"})");
    Finished check = Run({DATASYNCD_PATH, "--check-config", host});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    EXPECT_EQ(check.out, "warning: " + good +
                             ": primary_url: \"https://h/kta\" does not end with \"/\"; the record kind is added "
                             "after one\nwarning: " +
                             host + ": metrics_textfile: the folder " + dir.path() +
                             "node-exporter/ does not exist; no metrics are written until it does\nok\n");

    const std::string policy = Write("bad-policy.json", R"({"datasets": [{"dataset_id": "../../x"}]})");
    const std::string config = Write("host.json", R"({"policy_file": "bad-policy.json", "colour": "red"})");
    check = Run({DATASYNCD_PATH, "--check-config", config});
    EXPECT_EQ(check.exitCode, 1);
    const std::vector<std::string> lines = Lines(check.out);
    ASSERT_EQ(lines.size(), 3u) << check.out;
    EXPECT_EQ(lines[0], config + ": colour: unknown key");
    EXPECT_EQ(lines[1].rfind(policy + ": datasets[0].dataset_id: ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("warning: " + policy + ": datasets: none in force", 0), 0u) << lines[2];
}

TEST_F(CommandLine, DaemonWithAConfigItCannotUseExitsTwoWithOneLineAndStartsNothing) {
    Finished daemon = Run({DATASYNCD_PATH, "--config", dir.path() + "absent.json"});
    EXPECT_EQ(daemon.exitCode, 2);
    EXPECT_EQ(daemon.err, "datasyncd: " + dir.path() + "absent.json: cannot be read: No such file or directory\n");
    EXPECT_EQ(daemon.out, "");

    const std::string config = Write("host.json", R"({"state_dir": "state", "log_dir": "log",
                                                      "device": {"online": 1}, "tls": {"timeout_ms": -1}})");
    daemon = Run({DATASYNCD_PATH, "--config", config});
    EXPECT_EQ(daemon.exitCode, 2);
    EXPECT_EQ(daemon.err, "datasyncd: " + config +
                              ": device.online: expected a boolean (and 1 more; datasyncd --check-config lists them "
                              "all)\n");
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "state")) << "a folder was created";
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "log"));
}

TEST_F(CommandLine, UsageErrorsExitTwoAndCtlWithoutADaemonSaysWhereItCouldNotConnect) {
    const std::string state = dir.sub("state");
    const struct {
        std::vector<std::string> argv;
        const char* says;
    } usageErrors[] = {{{DATASYNCD_PATH}, ""},
                       {{DATASYNCD_PATH, "--config", "a.json", "--base", "/tmp/x"}, ""},
                       {{DATASYNCCTL_PATH, "--state-dir", state, "notify", "6", "0", "--payload", "{broken"},
                        "--payload is not valid JSON"},
                       {{DATASYNCCTL_PATH, "--state-dir", state, "command", "run", "x", "--field", "novalue"},
                        "NAME=VALUE"}};
    for (const auto& usage : usageErrors) {
        const Finished run = Run(usage.argv);
        EXPECT_EQ(run.exitCode, 2) << usage.argv[0] << " ... " << usage.argv.back();
        EXPECT_NE(run.err.find(usage.says), std::string::npos) << run.err;
    }
    const Finished status = Run({DATASYNCCTL_PATH, "--state-dir", state, "status"});
    EXPECT_EQ(status.exitCode, 1);
    EXPECT_NE(status.err.find("cannot connect to " + state + "control.sock: "), std::string::npos) << status.err;
    EXPECT_EQ(status.out, "");
}

}  // namespace
