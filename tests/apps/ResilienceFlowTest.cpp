// Resilience end to end: the real datasyncd against the real datasync-collector over mutual TLS
// on loopback, driven into each state by the collector's faults, by clock steps, a renewed
// certificate and a realm change. No row is lost in any of them.
#include "DaemonFlowFixture.h"
#include "NotifySocket.h"
#include "support/TelemetryWriter.h"

namespace {

using namespace appstest;

constexpr int kRows = 30;

class ResilienceFlow : public DaemonFlow {
protected:
    // The live dataset for `syncEPs`, the device context for `contextSyncEPs`, the collector with
    // `faults`, the daemon and the rows; with `afterRegistration` the rows only once the agent
    // handled the registration announced at start (handled later, it would lift a 403 block).
    void Start(const std::string& syncEPs, const std::vector<std::string>& faults,
               const std::string& contextSyncEPs = "NAVP", bool afterRegistration = false) {
        const std::vector<DemoDataset> demo = DemoDatasets(kRows, "5s");
        m_live = demo[0];
        m_live.syncEPs = syncEPs;
        DemoDataset context = demo[2];
        context.syncEPs = contextSyncEPs;
        ASSERT_NO_FATAL_FAILURE(Lay({m_live, context}, faults));
        ASSERT_NO_FATAL_FAILURE(StartDaemon());
        ASSERT_TRUE(!afterRegistration || Poll([&] { return LogLines("DEVICE_REGISTRATION!") > 0; }, seconds(15)))
            << AgentErrors();
        WriteRows(context, 1, 1);
        WriteRows(m_live, 1, kRows);
    }

    int Accepted(const std::string& family) { return DaemonFlow::Accepted(family, m_live.id); }
    bool AllAccepted(const std::vector<std::string>& families) {
        const auto all = [&] {
            return std::all_of(families.begin(), families.end(),
                               [&](auto& f) { return Accepted(f) >= kRows; });
        };
        return Poll(all, seconds(30));
    }
    std::string Progress() {
        return " kta " + std::to_string(Accepted("kta")) + ", navs " + std::to_string(Accepted("navs")) +
               Status().toStyledString() + AgentErrors();
    }

    DemoDataset m_live;
};

// One 403 "DeviceMissing" from the real collector sets the block, and a registration (notification
// topic 2, state 0) lifts it. That the block holds KTA and NAVS back and asks once for renewal is
// DeviceMissingTest's (tests/datasync/resilience).
TEST_F(ResilienceFlow, DeviceMissingBlocksKtaAndNavsUntilRegistrationAndLosesNoRow) {
    ASSERT_NO_FATAL_FAILURE(Start("KTA,NAVS", {"kta=403x1:devicemissing"}, "KTA,NAVS,NAVP", true));
    EXPECT_TRUE(Poll([&] { return Status()["device_missing"]["flag"].asBool(); }, seconds(15))) << Progress();
    CtlOk({"notify", "2", "0"});
    EXPECT_TRUE(AllAccepted({"kta", "navs"})) << Progress();
    StopDaemon();
}

TEST_F(ResilienceFlow, RequestsAnswerWhileAnUploadIsHeldAndItLosesNoRow) {
    ASSERT_NO_FATAL_FAILURE(Start("KTA,NAVS", {"kta=200:delay=2000"}));
    const std::string live = m_layout.serviceDir + m_live.DatabaseFile();
    ASSERT_TRUE(Poll([&] { return Status()["sync_map"][live]["sync_state"].asUInt() == 1; }, seconds(15)))
        << Progress();
    // The collector records a KTA post once it has answered it, 2 s after it came: every answer
    // below that comes before that record came while the upload was held.
    const std::size_t ktaAnswered = Recorded("kta").size();
    for (int n = 0; n < 3; ++n) EXPECT_TRUE(Status()["agent"]["started"].asBool());
    CtlOk({"notify", "2", "0"});
    EXPECT_EQ(Recorded("kta").size(), ktaAnswered) << "an answer waited for the upload on the wire";
    EXPECT_TRUE(AllAccepted({"kta", "navs"})) << Progress();
    StopDaemon();
}

constexpr long kYear = 365 * 24 * 60 * 60;

class ClockFlow : public DaemonFlow {
protected:
    // Writes 10 more rows to the live and the scheduled dataset; true once `families` accepted
    // every row written so far, each once.
    bool WriteAndDeliver(const std::vector<std::string>& families = {"kta", "navs", "navp"}) {
        for (int d = 0; d < 2; ++d) WriteRows(m_datasets[d], m_written + 1, m_written + 10);
        m_written += 10;
        return Poll([&] {
            for (int d = 0; d < 2; ++d)
                for (const std::string& family : families)
                    if (m_datasets[d].Names(family) &&
                        (Accepted(family, m_datasets[d].id) != m_written || m_tally.Duplicates(family) > 0))
                        return false;
            return true;
        }, seconds(30));
    }

