// Clock steps and certificate renewal end to end (datasyncd against datasync-collector over
// mutual TLS). The daemon's wall clock moves a year forward and back through its offset file while
// a 429 holds KTA and a scheduled dataset runs: every row reaches every family once and the
// schedule follows the new clock. A client certificate renewed on disk is presented at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "DaemonFlowFixture.h"
#include "datasyncctl/Pki.h"

namespace {

using namespace datasyncctl;
using std::chrono::seconds;

constexpr long kYear = 365 * 24 * 60 * 60;

class ClockFlow : public appstest::DaemonFlow {
protected:
    // Certificates valid a year either side of now; the device context to NAVP only.
    void Start(const std::vector<std::string>& faults) {
        MakeFolders(m_layout.pkiDir);
        const std::string& dir = m_layout.pkiDir;
        m_pki = {dir + "ca.pem", dir + "server.pem", dir + "server-key.pem", dir + "client.pem",
                 dir + "client-key.pem"};
        pki::Write(m_ca, m_pki.caCert, nullptr);
        pki::Write(pki::Issue("127.0.0.1", pki::Role::Server, &m_ca, -kYear, kYear), m_pki.serverCert,
                   &m_pki.serverKey);
        pki::Write(pki::Issue("clock-device", pki::Role::Client, &m_ca, -2 * kYear, 2 * kYear),
                   m_pki.clientCert, &m_pki.clientKey);
        m_datasets[2].syncEPs = "NAVP";
        ASSERT_NO_FATAL_FAILURE(Lay("clock-device", m_datasets, faults));
        ::setenv("DATASYNC_WALL_CLOCK_OFFSET_FILE", (m_dir.path() + "offset").c_str(), 1);
        ASSERT_NO_FATAL_FAILURE(StartDaemon());
        ::unsetenv("DATASYNC_WALL_CLOCK_OFFSET_FILE");
        TelemetryRowWriter(m_layout.serviceDir + m_datasets[2].DatabaseFile(), "DeviceContext")
            .Insert(DeviceContextJson("clock-device", m_contextId));
    }

    // Writes 10 more rows to the live and the scheduled dataset; true once `families` (all when
    // empty) accepted every row written so far, each once.
    bool WriteAndDeliver(const std::vector<std::string>& families = {}) {
        for (int d = 0; d < 2; ++d) {
            TelemetryRowWriter writer(m_layout.serviceDir + m_datasets[d].DatabaseFile(), "ItemEvent");
            for (int n = m_written + 1; n <= m_written + 10; ++n)
                writer.Insert(ItemEventJson(m_datasets[d].id, m_datasets[d].name, m_datasets[d].ItemId(n),
                                            m_contextId, n));
        }
        m_written += 10;
        std::string error;
        return appstest::Poll(
            [&] {
                bool all = m_tally.Poll(error);
                for (int d = 0; d < 2; ++d)
                    for (const std::string& family : m_datasets[d].families)
                        if (families.empty() || std::count(families.begin(), families.end(), family) > 0)
                            all = all && m_tally.Accepted(family, m_datasets[d].id) == m_written &&
                                  m_tally.Duplicates(family) == 0;
                return all;
            },
            seconds(30));
    }

