// The daemon as systemd and a fleet's monitoring see it, end to end: the notify messages it
// sends to a test NOTIFY_SOCKET (ready only once its control socket answers, watchdog pings,
// stopping), and the metrics that move with uploads and failures against the real collector,
// in `datasyncctl metrics` and in the metrics_textfile, checked by promtool.
#include <gtest/gtest.h>
#include <json/json.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "DaemonFlowFixture.h"
#include "LineClient.h"
#include "NotifySocket.h"

namespace {

using namespace datasyncctl;
using appstest::Poll;
using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(SystemdService, ReadyOnceTheControlSocketAnswersThenWatchdogPingsThenStopping) {
    testsupport::TempDir dir;
    appstest::NotifySocket notify;
    ASSERT_TRUE(notify.Bound());
    const std::string socketPath = dir.path() + "base/state/control.sock";
    ::setenv("NOTIFY_SOCKET", notify.Name().c_str(), 1);
    ::setenv("WATCHDOG_USEC", "60000000", 1);
    DemoProcess daemon("datasyncd", {DATASYNCD_PATH, "--base", dir.path() + "base/"}, dir.path() + "d.out",
                       dir.path() + "d.err");
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");

    const std::optional<std::string> ready = notify.Next(seconds(30));
    ASSERT_TRUE(ready.has_value()) << "no READY=1 within 30 s: " << ReadTextFile(daemon.ErrFile());
    EXPECT_EQ(ready->rfind("READY=1\n", 0), 0u) << *ready;
    // Asked once, without waiting for the daemon to come up: it must answer at once.
    appstest::LineClient client;
    ASSERT_TRUE(client.Connect(socketPath) && client.Send("{\"cmd\":\"status\"}\n"));
    const std::optional<std::string> status = client.ReadLine(seconds(5));
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(status->find("\"started\":true"), std::string::npos) << *status;

    // The agent's timer pass feeds the watchdog every 2 s while the worker loops.
    for (int ping = 0; ping < 2; ++ping) EXPECT_EQ(notify.Next(seconds(10)), "WATCHDOG=1") << "ping " << ping;

    EXPECT_EQ(daemon.Stop(seconds(10)), "") << ReadTextFile(daemon.ErrFile());
    std::vector<std::string> rest;
    while (const auto message = notify.Next()) rest.push_back(*message);
    ASSERT_FALSE(rest.empty());
    EXPECT_EQ(rest.back(), "STOPPING=1\nSTATUS=stopping");
    for (std::size_t i = 0; i + 1 < rest.size(); ++i) EXPECT_EQ(rest[i], "WATCHDOG=1");
}

constexpr int kRows = 10;  // one batch: the counts, not the batching, matter here
const char* const kDeviceId = "metrics-device-0001";

// A sample's value from Prometheus text, e.g. Sample(text, "datasync_rows_pending{family=\"kta\"}");
// -1 when the sample is absent.
double Sample(const std::string& text, const std::string& series) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(series + " ", 0) == 0) return std::atof(line.c_str() + series.size() + 1);
    return -1;
}

class MetricsFlow : public appstest::DaemonFlow {};

TEST_F(MetricsFlow, CountersMoveWithUploadsAndFailuresAndTheTextfileMatchesThePrometheusFormat) {
    const std::vector<DemoDataset> demo = DemoDatasets(kRows, "5s");
    const DemoDataset& live = demo[0];  // near-real-time, KTA and NAVS
    const std::string textfile = m_layout.base + "metrics/datasync.prom";
    ASSERT_NO_FATAL_FAILURE(Lay(kDeviceId, {live, demo[2]}, {"kta=503", "navp=400"},
                                [&](Json::Value& config) { config["metrics_textfile"] = textfile; }));
    MakeFolders(m_layout.base + "metrics/");
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    TelemetryRowWriter(m_layout.serviceDir + demo[2].DatabaseFile(), "DeviceContext")
        .Insert(DeviceContextJson(kDeviceId, m_contextId));
    {
        TelemetryRowWriter rows(m_layout.serviceDir + live.DatabaseFile(), "ItemEvent");
        for (int n = 1; n <= kRows; ++n)
            rows.Insert(ItemEventJson(live.id, live.name, live.ItemId(n), m_contextId, n));
    }

    // NAVS accepts every row and the device context; KTA answers 503, NAVP 400 (the context).
    std::string text;
    const std::string navsRows = "datasync_rows_accepted_total{family=\"navs\"}";
    const std::string kta5xx = "datasync_upload_failures_total{family=\"kta\",class=\"http_5xx\"}";
    const std::string navp4xx = "datasync_upload_failures_total{family=\"navp\",class=\"http_4xx\"}";
    EXPECT_TRUE(Poll(
        [&] {
            text = Ctl({"metrics"}).out;
            return Sample(text, navsRows) >= kRows + 1 && Sample(text, kta5xx) >= 1 &&
                   Sample(text, navp4xx) >= 1;
        },
        seconds(60)))
        << text << AgentErrors();
    EXPECT_EQ(Sample(text, navsRows), kRows + 1);
    EXPECT_EQ(Sample(text, "datasync_rows_accepted_total{family=\"kta\"}"), 0);
    EXPECT_EQ(Sample(text, "datasync_rows_pending{family=\"kta\"}"), kRows);
    EXPECT_EQ(Sample(text, "datasync_rows_pending{family=\"navs\"}"), 0);
    EXPECT_EQ(Sample(text, "datasync_backoff_active{family=\"kta\"}"), 1);
    EXPECT_GE(Sample(text, "datasync_last_accepted_batch_age_seconds{family=\"navs\"}"), 0);
    EXPECT_EQ(Sample(text, "datasync_last_accepted_batch_age_seconds{family=\"kta\"}"), -1);
    EXPECT_EQ(Sample(text, "datasync_databases_watched"), 3);  // the live dataset's three record kinds

    // The file is written as the daemon starts, then every 15 s: one started again counts KTA's
    // rows pending in a new file.
    EXPECT_EQ(m_daemon->Stop(seconds(15)), "") << ReadTextFile(m_daemon->ErrFile());
    ASSERT_EQ(std::remove(textfile.c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(StartDaemon("datasyncd-again"));
    const std::string pendingKta = "datasync_rows_pending{family=\"kta\"}";
    EXPECT_TRUE(Poll([&] { return Sample(ReadTextFile(textfile), pendingKta) == kRows; }, seconds(5)))
        << ReadTextFile(textfile);
    struct stat info {};
    ASSERT_EQ(::stat(textfile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u) << "node_exporter reads it as another user";
    EXPECT_NE(::access((textfile + ".tmp").c_str(), F_OK), 0) << "temporary file left behind";

    // promtool: installed, or unpacked into the build folder by `make test` (exit 77: neither).
    const appstest::Finished promtool = appstest::Run(
        {"/bin/sh", "-c",
         "p=$(command -v promtool || echo '" PROMTOOL_UNPACKED "'); [ -x \"$p\" ] || exit 77; "
         "\"$p\" check metrics < '" + textfile + "'"},
        m_dir.path());
    if (promtool.exitCode == 77) {
        std::printf("[   INFO   ] no promtool (Debian package prometheus): the format is not checked\n");
    } else {
        EXPECT_EQ(promtool.exitCode, 0) << promtool.out << promtool.err;
        EXPECT_EQ(promtool.out + promtool.err, "") << "promtool lint findings";
    }
    EXPECT_EQ(m_daemon->Stop(seconds(15)), "") << ReadTextFile(m_daemon->ErrFile());
    if (::testing::Test::HasFailure()) std::printf("%s", text.c_str());
}

}  // namespace
