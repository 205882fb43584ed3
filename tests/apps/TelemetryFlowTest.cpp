// Telemetry end to end: the real datasyncd uploads to the real datasync-collector over mutual
// TLS on loopback while a second process writes rows in WAL mode. Datasets: near-real-time for
// KTA and NAVS, scheduled (5 s) for NAVP, the device context and, when the test runs as root, a
// near-real-time one in the shared folder, which the agent reads as the logged-on user "nobody".
// Every row must reach each family of its dataset once, at most 10 to a body, the bookmarks must
// end past the last row, and a daemon restarted midway resends at most the batch in flight.
// As root the daemon runs with the packaged unit's capability bounding set and umask, which must
// be enough for all of it (the shared folder as the logged-on user included).
#include <gtest/gtest.h>
#include <json/json.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DaemonFlowFixture.h"
#include "UnitConfinement.h"
#include "datasyncctl/BookmarkReader.h"

namespace {

using namespace datasyncctl;
using appstest::Poll;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kRows = 30;        // per item dataset: three batches per family, one per 2-second pass
constexpr int kBatch = 10;       // item records in one upload body at most
constexpr seconds kArrival{45};  // for every row of a run to arrive
constexpr seconds kStopGrace{15};
const char* const kDeviceId = "e2e-device-0001";
const char* const kSharedName = "SharedLiveEvent";

// The most item records that one accepted body of the collector's record file carried.
int LargestBody(const std::string& recordFile) {
    int largest = 0;
    std::istringstream in(ReadTextFile(recordFile));
    for (std::string line; std::getline(in, line);) {
        Json::Value record;
        std::istringstream(line) >> record;
        const Json::Value& body = record["body"];
        if (record["status"].asInt() != 200 || !body.isObject()) continue;
        int items = static_cast<int>(body["events"].size());  // NAVP
        for (const Json::Value& dataset : body["dataset_items_log"])
            items += static_cast<int>(dataset["item_events_log"].size());
        largest = std::max(largest, items);
    }
    return largest;
}

// The table of a dataset's rows, which is also the record kind of its bookmark.
const char* KindOf(const DemoDataset& dataset) {
    return dataset.deviceContext ? "DeviceContext" : "ItemEvent";
}

class TelemetryFlow : public appstest::DaemonFlow {
protected:
    void SetUp() override {
        // The logged-on user must reach the shared folder inside the test's private folder.
        ASSERT_EQ(::chmod(m_dir.path().c_str(), 0755), 0);
        m_datasets = DemoDatasets(kRows, "2s");
        const bool root = ::geteuid() == 0;
        if (root) {
            DemoDataset shared = m_datasets[0];
            shared.id = "5A4ED0B2-0000-4000-8000-00000000DE03";
            shared.name = kSharedName;
            m_datasets.push_back(shared);
            // The agent reads and bookmarks it as "nobody"; the writer runs as root. SQLite gives
            // the -wal and -shm files the database file's mode.
            MakeFolders(m_layout.sharedDir);
            ASSERT_EQ(::chmod(m_layout.sharedDir.c_str(), 0777), 0);
            const std::string file = m_layout.sharedDir + shared.DatabaseFile();
            const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
            ASSERT_TRUE(fd >= 0 && ::fchmod(fd, 0666) == 0 && ::close(fd) == 0) << file;
            m_daemonWrapper = appstest::WriteUnitConfinementWrapper(UNIT_FILE_PATH, m_dir.path());
        } else {
            std::printf("[   INFO   ] not root: no shared-folder dataset, no confinement\n");
        }
        ASSERT_NO_FATAL_FAILURE(
            Lay(kDeviceId, m_datasets, {}, [&](Json::Value& config) { config["logon_user"] = root ? "nobody" : ""; }));
    }

    void TearDown() override {
        if (m_writer > 0 && ::kill(m_writer, SIGKILL) == 0) ::waitpid(m_writer, nullptr, 0);
    }

    std::string FolderOf(const DemoDataset& dataset) const {
        return dataset.name == kSharedName ? m_layout.sharedDir : m_layout.serviceDir;
    }

    // Forks the writer: the device context, then the item rows of every dataset in turns, one
    // transaction per row, spread over about 1.2 s.
    void StartWriter() {
        m_writer = ::fork();
        ASSERT_GE(m_writer, 0);
        if (m_writer > 0) return;
        int status = 0;
        try {
            std::vector<std::unique_ptr<TelemetryRowWriter>> writers;
            for (const DemoDataset& dataset : m_datasets) {
                writers.push_back(std::make_unique<TelemetryRowWriter>(
                    FolderOf(dataset) + dataset.DatabaseFile(), KindOf(dataset)));
                if (dataset.deviceContext) writers.back()->Insert(DeviceContextJson(kDeviceId, m_contextId));
            }
            for (int n = 1; n <= kRows; ++n) {
                for (size_t i = 0; i < m_datasets.size(); ++i) {
                    const DemoDataset& dataset = m_datasets[i];
                    if (!dataset.deviceContext)
                        writers[i]->Insert(
                            ItemEventJson(dataset.id, dataset.name, dataset.ItemId(n), m_contextId, n));
                }
                std::this_thread::sleep_for(milliseconds(40));
            }
        } catch (const std::exception& error) {
            std::fprintf(stderr, "writer: %s\n", error.what());
            status = 1;
        }
        ::_exit(status);
    }

