// Clock steps and certificate renewal end to end: the real datasyncd against the real
// datasync-collector over mutual TLS. The daemon's wall clock is moved a year forward and a year
// back through its offset file while a 429 holds KTA back and a scheduled dataset runs: the
// daemon notices each step, the agent restarts, and every row reaches every family with the
// schedule following the new clock. A client certificate renewed on disk (new files renamed over
// the old) is presented from the next request on.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include "DaemonFlowFixture.h"
#include "datasyncctl/Pki.h"

namespace {

using namespace datasyncctl;
using appstest::Poll;
using std::chrono::seconds;

constexpr long kDay = 24 * 60 * 60;
constexpr long kYear = 365 * kDay;
const char* const kDeviceId = "clock-device-0001";

std::string SerialOf(const pki::Issued& issued) {
    std::unique_ptr<BIGNUM, decltype(&BN_free)> number(
        ASN1_INTEGER_to_BN(X509_get_serialNumber(issued.cert.get()), nullptr), &BN_free);
    char* hex = BN_bn2hex(number.get());
    const std::string text = hex;
    OPENSSL_free(hex);
    return text;
}

class ClockFlow : public appstest::DaemonFlow {
protected:
    // Client certificates valid a year either side of now; the scheduled dataset every 2 s; the
    // device context to NAVP only, so that every KTA and NAVS post is a live batch.
    void Start(const std::vector<std::string>& faults) {
        for (const std::string& folder : {m_layout.pkiDir, m_layout.collectorDir, m_layout.serviceDir})
            MakeFolders(folder);
        const std::string& dir = m_layout.pkiDir;
        const auto ca = pki::Issue("Clock CA", pki::Role::Authority, nullptr, -2 * kYear, 3 * kYear);
        m_pki = {dir + "ca.pem", dir + "server.pem", dir + "server-key.pem", dir + "client.pem",
                 dir + "client-key.pem"};
        pki::Write(ca, m_pki.caCert, nullptr);
        pki::Write(pki::Issue("127.0.0.1", pki::Role::Server, &ca, -kDay, 30 * kDay), m_pki.serverCert,
                   &m_pki.serverKey);
        for (pki::Issued* client : {&m_client, &m_renewed})
            *client = pki::Issue(kDeviceId, pki::Role::Client, &ca, -2 * kYear, 3 * kYear);
        pki::Write(m_client, m_pki.clientCert, &m_pki.clientKey);
        m_datasets = DemoDatasets(0, "2s");
        m_datasets[2].syncEPs = "NAVP";
        ASSERT_NO_FATAL_FAILURE(StartCollector(faults));
        WriteTextFile(m_layout.policyFile, PolicyText(m_datasets, m_port), 0644);
        Json::Value config;
        std::istringstream(HostConfigText(m_layout, m_pki, kDeviceId)) >> config;
        config["logon_user"] = "";
        WriteTextFile(m_layout.hostConfig, config.toStyledString(), 0600);
        ::setenv("DATASYNC_WALL_CLOCK_OFFSET_FILE", (m_dir.path() + "offset").c_str(), 1);
        ASSERT_NO_FATAL_FAILURE(StartDaemon());
        ::unsetenv("DATASYNC_WALL_CLOCK_OFFSET_FILE");
        TelemetryRowWriter(m_layout.serviceDir + m_datasets[2].DatabaseFile(), "DeviceContext")
            .Insert(DeviceContextJson(kDeviceId, m_contextId));
    }

    // Writes `rows` more rows to the live and the scheduled dataset.
    void Write(int rows) {
        for (int d = 0; d < 2; ++d) {
            TelemetryRowWriter writer(m_layout.serviceDir + m_datasets[d].DatabaseFile(), "ItemEvent");
            for (int n = m_written + 1; n <= m_written + rows; ++n)
                writer.Insert(ItemEventJson(m_datasets[d].id, m_datasets[d].name, m_datasets[d].ItemId(n),
                                            m_contextId, n));
        }
        m_written += rows;
    }

