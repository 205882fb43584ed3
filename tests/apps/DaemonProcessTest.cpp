// The daemon in a child process as a user, systemd and a fleet's monitoring see it.
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "DaemonFlowFixture.h"
#include "NotifySocket.h"

namespace {

using namespace appstest;

constexpr seconds kStopDeadline{5};

class DaemonProcess : public DaemonFlow {
protected:
    const std::string m_base = m_layout.base, m_state = m_layout.stateDir;
};

TEST_F(DaemonProcess, TellsSystemdItIsReadyServesStatusAndSetRefusesASecondDaemonAndStopsQuietlyOnSigint) {
    NotifySocket notify;
    ::setenv("NOTIFY_SOCKET", notify.Name().c_str(), 1);
    ::setenv("WATCHDOG_USEC", "60000000", 1);
    m_daemon = std::make_unique<DemoProcess>("datasyncd", std::vector<std::string>{DATASYNCD_PATH, "--base", m_base},
                                             m_dir.path() + "d.out", m_dir.path() + "d.err");
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ASSERT_EQ(notify.Next(seconds(30)).value_or("").rfind("READY=1\n", 0), 0u) << ReadTextFile(m_daemon->ErrFile());
    // Ready only once the control socket answers: asked once, without waiting, it must answer.
    LineClient client;
    ASSERT_TRUE(client.Connect(m_state + "control.sock") && client.Send("{\"cmd\":\"status\"}\n"));
    EXPECT_NE(client.ReadLine(seconds(5)).value_or("").find("\"started\":true"), std::string::npos);

    const Json::Value answer = ParseJson(Ctl({"status", "--json"}).out);
    const Json::Value& status = answer["status"];
    EXPECT_TRUE(status["agent"]["full_init_done"].asBool()) << answer;

    // The answer comes after the bus delivered: the very next status shows the change.
    EXPECT_NE(CtlOk({"set", "device.online", "false"}).find("published topic 6 state 41"), std::string::npos);
    EXPECT_FALSE(Status()["agent"]["online"].asBool());

    const Finished second = appstest::Run({DATASYNCD_PATH, "--base", m_base}, m_dir.path(), seconds(20));
    EXPECT_EQ(second.exitCode, 1) << "the second daemon did not give up" << second.err;
    CtlOk({"status"});  // the first keeps serving

    // It stops cleanly and quietly on SIGINT (a sanitizer build reports its findings on stderr
    // and in the exit status), and says so to systemd last.
    ::kill(m_daemon->Pid(), SIGINT);
    ASSERT_TRUE(WaitExit(*m_daemon, kStopDeadline)) << "still running 5 s after SIGINT";
    EXPECT_EQ(m_daemon->ExitDescription(), "exited with status 0");
    EXPECT_EQ(ReadTextFile(m_daemon->ErrFile()), "");
    std::string last;
    while (const auto message = notify.Next()) last = *message;
    EXPECT_EQ(last, "STOPPING=1\nSTATUS=stopping");
}

TEST_F(DaemonProcess, ConfigFileFoldersAreRelativeToItAndTheDeviceStartsAsConfigured) {
    const std::string etc = m_dir.sub("etc");
    std::ofstream(etc + "policy.json") << R"({"telemetry_scope": "full"})";
    std::ofstream(etc + "host.json") << R"({"service_db_dir": "../db", "shared_db_dir": "../shared",
        "local_db_dir": "../local", "log_dir": "../log", "state_dir": "../state", "policy_file": "policy.json",
        "device": {"online": false, "id": "dev-cfg", "attributes": {"model": "X1"}}})";
    ASSERT_NO_FATAL_FAILURE(StartDaemon({"--config", etc + "host.json"}));
    const Json::Value status = ParseJson(m_up);
    EXPECT_EQ(status["host"]["folders"]["service_db_dir"].asString(), m_layout.serviceDir) << m_up;
    EXPECT_EQ(status["host"]["device"]["id"].asString(), "dev-cfg");
    EXPECT_FALSE(status["status"]["agent"]["online"].asBool()) << "an offline device is announced as ready";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(etc), std::filesystem::directory_iterator()), 2)
        << "with a config of its own the daemon writes nothing next to it";
    EXPECT_EQ(m_daemon->Stop(kStopDeadline), "") << ReadTextFile(m_daemon->ErrFile());
    EXPECT_EQ(ReadTextFile(m_daemon->ErrFile()), "");
    EXPECT_NE(::access((m_state + "control.sock").c_str(), F_OK), 0) << "control.sock left behind";
}