    std::vector<DemoDataset> m_datasets = DemoDatasets(0, "2s");
    const std::string m_offset = m_dir.path() + "offset";
    int m_written = 0;
};

TEST_F(ClockFlow, AYearForwardAndBackLosesNoRowHoldsNothingPastItsWindowAndARenewedCertificateIsPresentedAtOnce) {
    // A CA, server and client certificates valid a year either side of the steps.
    const std::string& dir = m_layout.pkiDir;
    const long from = -2 * kYear, to = 2 * kYear;
    MakeFolders(dir);
    m_pki = {dir + "ca.pem", dir + "server.pem", dir + "server-key.pem", dir + "client.pem",
             dir + "client-key.pem"};
    const pki::Issued ca = pki::Issue("Test CA", pki::Role::Authority, nullptr, from, to);
    pki::Write(ca, m_pki.caCert, nullptr);
    pki::Write(pki::Issue("127.0.0.1", pki::Role::Server, &ca, from, to), m_pki.serverCert, &m_pki.serverKey);
    pki::Write(pki::Issue(m_deviceId, pki::Role::Client, &ca, from, to), m_pki.clientCert, &m_pki.clientKey);
    m_datasets[2].syncEPs = "NAVP";
    ASSERT_NO_FATAL_FAILURE(Lay(m_datasets, {"kta=429x1"}));
    ASSERT_NO_FATAL_FAILURE(StartDaemon({}, {{"DATASYNC_WALL_CLOCK_OFFSET_FILE", m_offset}}));
    WriteRows(m_datasets[2], 1, 1);
    ASSERT_TRUE(WriteAndDeliver({"navs", "navp"})) << AgentErrors();
    ASSERT_GT(Status()["backoff"]["KTA"]["wait_left_ms"].asInt64(), 1700000) << "KTA waits out its 429";
    int steps = 0;
    for (const long offset : {kYear, -kYear}) {
        WriteTextFile(m_offset + ".new", std::to_string(offset), 0644);
        ASSERT_EQ(std::rename((m_offset + ".new").c_str(), m_offset.c_str()), 0);
        // The agent restarts on the step, and its full initialisation starts KTA's record afresh.
        EXPECT_TRUE(WriteAndDeliver({"navs", "navp"})) << offset << Status().toStyledString() << AgentErrors();
        EXPECT_EQ(LogLines("System time changed"), ++steps);
    }
    // With its back-off started afresh, KTA gets every row once.
    EXPECT_TRUE(WriteAndDeliver()) << Status().toStyledString() << AgentErrors();

    // Renewed as renewal tools do (written beside, renamed over): the next NAVS request presents it.
    const std::string newKey = m_pki.clientKey + ".new";
    pki::Write(pki::Issue(m_deviceId, pki::Role::Client, &ca, from, to), m_pki.clientCert + ".new", &newKey);
    const size_t before = Recorded("navs", "client_certificate").size();
    ASSERT_EQ(std::rename(newKey.c_str(), m_pki.clientKey.c_str()), 0);
    ASSERT_EQ(std::rename((m_pki.clientCert + ".new").c_str(), m_pki.clientCert.c_str()), 0);
    ASSERT_TRUE(WriteAndDeliver()) << AgentErrors();
    const std::vector<std::string> after = Recorded("navs", "client_certificate");
    ASSERT_GT(after.size(), before);
    for (size_t n = 0; n < after.size(); ++n)
        EXPECT_EQ(after[n] == after[0], n < before) << "request " << n << ": " << after[n] << " first " << after[0];
    EXPECT_NE(after[0], "");
    StopDaemon();
}

class HousekeepingFlow : public DaemonFlow {
protected:
    void WriteDeviceContext(const std::string& realm) {
        Json::Value row = ParseJson(DeviceContextJson(m_deviceId, m_contextId));
        row["device_info"]["device_path"] = "organization\\" + realm;
        TelemetryRowWriter(m_layout.serviceDir + m_context.DatabaseFile(), "DeviceContext").Insert(row.toStyledString());
    }
    int Accepted(const std::string& family) { return DaemonFlow::Accepted(family, m_live.id); }
    std::string PurgeState() { return Status()["purge"]["state"].asString(); }

