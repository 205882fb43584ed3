// Telemetry end to end: the real datasyncd uploads to the real datasync-collector over mutual
// TLS on loopback while the test writes rows in WAL mode. Datasets: near-real-time for
// KTA and NAVS, scheduled (2 s) for NAVP, the device context and, as root, a near-real-time one
// in the shared folder read as the logged-on user "nobody", the daemon confined as the packaged
// unit confines it. Restarts, kills and power cuts are the upload model's (tests/model).
#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>

#include "DaemonFlowFixture.h"

namespace {

using namespace appstest;

constexpr int kRows = 30;  // per item dataset: three batches per family, one per 2-second pass
constexpr seconds kArrival{45};
const char* const kSharedName = "SharedLiveEvent";

// Writes `folder`wrap-datasyncd, which runs its arguments with the unit's CapabilityBoundingSet=
// and UMask= and no new privileges, by setpriv (only root may narrow a bounding set).
std::string WriteUnitConfinementWrapper(const std::string& unitFile, const std::string& folder) {
    std::string capabilities, umask;
    std::ifstream in(unitFile);
    for (std::string line; std::getline(in, line);) {
        if (capabilities.empty() && line.rfind("CapabilityBoundingSet=", 0) == 0) capabilities = line.substr(22);
        if (umask.empty() && line.rfind("UMask=", 0) == 0) umask = line.substr(6);
    }
    if (capabilities.empty() || umask.empty()) throw std::runtime_error(unitFile + ": no CapabilityBoundingSet= or UMask=");
    std::string bounding = "-all";  // "CAP_SETUID CAP_SETGID" -> "-all,+setuid,+setgid"
    std::istringstream names(capabilities);
    for (std::string name; names >> name;) bounding += ",+" + name.substr(name.rfind("CAP_", 0) == 0 ? 4 : 0);
    std::transform(bounding.begin(), bounding.end(), bounding.begin(), [](unsigned char c) { return std::tolower(c); });
    const std::string wrapper = folder + "wrap-datasyncd";
    WriteTextFile(wrapper, "#!/bin/sh\numask " + umask + "\nexec setpriv --bounding-set=" + bounding +
                               " --inh-caps=-all --no-new-privs \"$@\"\n", 0755);
    return wrapper;
}

class TelemetryFlow : public DaemonFlow {
protected:
    void SetUp() override {
        // The logged-on user must reach the shared folder inside the test's private folder.
        ASSERT_EQ(::chmod(m_dir.path().c_str(), 0755), 0);
        m_datasets = DemoDatasets(0, "2s");
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
            const int fd = ::open((m_layout.sharedDir + shared.DatabaseFile()).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC);
            ASSERT_TRUE(fd >= 0 && ::fchmod(fd, 0666) == 0 && ::close(fd) == 0);
            m_daemonWrapper = WriteUnitConfinementWrapper(UNIT_FILE_PATH, m_dir.path());
        }
        ASSERT_NO_FATAL_FAILURE(Lay(m_datasets, {}, [&](Json::Value& config) { config["logon_user"] = root ? "nobody" : ""; }));
    }

    std::string FolderOf(const DemoDataset& dataset) const {
        return dataset.name == kSharedName ? m_layout.sharedDir : m_layout.serviceDir;
    }

    // Rows not accepted yet after reading the collector's new records, e.g. " navp DemoScheduledEvent 20/30;".
    std::string Missing() {
        std::string error, text;
        EXPECT_TRUE(m_tally.Poll(error)) << error;
        m_tally.Missing(m_datasets, kRows, text);
        return text;
    }

    // Bookmarks that are not the row id after the last row, e.g. " kta DemoLiveEvent 21;".
    std::string UnfinishedBookmarks() const {
        std::string found;
        for (const DemoDataset& dataset : m_datasets)
            for (const std::string& family : dataset.families) {
                const Bookmark bookmark =
                    ReadBookmark(FolderOf(dataset) + SyncPointFileOf(family), dataset.deviceContext ? "" : dataset.id,
                                 dataset.deviceContext ? "DeviceContext" : "ItemEvent");
                if (bookmark.state != Bookmark::State::Found ||
                    bookmark.id != (dataset.deviceContext ? 1 : kRows) + 1)
                    found += " " + family + " " + dataset.name + " " + bookmark.Text() + bookmark.error + ";";
            }
        return found;
    }

    std::vector<DemoDataset> m_datasets;
};

TEST_F(TelemetryFlow, EveryRowReachesEachFamilyOnce) {
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    // kRows item rows of every dataset while the daemon runs, in turns, one transaction per row,
    // spread over about 1.2 s (the device context first).
    std::vector<std::unique_ptr<TelemetryRowWriter>> writers;
    for (const DemoDataset& d : m_datasets) {
        const std::string table = d.deviceContext ? "DeviceContext" : "ItemEvent";
        writers.push_back(std::make_unique<TelemetryRowWriter>(FolderOf(d) + d.DatabaseFile(), table));
        if (d.deviceContext) writers.back()->Insert(DeviceContextJson(m_deviceId, m_contextId));
    }
    for (int n = 1; n <= kRows; ++n) {
        for (size_t i = 0; i < m_datasets.size(); ++i) {
            const DemoDataset& d = m_datasets[i];
            if (!d.deviceContext)
                writers[i]->Insert(ItemEventJson(d.id, d.name, d.ItemId(n), m_contextId, n));
        }
        std::this_thread::sleep_for(milliseconds(40));
    }
    writers.clear();

    Poll([&] { return Missing().empty() || !m_daemon->Running(); }, kArrival);
    ASSERT_EQ(Missing(), "") << "missing after " << kArrival.count() << " s; datasyncd "
                             << m_daemon->ExitDescription() << ReadTextFile(m_daemon->ErrFile())
                             << AgentErrors();
    // The bookmarks move once the collector has answered; then nothing is left to send.
    EXPECT_TRUE(Poll([&] { return UnfinishedBookmarks().empty(); }, seconds(10))) << UnfinishedBookmarks();
    Missing();  // the records of the last answers
    for (const char* family : {"kta", "navs", "navp"})
        EXPECT_EQ(m_tally.Duplicates(family), 0) << family << " received rows more than once";
    EXPECT_EQ(m_tally.UnreadableLines(), 0);
    StopDaemon();
}

}  // namespace