    // Reads the collector's new records; true when every row reached every family of its dataset.
    bool AllArrived() {
        std::string error;
        if (!m_tally.Poll(error)) throw std::runtime_error(error);
        return Missing().empty();
    }

    // Rows not accepted yet, e.g. " navp DemoScheduledEvent 20/30;".
    std::string Missing() const {
        std::string text;
        m_tally.Missing(m_datasets, kRows, text);
        return text;
    }

    // Bookmarks that are not the row id after the last row, e.g. " kta DemoLiveEvent 21;".
    std::string UnfinishedBookmarks() const {
        std::string found;
        for (const DemoDataset& dataset : m_datasets)
            for (const std::string& family : dataset.families) {
                const Bookmark bookmark = ReadBookmark(FolderOf(dataset) + SyncPointFileOf(family),
                                                       dataset.deviceContext ? "" : dataset.id, KindOf(dataset));
                if (bookmark.state != Bookmark::State::Found || bookmark.id != dataset.rows + 1)
                    found += " " + family + " " + dataset.name + " " + bookmark.Text() + bookmark.error + ";";
            }
        return found;
    }

    // Waits for every row and for the bookmarks, stops the daemon, and checks what the collector
    // accepted: each row once per family plus at most `duplicates` resent ones, 10 to a body.
    void ExpectDelivered(int duplicates) {
        int status = -1;
        ASSERT_TRUE(Poll([&] { return ::waitpid(m_writer, &status, WNOHANG) == m_writer; }, seconds(20)));
        m_writer = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the writer failed";

        Poll([&] { return AllArrived() || !m_daemon->Running(); }, kArrival);
        ASSERT_TRUE(m_daemon->Running()) << "datasyncd " << m_daemon->ExitDescription() << ": "
                                         << ReadTextFile(m_daemon->ErrFile()) << AgentErrors();
        ASSERT_EQ(Missing(), "") << "missing after " << kArrival.count() << " s" << AgentErrors();
        // The bookmarks move once the collector has answered; then nothing is left to send.
        EXPECT_TRUE(Poll([&] { return UnfinishedBookmarks().empty(); }, seconds(10)))
            << UnfinishedBookmarks();
        EXPECT_EQ(m_daemon->Stop(kStopGrace), "") << ReadTextFile(m_daemon->ErrFile());
        AllArrived();
        for (const char* family : {"kta", "navs", "navp"})
            EXPECT_LE(m_tally.Duplicates(family), duplicates) << family << " received rows more than once";
        EXPECT_LE(LargestBody(m_layout.recordFile), kBatch);
        EXPECT_EQ(UnfinishedBookmarks(), "");
        EXPECT_EQ(m_tally.UnreadableLines(), 0);
    }

    std::vector<DemoDataset> m_datasets;
    pid_t m_writer = -1;
};

TEST_F(TelemetryFlow, EveryRowReachesEachFamilyOnceInBodiesOfTenAndTheBookmarksEndPastTheLastRow) {
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    ASSERT_NO_FATAL_FAILURE(StartWriter());
    ExpectDelivered(0);
}

TEST_F(TelemetryFlow, ADaemonRestartedWhileUploadingResendsAtMostTheBatchInFlight) {
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    ASSERT_NO_FATAL_FAILURE(StartWriter());
    // Stop as soon as the scheduled dataset's first batch is in (the other uploads of that
    // timer pass are then under way), or when the near-real-time dataset has one batch to go.
    const auto stopNow = [&] {
        return AllArrived() || m_tally.Accepted("navp", m_datasets[1].id) >= kBatch ||
               m_tally.Accepted("kta", m_datasets[0].id) >= kRows - kBatch || !m_daemon->Running();
    };
    ASSERT_TRUE(Poll(stopNow, kArrival, milliseconds(5))) << Missing() << AgentErrors();
    const std::string progress = Missing();
    EXPECT_EQ(m_daemon->Stop(kStopGrace), "") << ReadTextFile(m_daemon->ErrFile());
    ASSERT_LT(m_tally.Accepted("kta", m_datasets[0].id), kRows) << "the restart came after the uploads";
    std::printf("[   INFO   ] restarting datasyncd; accepted so far:%s\n", progress.c_str());

    ASSERT_NO_FATAL_FAILURE(StartDaemon("datasyncd-again"));
    ExpectDelivered(kBatch);
    std::printf("[   INFO   ] rows received twice: kta %d, navs %d, navp %d\n", m_tally.Duplicates("kta"),
                m_tally.Duplicates("navs"), m_tally.Duplicates("navp"));
}

}  // namespace
