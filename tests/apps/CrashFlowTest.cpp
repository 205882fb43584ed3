// Crash recovery end to end: datasyncd uploads near-real-time datasets (KTA+NAVS, all three
// families), a scheduled one (NAVP) and the device context to the collector over mutual TLS while
// rows are written without pause and the collector fails a share of requests (503, dropped
// connections, slow answers). It is killed with SIGKILL at seeded random moments and started
// again. Then every row has reached every family of its dataset, and each family accepted at
// most one batch again per kill: duplicates(family) <= kills x 10. DATASYNC_CRASH_SEED=<n>
// repeats a run's moments. Sanitizer builds (slower daemons) kill fewer times.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <random>

#include "DaemonFlowFixture.h"
#include "datasyncctl/RowStream.h"

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
constexpr long long kLongestLifeMs = 1500;  // a daemon lives up to this long after it answers
const char* const kDeviceId = "crash-device-0001";

class CrashFlow : public appstest::DaemonFlow {
protected:
    // Rows written but not accepted yet.
    std::string Missing() {
        std::string error, text;
        EXPECT_TRUE(m_tally.Poll(error)) << error;
        m_tally.Missing(m_datasets, m_rows->Written(), text);
        return text;
    }

    std::vector<DemoDataset> m_datasets;
    std::unique_ptr<RowStream> m_rows;
};

TEST_F(CrashFlow, KilledAtRandomMomentsTheDaemonLosesNoRowAndResendsAtMostOneBatchPerKill) {
    const char* given = std::getenv("DATASYNC_CRASH_SEED");
    const unsigned long long seed = given != nullptr ? std::strtoull(given, nullptr, 10) : std::random_device{}();
    std::printf("[   INFO   ] seed %llu\n", seed);
    m_datasets = DemoDatasets(0, "2s");
    m_datasets.push_back(m_datasets[0]);
    m_datasets.back().id = "C4A5B0B2-0000-4000-8000-00000000C401";
    m_datasets.back().name = "CrashMixedEvent";
    m_datasets.back().syncEPs = "KTA,NAVS,NAVP";
    m_datasets.back().families = {"kta", "navs", "navp"};
    ASSERT_NO_FATAL_FAILURE(Lay(kDeviceId, m_datasets,
                                {"all=503:share=6", "all=drop:share=6", "all=200:delay=500:share=15"}, {},
                                {"--seed", std::to_string(seed)}));
    TelemetryRowWriter(m_layout.serviceDir + m_datasets[2].DatabaseFile(), "DeviceContext")
        .Insert(DeviceContextJson(kDeviceId, m_contextId));
    m_rows = std::make_unique<RowStream>(m_layout.serviceDir, m_datasets, m_contextId, milliseconds(300));
    m_rows->Start();

    std::mt19937_64 random(seed);
    for (int kill = 1; kill <= kKills; ++kill) {
        ASSERT_NO_FATAL_FAILURE(StartDaemon("datasyncd-" + std::to_string(kill)));
        const long long life = std::uniform_int_distribution<long long>(0, kLongestLifeMs)(random);
        std::this_thread::sleep_for(milliseconds(life));  // the moment of the kill, not a wait for state
        ASSERT_TRUE(m_daemon->Running()) << m_daemon->ExitDescription() << AgentErrors();
        ::kill(m_daemon->Pid(), SIGKILL);
        ASSERT_TRUE(Poll([&] { return !m_daemon->Running(); }, seconds(10)));
        std::printf("[   INFO   ] kill %d after %lld ms; to arrive:%s\n", kill, life, Missing().c_str());
    }
    ASSERT_EQ(m_rows->Stop(), "");

    // The last run without faults: a 503's back-off (a minute or more) would outlast the test.
    const std::string records = ReadTextFile(m_layout.recordFile);
    const auto answers = [&](const std::string& status) {
        int count = 0;
        for (size_t at = records.find(status); at != std::string::npos; at = records.find(status, at + 1)) ++count;
        return count;
    };
    ASSERT_NO_FATAL_FAILURE(StartCollector());
    ASSERT_NO_FATAL_FAILURE(StartDaemon("datasyncd-last"));
    EXPECT_TRUE(Poll([&] { return Missing().empty() || !m_daemon->Running(); }, seconds(60)))
        << "missing:" << Missing() << Status().toStyledString() << AgentErrors();
    EXPECT_EQ(Missing(), "");
    EXPECT_EQ(m_daemon->Stop(seconds(15)), "") << ReadTextFile(m_daemon->ErrFile());
    Missing();
    std::printf("[   INFO   ] %d rows per item dataset; %d answers dropped, %d 503; rows accepted twice: kta %d, "
                "navs %d, navp %d\n",
                m_rows->Written(), answers("\"status\":0,"), answers("\"status\":503,"), m_tally.Duplicates("kta"),
                m_tally.Duplicates("navs"), m_tally.Duplicates("navp"));
    for (const char* family : {"kta", "navs", "navp"})
        EXPECT_LE(m_tally.Duplicates(family), kKills * kBatch) << family << " resent more than one batch per kill";
}

}  // namespace
