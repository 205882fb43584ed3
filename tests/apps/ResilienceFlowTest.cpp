// Resilience end to end: the real datasyncd against the real datasync-collector over mutual TLS
// on loopback, driven into each state by the collector's faults. An expired client certificate
// stops KTA and NAVS before anything is sent (NAVP posts without one) and pauses them; one 403
// "DeviceMissing" from KTA blocks KTA and NAVS until registration is done again (notification
// topic 2, state 0) and asks once for renewal; a 429 holds KTA for its 30-minute window while
// NAVS goes on; a 503 holds KTA until its delay has passed or a "resetBackOffState" command lifts
// it. No row is lost in any of them.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DaemonFlowFixture.h"
#include "datasyncctl/BookmarkReader.h"
#include "datasyncctl/Pki.h"

namespace {

using namespace datasyncctl;
using appstest::Poll;
using std::chrono::seconds;

constexpr int kRows = 30;
constexpr long kDay = 24 * 60 * 60;
const char* const kDeviceId = "res-device-0001";

class ResilienceFlow : public appstest::DaemonFlow {
protected:
    // The live dataset for `syncEPs`, the device context for `contextSyncEPs`, the collector with
    // `faults`; the daemon not started yet.
    void Prepare(const std::string& syncEPs, const std::vector<std::string>& families,
                 const std::vector<std::string>& faults, const std::string& contextSyncEPs = "KTA,NAVS,NAVP") {
        MakeFolders(m_layout.pkiDir);
        MakePki();
        const std::vector<DemoDataset> demo = DemoDatasets(kRows, "5s");
        m_live = demo[0];
        m_live.syncEPs = syncEPs;
        m_live.families = families;
        DemoDataset context = demo[2];
        context.syncEPs = contextSyncEPs;
        ASSERT_NO_FATAL_FAILURE(Lay(kDeviceId, {m_live, context}, faults));
    }

    // CA, server and client certificates as the demo's, plus an expired client certificate.
    void MakePki() {
        using pki::Issue;
        using pki::Role;
        const std::string& dir = m_layout.pkiDir;
        const auto ca = Issue("Resilience CA", Role::Authority, nullptr, -kDay, 30 * kDay);
        m_pki = {dir + "ca.pem", dir + "server.pem", dir + "server-key.pem", dir + "client.pem",
                 dir + "client-key.pem"};
        m_expiredCert = dir + "expired.pem";
        m_expiredKey = dir + "expired-key.pem";
        pki::Write(ca, m_pki.caCert, nullptr);
        pki::Write(Issue("127.0.0.1", Role::Server, &ca, -kDay, 30 * kDay), m_pki.serverCert,
                   &m_pki.serverKey);
        pki::Write(Issue(kDeviceId, Role::Client, &ca, -kDay, 30 * kDay), m_pki.clientCert, &m_pki.clientKey);
        pki::Write(Issue(kDeviceId, Role::Client, &ca, -3 * kDay, -kDay), m_expiredCert, &m_expiredKey);
    }

    // With `afterRegistration`, the rows come only once the agent handled the registration the
    // daemon announces at start: one that arrives before full initialisation is handled after a
    // grace wait and would lift a 403 block raised meanwhile.
    void StartDaemonAndWrite(bool afterRegistration = false) {
        ASSERT_NO_FATAL_FAILURE(StartDaemon());
        if (afterRegistration) {
            ASSERT_TRUE(Poll([&] { return LogLines("DEVICE_REGISTRATION!") > 0; }, std::chrono::seconds(15)))
                << AgentErrors();
        }
        TelemetryRowWriter context(m_layout.serviceDir + DemoDatasets(1, "5s")[2].DatabaseFile(),
                                   "DeviceContext");
        context.Insert(DeviceContextJson(kDeviceId, m_contextId));
        TelemetryRowWriter rows(m_layout.serviceDir + m_live.DatabaseFile(), "ItemEvent");
        for (int n = 1; n <= kRows; ++n)
            rows.Insert(ItemEventJson(m_live.id, m_live.name, m_live.ItemId(n), m_contextId, n));
    }

    int Accepted(const std::string& family) {
        std::string error;
        EXPECT_TRUE(m_tally.Poll(error)) << error;
        return m_tally.Accepted(family, m_live.id);
    }