    const pki::Issued m_ca = pki::Issue("Clock CA", pki::Role::Authority, nullptr, -2 * kYear, 3 * kYear);
    std::vector<DemoDataset> m_datasets = DemoDatasets(0, "2s");
    int m_written = 0;
};

TEST_F(ClockFlow, AYearForwardAndBackLosesNoRowAndHoldsNothingPastItsWindow) {
    ASSERT_NO_FATAL_FAILURE(Start({"kta=429x1"}));
    ASSERT_TRUE(WriteAndDeliver({"navs", "navp"})) << AgentErrors();
    ASSERT_GT(Status()["backoff"]["KTA"]["wait_left_ms"].asInt64(), 1700000) << "KTA waits out its 429";
    int steps = 0;
    for (const long offset : {kYear, -kYear}) {
        const std::string file = m_dir.path() + "offset";
        WriteTextFile(file + ".new", std::to_string(offset), 0644);
        ASSERT_EQ(std::rename((file + ".new").c_str(), file.c_str()), 0);
        // The daemon publishes the step and the agent restarts; the 429's window, on the
        // monotonic clock, neither ends nor grows.
        EXPECT_TRUE(WriteAndDeliver({"navs", "navp"}))
            << offset << Status().toStyledString() << AgentErrors();
        const std::int64_t left = Status()["backoff"]["KTA"]["wait_left_ms"].asInt64();
        EXPECT_TRUE(left > 1600000 && left <= 1800000) << left;
        EXPECT_EQ(LogLines("System time changed"), ++steps);
        const Json::Value records = Status()["sync_map"];
        for (const std::string& key : records.getMemberNames()) {
            if (key.find(m_datasets[1].id + "_ItemEvent") == std::string::npos) continue;
            EXPECT_EQ(records[key]["interval"].asInt(), 2);
            EXPECT_NEAR(records[key]["last_sync_time"].asDouble(),
                        static_cast<double>(std::time(nullptr) + offset), 10)
                << key;
        }
    }
    // Nothing was lost: started again (the back-off lives in memory), KTA gets every row once.
    EXPECT_EQ(m_daemon->Stop(seconds(15)), "") << ReadTextFile(m_daemon->ErrFile());
    ASSERT_NO_FATAL_FAILURE(StartCollector({}));
    ::setenv("DATASYNC_WALL_CLOCK_OFFSET_FILE", (m_dir.path() + "offset").c_str(), 1);
    ASSERT_NO_FATAL_FAILURE(StartDaemon("datasyncd2"));
    ::unsetenv("DATASYNC_WALL_CLOCK_OFFSET_FILE");
    EXPECT_TRUE(WriteAndDeliver()) << Status().toStyledString() << AgentErrors();
    EXPECT_EQ(m_daemon->Stop(seconds(15)), "") << ReadTextFile(m_daemon->ErrFile());
}

TEST_F(ClockFlow, ARenewedClientCertificateIsPresentedFromTheNextRequest) {
    // The serials of the client certificates that KTA and NAVS requests presented, in order.
    const auto serials = [this] {
        std::vector<std::string> found;
        std::istringstream record(ReadTextFile(m_layout.recordFile));
        for (std::string line; std::getline(record, line);) {
            Json::Value entry;
            if ((std::istringstream(line) >> entry) && entry["family"].asString() != "navp")
                found.push_back(entry["client_certificate"].asString());
        }
        return found;
    };
    ASSERT_NO_FATAL_FAILURE(Start({}));
    ASSERT_TRUE(WriteAndDeliver()) << AgentErrors();
    // As renewal tools do: the new pair written beside the old, then renamed over it.
    const std::string newKey = m_pki.clientKey + ".new";
    pki::Write(pki::Issue("clock-device", pki::Role::Client, &m_ca, -kYear, kYear), m_pki.clientCert + ".new",
               &newKey);
    const size_t before = serials().size();
    ASSERT_EQ(std::rename(newKey.c_str(), m_pki.clientKey.c_str()), 0);
    ASSERT_EQ(std::rename((m_pki.clientCert + ".new").c_str(), m_pki.clientCert.c_str()), 0);
    ASSERT_TRUE(WriteAndDeliver()) << AgentErrors();
    const std::vector<std::string> after = serials();
    ASSERT_GT(after.size(), before);
    for (size_t n = 0; n < after.size(); ++n)
        EXPECT_EQ(after[n] == after[0], n < before)
            << "request " << n << ": " << after[n] << " first " << after[0];
    EXPECT_NE(after[0], "");
    EXPECT_EQ(m_daemon->Stop(seconds(15)), "") << ReadTextFile(m_daemon->ErrFile());
}

}  // namespace
