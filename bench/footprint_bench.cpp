// The daemon's footprint while it waits, and how fast it gets going, each figure from one run:
//
//   idle, 1 watched dataset       datasyncd with one near-real-time dataset (two database files),
//                                 once the collector has accepted its rows: wake-ups per second
//                                 (context switches of all threads), resident, proportional and
//                                 private memory, and CPU over --idle-seconds (default 30)
//   idle, 200 watched datasets    the same with 200 datasets (400 database files)
//   start-up backlog              1,000,000 rows waiting in one database: time from the daemon's
//                                 start to the collector's first accepted batch
//   start-up scan                 500 watched databases of 2,000 rows each, every row already
//                                 sent: time of the start-up scan (in process, on the real store;
//                                 a table scan would show in the time)
//
//   build/bench/footprint_bench [--idle-seconds=N] [--only=idle1|idle200|backlog|scan] [--keep]
//                               [--under="PROGRAM ARGS"]
//
// --keep leaves an idle daemon running after its figures, prints its folder and pid, and stops
// it once a line (or end of file) arrives on standard input: for a look at /proc, gdb or
// malloc_info. --under starts the daemon as PROGRAM ARGS datasyncd ... (a full path, arguments
// split at spaces), for instance "/usr/bin/heaptrack -o /tmp/idle"; the process figures are then
// those of PROGRAM.
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BulkRows.h"
#include "DaemonInstallation.h"
#include "ProcessFigures.h"
#include "datasyncctl/DemoFiles.h"
#include "datasyncctl/TelemetryRowWriter.h"
#include "linuxhost/HostFolders.h"
#include "linuxhost/datastore/HostStores.h"
#include "linuxhost/datastore/SyncPointDao.h"
#include "support/FakeConfigAgent.h"
#include "support/PreparedComponents.h"
#include "support/RealHost.h"