    const std::vector<DemoDataset> m_demo = DemoDatasets(1, "5s");
    DemoDataset m_live = m_demo[0];
    DemoDataset m_context = m_demo[2];
};

TEST_F(HousekeepingFlow, ARealmChangeBlocksUploadsWithoutStallingUntilThePurgeAndTheResumeAndSendTelemetryResends) {
    m_live.name = "CPUEvent";  // a dataset name the "sendTelemetry" command knows
    m_context.syncEPs = "NAVP";
    // No logged-on user: the shared folder is the service's, and the purge works on it as the service.
    ASSERT_NO_FATAL_FAILURE(Lay({m_live, m_context}, {}, [&](Json::Value& config) {
        config["device"]["realm"] = "new";
        config["logon_user"] = "";
    }));
    WriteDeviceContext("old");
    WriteRows(m_live, 1, 10);
    testsupport::TelemetryWriter(m_layout.serviceDir + m_live.DatabaseFile(), "ItemEvent")
        .Insert(ItemEventJson(m_live.id, m_live.name, m_live.ItemId(99), m_contextId, 99), "yesterday");
    NotifySocket notify;
    ASSERT_NO_FATAL_FAILURE(
        StartDaemon({}, {{"NOTIFY_SOCKET", notify.Name()}, {"WATCHDOG_USEC", "30000000"}}));
    EXPECT_EQ(PurgeState(), "pending") << Status()["purge"].toStyledString() << AgentErrors();
    // Pending for as long as it takes: the worker and the timer go round, and feed the watchdog.
    int feeds = 0;
    for (std::optional<std::string> sent; feeds < 3 && (sent = notify.Next(seconds(15)));)
        feeds += *sent == "WATCHDOG=1" ? 1 : 0;
    EXPECT_EQ(feeds, 3) << "the watchdog went unfed for 15 s" << AgentErrors();
    // Rows logged after the detection second are the new realm's.
    const std::time_t detected = Status()["purge"]["detected_utc"].asInt64();
    ASSERT_TRUE(Poll([&] { return std::time(nullptr) > detected; }, seconds(5)));
    WriteRows(m_live, 11, 12);

    CtlOk({"purge"});
    EXPECT_EQ(PurgeState(), "purged, awaiting resume");
    CtlOk({"resume"});
    EXPECT_EQ(PurgeState(), "normal");

    WriteDeviceContext("new");
    WriteRows(m_live, 13, 15);
    EXPECT_TRUE(Poll([&] { return Accepted("kta") >= 5 && Accepted("navs") >= 5; }, seconds(20)))
        << "kta " << Accepted("kta") << ", navs " << Accepted("navs") << AgentErrors();
    EXPECT_EQ(std::pair(Accepted("kta"), Accepted("navs")), std::pair(5, 5))
        << "rows 11 to 15: none logged before the detection, dated or not";

    // A "sendTelemetry" command sends the newest row of the fully sent dataset again, once.
    ASSERT_EQ(m_tally.Duplicates("kta"), 0);
    CtlOk({"command", "run", "sendTelemetry", "--field", "datasets=CPUEvent"});
    EXPECT_TRUE(Poll([&] { return Accepted("kta") >= 0 && m_tally.Duplicates("kta") >= 1; }, seconds(20)))
        << AgentErrors();
    EXPECT_EQ(m_tally.Duplicates("kta"), 1) << "the newest row, once";
    StopDaemon();
}

TEST_F(HousekeepingFlow, RowsWithoutADeviceContextWaitForItAndStatusAndMetricsSaySo) {
    m_live.syncEPs = "KTA";
    ASSERT_NO_FATAL_FAILURE(Lay({m_live, m_context}));
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    WriteRows(m_live, 1, 5);
    const std::string waiting = "datasync_rows_waiting{family=\"kta\",reason=\"no_device_context\"} 5";
    EXPECT_TRUE(Poll([&] { return CtlOk({"metrics"}).find(waiting) != std::string::npos; }, seconds(20)))
        << CtlOk({"metrics"}) << AgentErrors();
    const std::string status = CtlOk({"status"});
    EXPECT_EQ(status.rfind("Rows waiting: 5", 0), 0u) << status;
    EXPECT_NE(status.find("KTA  " + m_live.name + " (" + m_live.id + "): 5 rows: no device context yet"),
              std::string::npos) << status;

    WriteRows(m_context, 1, 1);
    EXPECT_TRUE(Poll([&] { return Accepted("kta") == 5; }, seconds(20))) << AgentErrors();
    EXPECT_TRUE(Poll([&] { return CtlOk({"metrics"}).find("datasync_rows_waiting{") == std::string::npos; }, seconds(20)));
    EXPECT_EQ(CtlOk({"status"}).rfind("Every row is sent: nothing waits", 0), 0u);
    StopDaemon();
}

}  // namespace
