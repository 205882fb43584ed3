// Crash recovery end to end: the real datasyncd uploads four datasets (near-real-time ones for
// KTA and NAVS and for all three families, a scheduled one for NAVP, the device context) to the
// real datasync-collector over mutual TLS while rows are written without pause and the collector
// fails a share of requests (503, dropped connections, slow answers). The daemon is killed with
// SIGKILL at random moments and started again each time. In the end every row has been accepted
// by every family its dataset names, and no family accepted more rows twice than one batch per
// kill: duplicates(family) <= kills x 10.
//
// The moments come from a seed, printed; DATASYNC_CRASH_SEED=<n> repeats a run's kill moments
// (and the collector's picks of faulty requests, though their order follows the daemon).
// Sanitizer builds run slower daemons and kill fewer times.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DaemonFlowFixture.h"

namespace {

using namespace datasyncctl;
using appstest::Poll;
using std::chrono::milliseconds;
using std::chrono::seconds;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kKills = 3;
#else
constexpr int kKills = 10;
#endif
constexpr int kBatch = 10;                  // item rows in one upload body at most
constexpr milliseconds kRowPace{300};       // one row per item dataset this often
constexpr milliseconds kLongestLife{3500};  // a daemon lives up to this long after it answers
const char* const kDeviceId = "crash-device-0001";
const std::vector<std::string> kFaults{"all=503:share=6", "all=drop:share=6", "all=200:delay=500:share=15"};

class CrashFlow : public appstest::DaemonFlow {
protected:
    void SetUp() override {
        const char* given = std::getenv("DATASYNC_CRASH_SEED");
        m_seed = given != nullptr ? std::strtoull(given, nullptr, 10) : std::random_device{}();
        std::printf("[   INFO   ] seed %llu (DATASYNC_CRASH_SEED=%llu repeats it)\n", m_seed, m_seed);
        for (const std::string& folder : {m_layout.pkiDir, m_layout.collectorDir, m_layout.serviceDir})
            MakeFolders(folder);
        m_pki = GenerateDemoPki(m_layout.pkiDir, kDeviceId);
        m_datasets = DemoDatasets(0, "5s");
        DemoDataset mixed = m_datasets[0];
        mixed.id = "C4A5B0B2-0000-4000-8000-00000000C401";
        mixed.name = "CrashMixedEvent";
        mixed.syncEPs = "KTA,NAVS,NAVP";
        mixed.families = {"kta", "navs", "navp"};
        m_datasets.push_back(mixed);
        ASSERT_NO_FATAL_FAILURE(StartCollector(kFaults, {"--seed", std::to_string(m_seed)}));
        WriteTextFile(m_layout.policyFile, PolicyText(m_datasets, m_port), 0644);
        Json::Value config;
        std::istringstream(HostConfigText(m_layout, m_pki, kDeviceId)) >> config;
        config["logon_user"] = "";
        WriteTextFile(m_layout.hostConfig, config.toStyledString(), 0600);
        TelemetryRowWriter(m_layout.serviceDir + DemoDatasets(1, "5s")[2].DatabaseFile(), "DeviceContext")
            .Insert(DeviceContextJson(kDeviceId, m_contextId));
    }

    void TearDown() override { StopWriter(); }

    // Writes one row to each item dataset every kRowPace until StopWriter.
    void StartWriter() {
        m_writing = true;
        m_writer = std::thread([this] {
            try {
                std::vector<std::unique_ptr<TelemetryRowWriter>> writers;
                for (const DemoDataset& dataset : m_datasets)
                    writers.push_back(dataset.deviceContext ? nullptr
                                                            : std::make_unique<TelemetryRowWriter>(
                                                                  m_layout.serviceDir + dataset.DatabaseFile(), "ItemEvent"));
                for (int n = 1; m_writing; ++n) {
                    for (size_t i = 0; i < m_datasets.size(); ++i)
                        if (writers[i]) {
                            const DemoDataset& dataset = m_datasets[i];
                            writers[i]->Insert(ItemEventJson(dataset.id, dataset.name, dataset.ItemId(n), m_contextId, n));
                        }
                    m_written = n;
                    std::this_thread::sleep_for(kRowPace);
                }
            } catch (const std::exception& error) {
                m_writerError = error.what();
            }
        });
    }