namespace {

using namespace datasyncctl;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

using bench::Installation;

double Millis(Clock::duration elapsed) {
    return std::chrono::duration<double, std::milli>(elapsed).count();
}

std::vector<DemoDataset> WatchedDatasets(int count) {
    return bench::KtaDatasets(count);
}

// How the idle daemons run: --keep, --under.
struct IdleOptions {
    bool keep = false;
    std::vector<std::string> under;
};

// Idle daemon with `count` watched datasets of 3 rows each (and an empty dataset-context table).
bool MeasureIdle(int count, int idleSeconds, const IdleOptions& options) {
    Installation installation("footprint-idle");
    if (!installation.ok()) return false;
    const std::vector<DemoDataset> datasets = WatchedDatasets(count);
    installation.Prepare(datasets);
    for (int n = 0; n < count; ++n) {
        const DemoDataset& dataset = datasets[static_cast<std::size_t>(n)];
        TelemetryRowWriter rows(installation.layout().serviceDir + dataset.DatabaseFile(), "ItemEvent");
        for (int row = 1; row <= 3; ++row)
            rows.Insert(ItemEventJson(dataset.id, dataset.name, dataset.ItemId(row), "", row));
        TelemetryRowWriter(installation.layout().serviceDir + dataset.id + "_DatasetContext.sqlite3",
                           "DatasetContext");
    }
    const pid_t pid = installation.StartDaemon(options.under);
    if (!installation.WaitForAccepted(count, seconds(180))) {
        std::fprintf(stderr, "footprint_bench: the rows of %d datasets did not all arrive\n", count);
        return false;
    }
    std::this_thread::sleep_for(seconds(5));  // the last commits and log lines
    const double before = bench::CpuSeconds(pid);
    const long long switchesBefore = bench::ContextSwitches(pid);
    std::this_thread::sleep_for(seconds(idleSeconds));
    const double wakeUps = static_cast<double>(bench::ContextSwitches(pid) - switchesBefore) / idleSeconds;
    const double used = bench::CpuSeconds(pid) - before;
    const auto mib = [](long kib) { return static_cast<double>(kib) / 1024.0; };
    std::printf("idle, %3d watched datasets (%3d files): %.2f wake-ups/s, resident / proportional / private "
                "%5.1f / %5.1f / %5.1f MiB, CPU %.3f%% of a core over %d s, %ld threads\n",
                count, 2 * count, wakeUps, mib(bench::ResidentKiB(pid)), mib(bench::ProportionalKiB(pid)),
                mib(bench::PrivateKiB(pid)), 100.0 * used / idleSeconds, idleSeconds, bench::Threads(pid));
    if (options.keep) {
        std::printf("kept: daemon pid %d, folder %s; a line on standard input stops it\n", static_cast<int>(pid),
                    installation.folder().c_str());
        std::fflush(stdout);
        std::string line;
        std::getline(std::cin, line);
    }
    return true;
}

// 1,000,000 rows in one database, in one transaction.
void FillBacklog(const std::string& path, const DemoDataset& dataset, int rows) {
    const std::string logtime = TelemetryRowWriter::LocalTimeNow();
    bench::FillItemEvents(
        path, rows,
        [&](std::int64_t n) {
            return ItemEventJson(dataset.id, dataset.name, dataset.ItemId(static_cast<int>(n)), "",
                                 static_cast<int>(n));
        },
        [&](std::int64_t) { return logtime; });
}

bool MeasureBacklogStart() {
    constexpr int kRows = 1000000;
    Installation installation("footprint-backlog");
    if (!installation.ok()) return false;
    const std::vector<DemoDataset> datasets = WatchedDatasets(1);
    installation.Prepare(datasets);
    FillBacklog(installation.layout().serviceDir + datasets[0].DatabaseFile(), datasets[0], kRows);
    const auto start = Clock::now();
    installation.StartDaemon();
    if (!installation.WaitForAccepted(1, seconds(60), milliseconds(5))) {
        std::fprintf(stderr, "footprint_bench: no batch of the backlog arrived\n");
        return false;
    }
    std::printf("start-up with %d rows waiting in one database: first batch accepted %.0f ms after start\n",
                kRows, Millis(Clock::now() - start));
    return true;
}

// The start-up scan over `count` databases whose rows were all sent, on the real store.
void MeasureStartupScan(int count, int rows) {
    const std::string base = bench::MakeBenchFolder("footprint-scan");
    for (const char* sub : {"db", "shared", "local", "log", "state"})
        std::filesystem::create_directories(base + sub);
    ZEL::linuxhost::InstallHostFolders(
        {base + "db/", base + "shared/", base + "local/", base + "log/", base + "state/"});
    ZEL::linuxhost::InstallHostStores();
    ZEL::TelemetryPolicy policy;
    policy.telemetryScope = L"full";
    policy.syncEndpointUrls = {{L"KTA_syncEP_url", L"https://127.0.0.1:9/kta/"}};
    ZEL::linuxhost::SyncPointDao bookmarks(ZEL::utility::DB_PATH_INTERNAL, L"SyncPoint.sqlite3");
    const std::vector<DemoDataset> datasets = WatchedDatasets(count);
    for (int n = 0; n < count; ++n) {
        const DemoDataset& dataset = datasets[static_cast<std::size_t>(n)];
        ZEL::DataSet entry =
            testsupport::MakeDataSet(ZEL::String::UTF8ToUTF16(dataset.id), L"Data", L"KTA", L"nrt");
        entry.set_include_events({L"ALL"});
        policy.datasets.push_back(entry);
        FillBacklog(base + "db/" + dataset.DatabaseFile(), dataset, rows);
        bookmarks.Set({ZEL::String::UTF8ToUTF16(dataset.id), L"ItemEvent", rows + 1});
    }
    testsupport::InstallRealHost();
    auto config = std::make_shared<testsupport::FakeConfigAgent>();
    config->SetPolicy(policy);
    zel::AgentFactory::GetInstance()->SetConfigPolicyAgent(config);
    {
        testsupport::PreparedComponents prepared(policy);
        const auto start = Clock::now();
        prepared.c.timer.DeviceReadySync(false);
        const double ms = Millis(Clock::now() - start);
        std::printf(
            "start-up scan over %d watched databases of %d rows, nothing to send: %.1f ms, %zu queued\n",
            count, rows, ms, prepared.c.queue.Size());
    }
    std::filesystem::remove_all(base);
}

}  // namespace

int main(int argc, char** argv) {
    int idleSeconds = 30;
    std::string only;  // one of idle1, idle200, backlog, scan; empty: all
    IdleOptions idle;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--keep") == 0) idle.keep = true;
        if (std::strncmp(argv[i], "--under=", 8) == 0) {
            std::istringstream words(argv[i] + 8);
            for (std::string word; words >> word;) idle.under.push_back(word);
        }
        if (std::strncmp(argv[i], "--idle-seconds=", 15) == 0) idleSeconds = std::atoi(argv[i] + 15);
        if (std::strncmp(argv[i], "--only=", 7) == 0) only = argv[i] + 7;
    }
    const auto wanted = [&only](const char* figure) { return only.empty() || only == figure; };
    bool ok = true;
    if (wanted("idle1")) ok = MeasureIdle(1, idleSeconds, idle) && ok;
    if (wanted("idle200")) ok = MeasureIdle(200, idleSeconds, idle) && ok;
    if (wanted("backlog")) ok = MeasureBacklogStart() && ok;
    if (wanted("scan")) MeasureStartupScan(500, 2000);
    return ok ? 0 : 1;
}
