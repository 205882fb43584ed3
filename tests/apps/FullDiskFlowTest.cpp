// A full disk end to end: the service folder is a small tmpfs that the test fills while the real
// datasyncd uploads to the real datasync-collector over mutual TLS on loopback. The bookmark files
// then refuse their writes after accepted batches: the agent holds them (2 s, 4 s, ...) and keeps
// answering, and once space is back it writes the owed bookmarks first: every row arrives, and no
// family gets more than one batch twice (none, while the daemon runs).
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "DaemonFlowFixture.h"
#include "linuxhost/datastore/BookmarkReader.h"

namespace {

using namespace appstest;

constexpr int kRows = 40;   // four batches per family
constexpr int kBatch = 10;  // item records in one upload body at most

// A tmpfs on `folder` while the guard lives; detached at its end even when something still uses it.
struct TmpfsMount {
    TmpfsMount(std::string at, const char* options) : folder(std::move(at)) {
        if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, options) != 0) error = errno;
    }
    ~TmpfsMount() { if (error == 0) ::umount2(folder.c_str(), MNT_DETACH); }
    std::string folder;
    int error = 0;
};

// Writes `path` until its file system takes no byte more (big writes, then single bytes); empty
// when it is full, else what failed.
std::string FillUp(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return path + ": " + std::strerror(errno);
    const std::string chunk(1 << 16, 'x');
    int error = 0;
    for (const std::size_t size : {chunk.size(), std::size_t(1)}) {
        ssize_t written = 1;
        while (written > 0 || (written < 0 && errno == EINTR)) written = ::write(fd, chunk.data(), size);
        if (errno != ENOSPC) error = errno;
        if (error != 0) break;
    }
    struct statvfs fs {};
    const bool full = ::fstatvfs(fd, &fs) == 0 && fs.f_bavail == 0;
    ::close(fd);
    if (error != 0) return path + ": " + std::strerror(error);
    return full ? "" : path + ": " + std::to_string(fs.f_bavail) + " blocks still free";
}

class FullDiskFlow : public DaemonFlow {
protected:
    // The daemon stops before the tmpfs under its files goes (members end after this body).
    ~FullDiskFlow() override { m_daemon.reset(); }

    std::unique_ptr<TmpfsMount> m_tmpfs;
};

TEST_F(FullDiskFlow,
       AFullServiceFolderHoldsTheBookmarkFilesAndOnceItHasSpaceEveryRowArrivesWithAtMostOneBatchTwice) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs on the service folder needs root";
    MakeFolders(m_layout.serviceDir);
    m_tmpfs = std::make_unique<TmpfsMount>(m_layout.serviceDir, "size=4m,mode=0755");
    if (m_tmpfs->error != 0)
        GTEST_SKIP() << "cannot mount a tmpfs on " << m_layout.serviceDir << ": " << std::strerror(m_tmpfs->error);
    const std::vector<DemoDataset> demo = DemoDatasets(kRows, "5s");
    const DemoDataset& live = demo[0];  // near-real-time, for KTA and NAVS
    DemoDataset context = demo[2];      // item rows go out once a device context has
    context.syncEPs = "NAVP";
    // Each answer 200 ms late: the batches of a family take a few seconds.
    ASSERT_NO_FATAL_FAILURE(Lay({live, context}, {"all=200:delay=200"}));
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    WriteRows(context, 1, 1);
    WriteRows(live, 1, kRows);
    const auto accepted = [&](const char* family) { return Accepted(family, live.id); };
    const auto progress = [&] {
        return " kta " + std::to_string(accepted("kta")) + ", navs " + std::to_string(accepted("navs")) +
               Status().toStyledString() + AgentErrors();
    };

    // Full right after KTA's first batch: the bookmark writes of the batches after it fail.
    ASSERT_TRUE(
        Poll([&] { return accepted("kta") > 0 || !m_daemon->Running(); }, seconds(20), milliseconds(5)) &&
        m_daemon->Running())
        << m_daemon->ExitDescription() << progress();
    const std::string filler = m_layout.serviceDir + "filler";
    ASSERT_EQ(FillUp(filler), "");
    ASSERT_LT(accepted("kta"), kRows)
        << "KTA had every row before the disk was full: no bookmark write could fail";

    // Held until the second failure in a row (after a hold of 2 s); every status request answers
    // at once meanwhile.
    const std::string ktaFile = m_layout.serviceDir + SyncPointFileOf("kta");
    Json::Value held;
    milliseconds slowest{0};
    const auto secondFailure = [&] {
        const auto asked = std::chrono::steady_clock::now();
        const Finished run = Ctl({"status", "--json"});
        slowest = std::max(slowest, std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - asked));
        EXPECT_EQ(run.exitCode, 0) << "status did not answer while the disk was full: " << run.out << run.err;
        const Json::Value answer = ParseJson(run.out);
        held = Json::Value();
        for (const Json::Value& file : answer["status"]["unsaved_bookmarks"])
            if (file["file"].asString() == ktaFile) held = file;
        return held["failures"].asUInt() >= 2 || !m_daemon->Running();
    };
    ASSERT_TRUE(Poll(secondFailure, seconds(30)) && m_daemon->Running())
        << m_daemon->ExitDescription() << ktaFile << " was not held twice in a row;" << progress();
    EXPECT_TRUE(held["failure"] == "write" && held["owed_writes"].asUInt() >= 1) << held;
    EXPECT_LT(slowest, seconds(2)) << "a status answer waited for the agent";
    ASSERT_EQ(::unlink(filler.c_str()), 0) << std::strerror(errno);

    // With space again, the owed bookmarks are written first and the rest goes out once.
    const auto missing = [&] {
        std::string error, text;
        EXPECT_TRUE(m_tally.Poll(error)) << error;
        m_tally.Missing({live}, kRows, text);
        return text;
    };
    EXPECT_TRUE(Poll([&] { return missing().empty() || !m_daemon->Running(); }, seconds(60))) << progress();
    ASSERT_EQ(missing(), "") << "rows lost" << progress();
    EXPECT_TRUE(Poll([&] { return Status()["unsaved_bookmarks"].empty(); }, seconds(10))) << progress();
    StopDaemon();
    std::printf("[   INFO   ] rows received twice: kta %d, navs %d; slowest status answer %lld ms\n",
                m_tally.Duplicates("kta"), m_tally.Duplicates("navs"), static_cast<long long>(slowest.count()));
    for (const char* family : {"kta", "navs"})
        EXPECT_LE(m_tally.Duplicates(family), kBatch) << family << " received more than one batch twice";
}

}  // namespace