    // Whether `families` (all when empty) accepted every row written so far, each once.
    bool Delivered(const std::vector<std::string>& families = {}) {
        std::string error;
        return Poll(
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

    // The client certificate serials of the collector's KTA and NAVS records, in arrival order.
    std::vector<std::string> PresentedSerials() const {
        std::vector<std::string> serials;
        std::istringstream record(ReadTextFile(m_layout.recordFile));
        for (std::string line; std::getline(record, line);) {
            Json::Value entry;
            if ((std::istringstream(line) >> entry) && entry["family"].asString() != "navp")
                serials.push_back(entry["client_certificate"].asString());
        }
        return serials;
    }

    int m_written = 0;
    std::vector<DemoDataset> m_datasets;
    pki::Issued m_client;
    pki::Issued m_renewed;
};

TEST_F(ClockFlow, AYearForwardAndBackLosesNoRowAndHoldsNothingPastItsWindow) {
    ASSERT_NO_FATAL_FAILURE(Start({"kta=429x1"}));
    Write(10);
    ASSERT_TRUE(Delivered({"navs", "navp"})) << AgentErrors();
    ASSERT_GT(Status()["backoff"]["KTA"]["wait_left_ms"].asInt64(), 1700000) << "KTA waits out its 429";
    int steps = 0;
    for (const long offset : {kYear, -kYear}) {
        const std::string file = m_dir.path() + "offset";
        WriteTextFile(file + ".new", std::to_string(offset), 0644);
        ASSERT_EQ(std::rename((file + ".new").c_str(), file.c_str()), 0);
        // The daemon publishes the step, the agent restarts (its back-off with it) and posts
        // everything: the rows the 429 held back and those written after the step.
        Write(10);
        EXPECT_TRUE(Delivered()) << offset << Status().toStyledString() << AgentErrors();
        std::istringstream log(ReadTextFile(m_layout.logDir + "DataSync.log"));
        int restarts = 0;
        for (std::string line; std::getline(log, line);)
            restarts += line.find("System time changed") != std::string::npos;
        EXPECT_EQ(restarts, ++steps);
        // The schedule follows the new clock: its record was last looked at within seconds of it.
        for (const auto& key : Status()["sync_map"].getMemberNames()) {
            const Json::Value record = Status()["sync_map"][key];
            if (key.find(m_datasets[1].id + "_ItemEvent") == std::string::npos) continue;
            EXPECT_EQ(record["interval"].asInt(), 2);
            EXPECT_NEAR(static_cast<double>(record["last_sync_time"].asInt64()),
                        static_cast<double>(std::time(nullptr) + offset), 10.0)
                << key;
        }
    }
    EXPECT_EQ(m_daemon->Stop(seconds(15)), "") << ReadTextFile(m_daemon->ErrFile());
}

TEST_F(ClockFlow, ARenewedClientCertificateIsPresentedFromTheNextRequest) {
    ASSERT_NO_FATAL_FAILURE(Start({}));
    Write(10);
    ASSERT_TRUE(Delivered()) << AgentErrors();
    const size_t before = PresentedSerials().size();
    ASSERT_GT(before, 0u);
    // As renewal tools do: the new pair written beside the old, then renamed over it.
    const std::string newKey = m_pki.clientKey + ".new";
    pki::Write(m_renewed, m_pki.clientCert + ".new", &newKey);
    ASSERT_EQ(std::rename((m_pki.clientKey + ".new").c_str(), m_pki.clientKey.c_str()), 0);
    ASSERT_EQ(std::rename((m_pki.clientCert + ".new").c_str(), m_pki.clientCert.c_str()), 0);
    Write(10);
    ASSERT_TRUE(Delivered()) << AgentErrors();
    const std::vector<std::string> serials = PresentedSerials();
    for (size_t n = 0; n < serials.size(); ++n)
        EXPECT_EQ(serials[n], n < before ? SerialOf(m_client) : SerialOf(m_renewed)) << "request " << n;
    EXPECT_EQ(m_daemon->Stop(seconds(15)), "") << ReadTextFile(m_daemon->ErrFile());
}

}  // namespace