    // `families` accepted no row and their bookmarks have not moved past the first row.
    void ExpectHeldBack(const std::vector<std::string>& families = {"kta", "navs"}) {
        for (const std::string& family : families) {
            EXPECT_EQ(Accepted(family), 0) << family;
            const Bookmark mark =
                ReadBookmark(m_layout.serviceDir + SyncPointFileOf(family), m_live.id, "ItemEvent");
            EXPECT_FALSE(mark.state == Bookmark::State::Found && mark.id > 1)
                << family << " at " << mark.Text();
        }
    }

    // The status of every request the collector answered for `family`, in arrival order.
    std::vector<int> Posts(const std::string& family) const {
        std::vector<int> posts;
        std::istringstream record(ReadTextFile(m_layout.recordFile));
        for (std::string line; std::getline(record, line);) {
            Json::Value entry;
            if ((std::istringstream(line) >> entry) && entry["family"].asString() == family)
                posts.push_back(entry["status"].asInt());
        }
        return posts;
    }

    // True when `families` got no further request within 2 s (a timer pass runs every 2 s).
    bool NoFurtherPost(const std::vector<std::string>& families) const {
        const auto count = [&] {
            std::size_t posts = 0;
            for (const std::string& family : families) posts += Posts(family).size();
            return posts;
        };
        const std::size_t before = count();
        return !Poll([&] { return count() != before; }, seconds(2));
    }