TEST_F(DaemonProcess, SighupReReadsThePolicyAndNeverStopsTheDaemon) {
    ASSERT_NO_FATAL_FAILURE(StartDaemon({"--base", m_base}));
    std::string policy = ReadTextFile(m_layout.policyFile);
    policy.replace(policy.find("8443/navp"), 9, "8443/navp-reloaded");
    WriteTextFile(m_layout.policyFile, policy, 0644);
    ::kill(m_daemon->Pid(), SIGHUP);
    const std::string reloaded = "https://127.0.0.1:8443/navp-reloaded";
    EXPECT_TRUE(Poll([&] { return !m_daemon->Running() || Status()["families"]["NAVP"]["url"] == reloaded; },
                     seconds(20)));
    EXPECT_TRUE(m_daemon->Running()) << m_daemon->ExitDescription() << ReadTextFile(m_daemon->ErrFile());
}

TEST_F(DaemonProcess, AddDeviceContextRefusesARecordThatDoesNotExist) {
    ASSERT_NO_FATAL_FAILURE(StartDaemon({"--base", m_base}));
    const std::string file = m_layout.serviceDir + "DeviceContext.sqlite3";
    for (const bool written : {false, true}) {
        if (written) WriteRows(DemoDatasets(1, "5s")[2], 1, 1);
        for (const auto& [id, code] : {std::pair{"1", written ? 0 : 1}, {"2", 1}}) {
            const Finished run = Ctl({"add-device-context", id});
            EXPECT_EQ(run.exitCode, code) << id << ": " << run.out << run.err;
            const std::string refusal = std::string("record ") + id + " in " + file;
            EXPECT_TRUE(code == 0 || run.err.find(refusal) != std::string::npos) << run.err;
        }
    }
}

constexpr int kRows = 10;  // one batch: the counts, not the batching, matter here

// A sample's value from Prometheus text, e.g. Sample(text, "datasync_rows_pending{family=\"kta\"}");
// -1 when the sample is absent.
double Sample(const std::string& text, const std::string& series) {
    for (const std::string& line : Lines(text))
        if (line.rfind(series + " ", 0) == 0) return std::atof(line.c_str() + series.size() + 1);
    return -1;
}

class MetricsFlow : public DaemonFlow {};

TEST_F(MetricsFlow, CountersMoveWithUploadsAndFailuresAndTheTextfileMatchesThePrometheusFormat) {
    const std::vector<DemoDataset> demo = DemoDatasets(kRows, "5s");
    const std::string textfile = m_layout.base + "metrics/datasync.prom";
    ASSERT_NO_FATAL_FAILURE(Lay({demo[0], demo[2]}, {"kta=503", "navp=400"},
                                [&](Json::Value& config) { config["metrics_textfile"] = textfile; }));
    MakeFolders(m_layout.base + "metrics/");
    WriteRows(demo[2], 1, 1);
    WriteRows(demo[0], 1, kRows);
    ASSERT_NO_FATAL_FAILURE(StartDaemon());

    // NAVS accepts every row and the device context; KTA answers 503, NAVP 400 (the context).
    std::string text;
    const std::string navsRows = "datasync_rows_accepted_total{family=\"navs\"}";
    const std::string pendingKta = "datasync_rows_pending{family=\"kta\"}";
    EXPECT_TRUE(Poll([&] {
        return Sample(text = CtlOk({"metrics"}), navsRows) >= kRows + 1 &&
               Sample(text, "datasync_upload_failures_total{family=\"kta\",class=\"http_5xx\"}") >= 1 &&
               Sample(text, "datasync_upload_failures_total{family=\"navp\",class=\"http_4xx\"}") >= 1;
    }, seconds(60))) << text << AgentErrors();
    EXPECT_EQ(Sample(text, navsRows), kRows + 1) << text;
    EXPECT_EQ(Sample(text, pendingKta), kRows);

    // The file is written as the daemon starts (KTA's rows are pending all along), then every 15 s.
    EXPECT_TRUE(Poll([&] { return Sample(ReadTextFile(textfile), pendingKta) == kRows; }, seconds(5))) << textfile;
    struct stat info {};
    ASSERT_EQ(::stat(textfile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u) << "node_exporter reads it as another user";
    EXPECT_NE(::access((textfile + ".tmp").c_str(), F_OK), 0) << "temporary file left behind";

    // promtool: installed, or unpacked into the build folder by `make test` (exit 77: neither).
    const Finished promtool = appstest::Run({"/bin/sh", "-c", "p=$(command -v promtool || echo '" PROMTOOL_UNPACKED
                                             "'); [ -x \"$p\" ] || exit 77; \"$p\" check metrics < '" + textfile + "'"},
                                            m_dir.path());
    if (promtool.exitCode == 77) std::printf("[   INFO   ] no promtool (Debian package prometheus): format not checked\n");
    else EXPECT_EQ(std::to_string(promtool.exitCode) + promtool.out + promtool.err, "0") << "promtool lint findings";
    StopDaemon();
    EXPECT_NE(::access(textfile.c_str(), F_OK), 0) << "a stopped daemon's metrics file outlived it";
}

}  // namespace