    void StopWriter() {
        m_writing = false;
        if (m_writer.joinable()) m_writer.join();
    }

    // Rows written but not accepted yet, e.g. " navp DemoScheduledEvent 40/60;".
    std::string Missing() {
        std::string error;
        EXPECT_TRUE(m_tally.Poll(error)) << error;
        std::string missing;
        for (const DemoDataset& dataset : m_datasets)
            for (const std::string& family : dataset.families) {
                const int got = dataset.deviceContext ? (m_tally.DeviceContextAccepted(family) ? 1 : 0)
                                                      : m_tally.Accepted(family, dataset.id);
                const int rows = dataset.deviceContext ? 1 : m_written.load();
                if (got < rows)
                    missing += " " + family + " " + dataset.name + " " + std::to_string(got) + "/" +
                               std::to_string(rows) + ";";
            }
        return missing;
    }

    // Answers the collector recorded, per status ("200", "503", "0" for dropped).
    std::string AnswersByStatus() const {
        std::map<int, int> counts;
        for (const std::string& line : appstest::Lines(ReadTextFile(m_layout.recordFile))) {
            Json::Value record;
            if (std::istringstream(line) >> record) ++counts[record["status"].asInt()];
        }
        std::string text;
        for (const auto& [status, count] : counts) text += " " + std::to_string(status) + ":" + std::to_string(count);
        return text;
    }

    unsigned long long m_seed = 0;
    std::vector<DemoDataset> m_datasets;
    std::thread m_writer;
    std::atomic<bool> m_writing{false};
    std::atomic<int> m_written{0};  // rows in each item dataset
    std::string m_writerError;      // written by the writer thread before it ends
};

TEST_F(CrashFlow, KilledAtRandomMomentsTheDaemonLosesNoRowAndResendsAtMostOneBatchPerKill) {
    std::mt19937_64 random(m_seed);
    ASSERT_NO_FATAL_FAILURE(StartWriter());
    for (int kill = 1; kill <= kKills; ++kill) {
        ASSERT_NO_FATAL_FAILURE(StartDaemon("datasyncd-" + std::to_string(kill)));
        const milliseconds life(std::uniform_int_distribution<long long>(0, kLongestLife.count())(random));
        std::this_thread::sleep_for(life);  // the random moment of the kill, not a wait for state
        ASSERT_TRUE(m_daemon->Running()) << m_daemon->ExitDescription() << ReadTextFile(m_daemon->ErrFile())
                                         << AgentErrors();
        ::kill(m_daemon->Pid(), SIGKILL);
        ASSERT_TRUE(Poll([&] { return !m_daemon->Running(); }, seconds(10)));
        std::printf("[   INFO   ] kill %d after %lld ms; still to arrive:%s\n", kill, static_cast<long long>(life.count()),
                    Missing().c_str());
    }
    StopWriter();
    ASSERT_EQ(m_writerError, "");

    // The last start against a collector without faults: a 503's back-off (a minute or more)
    // would otherwise outlast the test.
    ASSERT_NO_FATAL_FAILURE(StartCollector());
    ASSERT_NO_FATAL_FAILURE(StartDaemon("datasyncd-last"));
    EXPECT_TRUE(Poll([&] { return Missing().empty() || !m_daemon->Running(); }, seconds(60)))
        << "missing:" << Missing() << Status().toStyledString() << AgentErrors();
    EXPECT_EQ(Missing(), "");
    EXPECT_EQ(m_daemon->Stop(seconds(15)), "") << ReadTextFile(m_daemon->ErrFile());

    std::string error;
    ASSERT_TRUE(m_tally.Poll(error)) << error;
    std::printf("[   INFO   ] %d rows per item dataset; answers by status:%s; rows accepted twice: kta %d, navs "
                "%d, navp %d (at most %d each)\n",
                m_written.load(), AnswersByStatus().c_str(), m_tally.Duplicates("kta"), m_tally.Duplicates("navs"),
                m_tally.Duplicates("navp"), kKills * kBatch);
    for (const char* family : {"kta", "navs", "navp"})
        EXPECT_LE(m_tally.Duplicates(family), kKills * kBatch) << family << " resent more than one batch per kill";
    EXPECT_EQ(m_tally.UnreadableLines(), 0);
}

}  // namespace