    std::string m_expiredCert;
    std::string m_expiredKey;
    DemoDataset m_live;
};

TEST_F(ResilienceFlow, AnExpiredClientCertificatePausesKtaAndNavsWhileNavpDeliversEveryRow) {
    ASSERT_NO_FATAL_FAILURE(Prepare("KTA,NAVS,NAVP", {"kta", "navs", "navp"}, {}));
    Json::Value config;
    std::istringstream(ReadTextFile(m_layout.hostConfig)) >> config;
    config["tls"]["client_cert"] = m_expiredCert;
    config["tls"]["client_key"] = m_expiredKey;
    WriteTextFile(m_layout.hostConfig, config.toStyledString(), 0600);
    ASSERT_NO_FATAL_FAILURE(StartDaemonAndWrite());

    EXPECT_TRUE(Poll([&] { return Accepted("navp") >= kRows || !m_daemon->Running(); }, seconds(20)))
        << "navp " << Accepted("navp") << "/" << kRows << AgentErrors();
    EXPECT_EQ(Accepted("navp"), kRows);
    EXPECT_TRUE(Poll([&] { return Status()["certificate_pause"]["paused"].asBool(); }, seconds(10)))
        << Status().toStyledString() << AgentErrors();
    ExpectHeldBack();
    EXPECT_EQ(m_daemon->Stop(seconds(15)), "") << ReadTextFile(m_daemon->ErrFile());
}

TEST_F(ResilienceFlow, DeviceMissingBlocksKtaAndNavsUntilRegistrationAndLosesNoRow) {
    ASSERT_NO_FATAL_FAILURE(Prepare("KTA,NAVS", {"kta", "navs"}, {"kta=403x1:devicemissing"}));
    ASSERT_NO_FATAL_FAILURE(StartDaemonAndWrite(/*afterRegistration=*/true));

    EXPECT_TRUE(Poll([&] { return Status()["device_missing"]["flag"].asBool(); }, seconds(15)))
        << Status().toStyledString() << AgentErrors();
    // The collector answers 200 again after that one 403: only the flag holds both families back,
    // and nothing is posted to them meanwhile.
    EXPECT_TRUE(NoFurtherPost({"kta", "navs"}));
    EXPECT_TRUE(Status()["device_missing"]["flag"].asBool());
    ExpectHeldBack();
    EXPECT_EQ(LogLines("Requesting for Registration renewal"), 1) << AgentErrors();

    const appstest::Finished notified = Ctl({"notify", "2", "0"});
    ASSERT_EQ(notified.exitCode, 0) << notified.out << notified.err;
    EXPECT_TRUE(Poll([&] { return Accepted("kta") >= kRows && Accepted("navs") >= kRows; }, seconds(20)))
        << "kta " << Accepted("kta") << ", navs " << Accepted("navs") << Status().toStyledString() << AgentErrors();
    EXPECT_FALSE(Status()["device_missing"]["flag"].asBool());
    EXPECT_EQ(m_daemon->Stop(seconds(15)), "") << ReadTextFile(m_daemon->ErrFile());
}

TEST_F(ResilienceFlow, TooManyRequestsHoldsKtaForItsWindowWhileNavsDeliversAndNoRowIsLost) {
    // The device context goes to NAVP only: every KTA post is one of the live dataset's batches.
    ASSERT_NO_FATAL_FAILURE(Prepare("KTA,NAVS", {"kta", "navs"}, {"kta=429"}, "NAVP"));
    ASSERT_NO_FATAL_FAILURE(StartDaemonAndWrite());

    EXPECT_TRUE(Poll([&] { return Accepted("navs") >= kRows; }, seconds(20)))
        << "navs " << Accepted("navs") << Status().toStyledString() << AgentErrors();
    const Json::Value kta = Status()["backoff"]["KTA"];
    EXPECT_EQ(kta["delay_ms"].asInt64(), 1800000) << kta.toStyledString();
    EXPECT_GT(kta["wait_left_ms"].asInt64(), 1700000);
    EXPECT_EQ(kta["class_counts"][0].asInt(), 1);
    EXPECT_TRUE(kta["sync_allowed"].asBool());
    EXPECT_EQ(Status()["backoff"]["NAVS"]["delay_ms"].asInt64(), 0);
    const appstest::Finished text = Ctl({"status"});
    EXPECT_NE(text.out.find("delay 1800000 ms"), std::string::npos) << text.out;

    // One 429, then silence towards KTA for the window.
    EXPECT_TRUE(NoFurtherPost({"kta"}));
    EXPECT_EQ(Posts("kta"), std::vector<int>{429});
    ExpectHeldBack({"kta"});

    // The server recovers and the agent starts again (the back-off lives in memory): KTA gets
    // every row once.
    EXPECT_EQ(m_daemon->Stop(seconds(15)), "") << ReadTextFile(m_daemon->ErrFile());
    ASSERT_NO_FATAL_FAILURE(StartCollector({}));
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    EXPECT_TRUE(Poll([&] { return Accepted("kta") >= kRows; }, seconds(20)))
        << "kta " << Accepted("kta") << Status().toStyledString() << AgentErrors();
    EXPECT_EQ(m_tally.Duplicates("kta"), 0);
    EXPECT_EQ(m_tally.Duplicates("navs"), 0);
    EXPECT_EQ(m_daemon->Stop(seconds(15)), "") << ReadTextFile(m_daemon->ErrFile());
}

TEST_F(ResilienceFlow, StatusAndControlRequestsAnswerWhileAnUploadIsHeldOnTheWire) {
    ASSERT_NO_FATAL_FAILURE(Prepare("KTA,NAVS", {"kta", "navs"}, {"kta=200:delay=2000"}, "NAVP"));
    ASSERT_NO_FATAL_FAILURE(StartDaemonAndWrite());
    const std::string live = m_layout.serviceDir + m_live.DatabaseFile();
    ASSERT_TRUE(Poll([&] { return Status()["sync_map"][live]["sync_state"].asUInt() == 1; }, seconds(15)))
        << Status().toStyledString() << AgentErrors();

    // The collector records a KTA post once it has answered it, 2 s after it came: every answer
    // below that comes before that record came while the upload was held.
    const std::size_t ktaAnswered = Posts("kta").size();
    for (int n = 0; n < 3; ++n) EXPECT_TRUE(Status()["agent"]["started"].asBool());
    const appstest::Finished notified = Ctl({"notify", "2", "0"});
    EXPECT_EQ(notified.exitCode, 0) << notified.out << notified.err;
    EXPECT_EQ(Posts("kta").size(), ktaAnswered) << "an answer waited for the upload on the wire";

    EXPECT_TRUE(Poll([&] { return Accepted("kta") >= kRows && Accepted("navs") >= kRows; }, seconds(30)))
        << "kta " << Accepted("kta") << ", navs " << Accepted("navs") << AgentErrors();
    EXPECT_EQ(m_daemon->Stop(seconds(15)), "") << ReadTextFile(m_daemon->ErrFile());
}

TEST_F(ResilienceFlow, APolicyRewrittenInPlaceAndATelemetryFileRecreatedLoseNoRow) {
    ASSERT_NO_FATAL_FAILURE(Prepare("KTA,NAVS", {"kta", "navs"}, {"kta=200:delay=500"}, "NAVP"));
    ASSERT_NO_FATAL_FAILURE(StartDaemonAndWrite());
    // An editor that writes in place: the file is half there long enough for the watcher to see
    // it settle, while batches are read and filtered.
    const std::string text = ReadTextFile(m_layout.policyFile);
    {
        std::ofstream policy(m_layout.policyFile, std::ios::trunc);
        policy << text.substr(0, text.size() / 2) << std::flush;
        std::this_thread::sleep_for(seconds(2));
        policy << text.substr(text.size() / 2);
    }
    ASSERT_TRUE(Poll([&] { return Accepted("kta") >= kRows && Accepted("navs") >= kRows; }, seconds(30)))
        << "kta " << Accepted("kta") << ", navs " << Accepted("navs") << Status().toStyledString() << AgentErrors();

    // Deleted and created again, the file is read afresh without a restart: ids start at 1
    // again, below the bookmark.
    const std::string file = m_layout.serviceDir + m_live.DatabaseFile();
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((file + suffix).c_str());
    TelemetryRowWriter rows(file, "ItemEvent");
    for (int n = kRows + 1; n <= kRows + 5; ++n)
        rows.Insert(ItemEventJson(m_live.id, m_live.name, m_live.ItemId(n), m_contextId, n));
    EXPECT_TRUE(Poll([&] { return Accepted("kta") >= kRows + 5 && Accepted("navs") >= kRows + 5; }, seconds(20)))
        << "kta " << Accepted("kta") << ", navs " << Accepted("navs") << Status().toStyledString() << AgentErrors();
    EXPECT_EQ(m_tally.Duplicates("kta"), 0);
    EXPECT_EQ(m_daemon->Stop(seconds(15)), "") << ReadTextFile(m_daemon->ErrFile());
}

// The delay itself is proven on an injected clock by the back-off's own tests; here the 503 holds
// KTA, and the "resetBackOffState" command with no random delay lifts the hold at once.
TEST_F(ResilienceFlow, AServerErrorHoldsKtaUntilTheResetCommandAndEveryRowArrivesOnce) {
    ASSERT_NO_FATAL_FAILURE(Prepare("KTA,NAVS", {"kta", "navs"}, {"kta=503x1"}, "NAVP"));
    ASSERT_NO_FATAL_FAILURE(StartDaemonAndWrite());

    Json::Value kta;
    EXPECT_TRUE(Poll([&] { return (kta = Status()["backoff"]["KTA"])["delay_ms"].asInt64() > 0; }, seconds(20)))
        << Status().toStyledString() << AgentErrors();
    EXPECT_GE(kta["delay_ms"].asInt64(), 60000);
    EXPECT_LE(kta["delay_ms"].asInt64(), 120000);
    EXPECT_EQ(kta["class_counts"][2].asInt(), 1);
    EXPECT_TRUE(Poll([&] { return Accepted("navs") >= kRows; }, seconds(20))) << "navs " << Accepted("navs");
    EXPECT_TRUE(NoFurtherPost({"kta"}));
    EXPECT_EQ(Posts("kta"), std::vector<int>{503});

    const appstest::Finished reset = Ctl({"command", "set", "resetBackOffState", "--field", "randomDelay=0"});
    ASSERT_EQ(reset.exitCode, 0) << reset.out << reset.err;
    EXPECT_TRUE(Poll([&] { return Accepted("kta") >= kRows; }, seconds(20)))
        << "kta " << Accepted("kta") << Status().toStyledString() << AgentErrors();
    EXPECT_EQ(Posts("kta").front(), 503);
    EXPECT_EQ(m_tally.Duplicates("kta"), 0);
    const Json::Value after = Status()["backoff"]["KTA"];
    EXPECT_EQ(after["class_counts"][2].asInt(), 0) << after.toStyledString();
    EXPECT_EQ(after["delay_ms"].asInt64(), 0);
    EXPECT_EQ(m_daemon->Stop(seconds(15)), "") << ReadTextFile(m_daemon->ErrFile());
}

}  // namespace
