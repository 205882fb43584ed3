// The cost of a retention run, and what it costs the telemetry writers:
//
//   50 item-event databases of 100,000 rows each, 10 % of them logged before the 30-day retention;
//   one retention run over them (the service folder) while a writer process inserts a row every
//   10 ms into those databases, in turn, on connections of its own with the agent's 5 s busy timeout.
//   Prints the run's time and rows deleted, and the writer's longest and median wait per insert
//   (goal: longest under 200 ms).
//
//   build/bench/retention_bench [--databases=N] [--rows=N]
#include <poll.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BulkRows.h"
#include "datasync/housekeeping/TelemetryRetentionHandler.h"
#include "datasync/host/Clock.h"
#include "datasync/housekeeping/TelemetryRetentionHandler.h"
#include "linuxhost/HostFolders.h"
#include "linuxhost/datastore/HostStores.h"
#include "linuxhost/datastore/SqliteHandles.h"
#include "support/FakeConfigAgent.h"
#include "support/RealHost.h"
#include "support/TelemetryWriter.h"

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::LocalLogtime;

std::string DatasetId(int n) {
    char id[40];
    std::snprintf(id, sizeof id, "6F1C2D3E-0000-4000-8000-%012d", n);
    return id;
}

using Db = ZEL::linuxhost::SqliteDatabase;

Db Open(const std::string& path) {
    std::string error;
    Db db = ZEL::linuxhost::OpenSqlite(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error);
    sqlite3_exec(db.get(), "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    return db;
}

// `rows` rows, the first tenth logged 40 days ago, the rest today; in one transaction.
void Fill(const std::string& path, const std::string& dataset, int rows) {
    const std::time_t now = std::time(nullptr);
    const std::string data = "{\"dataset_id\":\"" + dataset + "\",\"item_id\":\"i\"}";
    const std::string old = LocalLogtime(now - 40 * 86400), recent = LocalLogtime(now - 3600);
    bench::FillItemEvents(
        path, rows, [&](std::int64_t) { return data; }, [&](std::int64_t n) { return n <= rows / 10 ? old : recent; });
}

struct WriterFigures {
    long long inserts = 0;
    double longestMs = 0;
    double medianMs = 0;
};

// Inserts a row every 10 ms into the databases in turn, on connections of its own with the agent's
// 5 s busy timeout, until `stop` (a pipe's read end) reports its writer closed.
WriterFigures Write(const std::vector<std::string>& files, int stop) {
    std::vector<Db> connections;
    for (const std::string& file : files) connections.push_back(Open(file));
    const std::string sql =
        "INSERT INTO ItemEvent(log_index, data, logtime) VALUES('0', '{}', '" + LocalLogtime(std::time(nullptr)) + "')";
    std::vector<double> waits;
    pollfd closed{stop, POLLIN, 0};
    for (std::size_t n = 0; ::poll(&closed, 1, 10) == 0; ++n) {
        const auto start = Clock::now();
        sqlite3_exec(connections[n % connections.size()].get(), sql.c_str(), nullptr, nullptr, nullptr);
        waits.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    WriterFigures figures;
    if (waits.empty()) return figures;
    std::sort(waits.begin(), waits.end());
    figures.inserts = static_cast<long long>(waits.size());
    figures.longestMs = waits.back();
    figures.medianMs = waits[waits.size() / 2];
    return figures;
}

int Option(int argc, char** argv, const std::string& name, int fallback) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind(name + "=", 0) == 0) return std::atoi(arg.c_str() + name.size() + 1);
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const int databases = Option(argc, argv, "--databases", 50);
    const int rows = Option(argc, argv, "--rows", 100000);
    std::string pattern = "/tmp/datasync-retention-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return 2;
    const std::string base = pattern + "/";
    for (const char* sub : {"db", "shared", "log", "state"}) std::filesystem::create_directories(base + sub);
    ZEL::linuxhost::InstallHostFolders({base + "db/", base + "shared/", "", base + "log/", base + "state/"});
    ZEL::linuxhost::InstallHostStores();

    ZEL::TelemetryPolicy policy;
    std::vector<std::string> files;
    const auto fillStart = Clock::now();
    for (int n = 0; n < databases; ++n) {
        policy.datasets.push_back(testsupport::MakeDataSet(ZEL::String::UTF8ToUTF16(DatasetId(n)), L"Data", L"KTA", L"nrt"));
        policy.datasets.back().set_dataset_settings_map({{L"Retention", L"30d"}});
        files.push_back(base + "db/" + DatasetId(n) + "_ItemEvent.sqlite3");
        Fill(files.back(), DatasetId(n), rows);
    }
    std::printf("filled %d databases of %d rows in %.1f s\n", databases, rows,
                std::chrono::duration<double>(Clock::now() - fillStart).count());
    testsupport::InstallRealHost();
    auto config = std::make_shared<testsupport::FakeConfigAgent>();
    config->SetPolicy(policy);
    zel::AgentFactory::GetInstance()->SetConfigPolicyAgent(config);

    // The writer, a process of its own like a collecting component: one insert every 10 ms.
    int control[2], results[2];
    if (::pipe(control) != 0 || ::pipe(results) != 0) return 2;
    const pid_t writer = ::fork();
    if (writer < 0) return 2;
    if (writer == 0) {
        ::close(control[1]);
        ::close(results[0]);
        const WriterFigures figures = Write(files, control[0]);
        const bool sent = ::write(results[1], &figures, sizeof figures) == static_cast<ssize_t>(sizeof figures);
        ::_exit(sent ? 0 : 1);
    }
    ::close(control[0]);
    ::close(results[1]);

    ZEL::Log log;
    TelemetryRetentionHandler retention(*ZEL::Clock::GetInstance(), *ZEL::linuxhost::HostStores().tables,
                                        *ZEL::linuxhost::HostStores().files,
                                        [] { return false; }, log);
    retention.Init();
    const auto runStart = Clock::now();
    retention.Start(true);
    const double runSeconds = std::chrono::duration<double>(Clock::now() - runStart).count();
    ::close(control[1]);  // tells the writer to finish
    WriterFigures figures;
    const bool received = ::read(results[0], &figures, sizeof figures) == static_cast<ssize_t>(sizeof figures);
    ::waitpid(writer, nullptr, 0);
    if (!received) {
        std::fprintf(stderr, "retention_bench: the writer process reported nothing\n");
        return 1;
    }

    const auto status = retention.CurrentStatus();
    std::printf("retention run over %d databases of %d rows (10 %% past 30 days): %.2f s, %lld rows deleted\n",
                status->service.databases, rows, runSeconds, static_cast<long long>(status->service.rowsDeleted));
    std::printf("writer process during the run: %lld inserts, longest wait %.1f ms, median %.2f ms (goal: longest < 200 ms: %s)\n",
                figures.inserts, figures.longestMs, figures.medianMs, figures.longestMs < 200 ? "met" : "missed");
    std::filesystem::remove_all(pattern);
    return 0;
}
