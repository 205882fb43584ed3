// The daemon's CPU per accepted batch against the same work on the bare libraries, in one run:
//
//   agent: datasyncd (this build), 20 near-real-time KTA datasets, log level info, the collector
//          in its own process with mutual TLS on loopback. Once the daemon is up and has sent
//          the device context, 300 rows are written into each dataset's table (one transaction
//          per file) and the daemon drains them; the window runs from the first write until the
//          collector has accepted every batch (its statistics, polled every 20 ms). The window
//          holds the file notifications, the drain and the 2-second timer passes that fall into
//          it: the daemon's idle CPU over the window's length (measured just before) is
//          subtracted.
//   floor: this process, afterwards, against the same collector: for the same rows, batches of
//          the daemon's size (10), one sqlite3 select per batch (rows decoded with jsoncpp), the
//          same body built with jsoncpp, the same libcurl POST on one kept-alive mutual-TLS
//          connection; no bookmark, no log. Its CPU is this process's own.
//   floor with bookmarks: the floor again, and after each accepted batch the bookmark the
//          daemon must keep: one row updated in a bookmark file in WAL mode with
//          synchronous=FULL (one fdatasync), checkpointed every 100 writes, as the daemon's store
//          does; then once more in the daemon's order and pace: one batch of every file per pass,
//          a pass every 2 s.
//   Last, the part of each figure spent in the kernel (system time, counted in clock ticks).
//   The drain and the floors are run in rounds, each round on new rows: the CPU time of one run
//   on a shared virtual machine can stray by a third from the next, so each round's ratios come
//   from figures measured minutes apart at most, and the medians over the rounds are printed last.
//
//   build/bench/upload_bench [--datasets=N] [--rows=N] [--idle-seconds=N] [--rounds=N (3)]
//                            [--callgrind=FILE]  the daemon runs under callgrind, its counts zeroed
//                                                at the window's start and dumped to FILE at its
//                                                end, one round (the CPU figures then mean nothing); for the
//                                                floor's counts run the bench itself under
//                                                valgrind --tool=callgrind
//                                                --toggle-collect='*RunFloor(*FloorOrder)' (a
//                                                pattern that also matched the batch lambda inside
//                                                would toggle collection off within it)
#include <curl/curl.h>
#include <json/json.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BulkRows.h"
#include "DaemonInstallation.h"
#include "ProcessFigures.h"
#include "linuxhost/datastore/BookmarkTable.h"
#include "linuxhost/datastore/SqliteHandles.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBatchRows = 10;  // the daemon's batch of item events

double Seconds(Clock::duration elapsed) {
    return std::chrono::duration<double>(elapsed).count();
}

size_t Discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

// The body the agent builds for a batch of item events, on jsoncpp directly.
std::string FloorBody(sqlite3_stmt* select, Json::CharReader& reader, const std::string& deviceId,
                      const std::string& contextId) {
    Json::Value root(Json::objectValue);
    root["device_id"] = deviceId;
    root["device_context_id"] = contextId;
    Json::Value& log = root["dataset_items_log"];
    while (sqlite3_step(select) == SQLITE_ROW) {
        const char* text = reinterpret_cast<const char*>(sqlite3_column_text(select, 1));
        Json::Value row;
        std::string errors;
        reader.parse(text, text + std::strlen(text), &row, &errors);
        Json::Value item(Json::objectValue);
        for (const char* key : {"item_id", "item_context_id", "schema_ver", "item_name", "item_time"})
            item[key] = row[key];
        Json::Value data(Json::objectValue);
        for (const std::string& key : row["item_data"].getMemberNames()) {
            const std::string value = row["item_data"][key].asString();
            Json::Value parsed;
            data[key] = reader.parse(value.data(), value.data() + value.size(), &parsed, &errors)
                            ? parsed
                            : Json::Value(value);
        }
        item["item_data"] = data;
        Json::Value element(Json::objectValue);
        element["dataset_id"] = row["dataset_id"];
        element["dataset_name"] = row["dataset_name"];
        element["dataset_context_id"] = row["dataset_context_id"];
        element["item_events_log"].append(item);
        log.append(element);
    }
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    return Json::writeString(writer, root);
}

// A bookmark file as the daemon's store keeps it, one row per telemetry file; null on failure.
ZEL::linuxhost::SqliteDatabase FloorBookmarks(const std::string& path,
                                              const std::vector<std::string>& files) {
    std::string error;
    ZEL::linuxhost::SqliteDatabase db =
        ZEL::linuxhost::OpenSqlite(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error);
    if (!db) return db;
    std::string setup = std::string(ZEL::linuxhost::kBookmarkCreate) +
                        ";PRAGMA journal_mode=WAL;PRAGMA synchronous=FULL;PRAGMA wal_autocheckpoint=100;";
    for (std::size_t n = 0; n < files.size(); ++n)
        setup += "insert into SyncPoint(id,type,guid,logtime) values(0,'ItemEvent','" + std::to_string(n) +
                 "','');";
    if (sqlite3_exec(db.get(), setup.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) db.reset();
    return db;
}

// How the floor goes through the files: each file's batches one after another, or as the
// daemon's timer passes do, one batch of every file per pass and the next pass 2 s after the
// last began (the CPU measured is the process's own, so the waits cost nothing).
enum class FloorOrder { FileByFile, PacedLikeTheDaemon };

// The floor over `files`, rows `firstId` to `firstId` + `rows` - 1 of each; the batches posted,
// or -1 when a post or a bookmark write failed. With `bookmarks`, each accepted batch moves its
// file's bookmark.
__attribute__((noinline)) long RunFloor(const bench::Installation& installation,
                                        const std::vector<std::string>& files, std::int64_t firstId, int rows,
                                        const std::string& contextId, sqlite3* bookmarks, FloorOrder order) {
    CURL* curl = curl_easy_init();
    const std::string url = installation.Origin() + "/kta/events-data";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, installation.pki().caCert.c_str());
    curl_easy_setopt(curl, CURLOPT_SSLCERT, installation.pki().clientCert.c_str());
    curl_easy_setopt(curl, CURLOPT_SSLKEY, installation.pki().clientKey.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Discard);
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::vector<ZEL::linuxhost::SqliteDatabase> databases;
    for (const std::string& file : files) {
        std::string openError;
        databases.push_back(ZEL::linuxhost::OpenSqliteReadOnly(file, openError));
    }

    // One batch of file `n` from row `next`; false when its post or bookmark failed.
    const auto batch = [&](std::size_t n, std::int64_t next) {
        const ZEL::linuxhost::SqliteStatement select = ZEL::linuxhost::PrepareSqlite(
            databases[n].get(), "select id,data from ItemEvent where id>=? and id<? order by id asc");
        sqlite3_bind_int64(select.get(), 1, next);
        sqlite3_bind_int64(select.get(), 2, next + kBatchRows);
        const std::string body = FloorBody(select.get(), *reader, bench::kBenchDeviceId, contextId);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
        long status = 0;
        if (curl_easy_perform(curl) != CURLE_OK ||
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200)
            return false;
        if (bookmarks == nullptr) return true;
        const ZEL::linuxhost::SqliteStatement update = ZEL::linuxhost::PrepareSqlite(
            bookmarks, "update SyncPoint set id=?, logtime=? where guid=? and type='ItemEvent'");
        const std::string guid = std::to_string(n);
        sqlite3_bind_int64(update.get(), 1, next + kBatchRows);
        sqlite3_bind_text(update.get(), 2, "2026-12-09 00:00:00", -1, SQLITE_STATIC);
        sqlite3_bind_text(update.get(), 3, guid.c_str(), -1, SQLITE_TRANSIENT);
        return sqlite3_step(update.get()) == SQLITE_DONE;
    };
    long batches = 0;
    const std::int64_t end = firstId + rows;
    if (order == FloorOrder::FileByFile) {
        for (std::size_t n = 0; n < files.size(); ++n)
            for (std::int64_t next = firstId; next < end && batches >= 0; next += kBatchRows)
                batches = batch(n, next) ? batches + 1 : -1;
    } else {
        for (std::int64_t next = firstId; next < end && batches >= 0; next += kBatchRows) {
            const auto pass = Clock::now();
            for (std::size_t n = 0; n < files.size() && batches >= 0; ++n)
                batches = batch(n, next) ? batches + 1 : -1;
            std::this_thread::sleep_until(pass + std::chrono::seconds(2));
        }
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return batches;
}

bool RunCallgrindControl(const char* option, pid_t pid) {
    const std::string command =
        std::string("callgrind_control ") + option + " " + std::to_string(pid) + " >/dev/null";
    return std::system(command.c_str()) == 0;
}

// What one round measured, in CPU seconds (user and system) and system seconds.
struct Round {
    long batches = 0;
    double window = 0;
    double idleRate = 0;  // the daemon's CPU seconds per second just before
    double agentCpu = 0;
    double agentSystem = 0;
    double floorCpu[3] = {};
    double floorSystem[3] = {};
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    int datasetCount = 20;
    int rows = 300;
    int idleSeconds = 4;
    int rounds = 3;
    std::string callgrindFile;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--datasets=", 11) == 0) datasetCount = std::atoi(argv[i] + 11);
        if (std::strncmp(argv[i], "--rows=", 7) == 0) rows = std::atoi(argv[i] + 7);
        if (std::strncmp(argv[i], "--idle-seconds=", 15) == 0) idleSeconds = std::atoi(argv[i] + 15);
        if (std::strncmp(argv[i], "--rounds=", 9) == 0) rounds = std::atoi(argv[i] + 9);
        if (std::strncmp(argv[i], "--callgrind=", 12) == 0) callgrindFile = argv[i] + 12;
    }
    if (!callgrindFile.empty()) rounds = 1;
    if (datasetCount < 1 || rows < 1 || rounds < 1) {
        std::fprintf(stderr, "upload_bench: --datasets, --rows and --rounds must be at least 1\n");
        return 2;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    bench::Installation installation("upload-bench");
    if (!installation.ok()) {
        std::fprintf(stderr, "upload_bench: the collector did not start\n");
        return 1;
    }
    const std::vector<datasyncctl::DemoDataset> datasets = bench::KtaDatasets(datasetCount, "Drain");
    const std::string contextId = installation.Prepare(datasets, "info");
    std::vector<std::string> files;
    for (int n = 0; n < datasetCount; ++n) {
        files.push_back(installation.layout().serviceDir +
                        datasets[static_cast<std::size_t>(n)].DatabaseFile());
        datasyncctl::TelemetryRowWriter(files.back(), "ItemEvent");  // the table, still empty
    }
    std::vector<std::string> wrapper;
    if (!callgrindFile.empty())
        wrapper = {"/usr/bin/valgrind", "--tool=callgrind", "--callgrind-out-file=" + callgrindFile};
    const auto limit = std::chrono::seconds(callgrindFile.empty() ? 120 : 900);
    const pid_t pid = installation.StartDaemon(wrapper);
    if (!installation.WaitForAccepted(1, limit)) {
        std::fprintf(stderr, "upload_bench: the daemon did not send the device context\n");
        return 1;
    }
    // The start-up's own work (scan, first timer passes) ends before the first idle rate.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const ZEL::linuxhost::SqliteDatabase bookmarks =
        FloorBookmarks(installation.layout().collectorDir + "floor-bookmarks.sqlite3", files);
    const struct {
        const char* name;
        sqlite3* bookmarks;
        FloorOrder order;
    } floors[] = {
        {"floor", nullptr, FloorOrder::FileByFile},
        {"floor with a durable bookmark per batch (WAL, synchronous=FULL, checkpoint every 100)",
         bookmarks.get(), FloorOrder::FileByFile},
        {"the same, paced like the daemon (one batch of every file per 2-s pass)", bookmarks.get(),
         FloorOrder::PacedLikeTheDaemon},
    };
    const long expected = static_cast<long>(datasetCount) * ((rows + kBatchRows - 1) / kBatchRows);
    const std::string logtime = datasyncctl::TelemetryRowWriter::LocalTimeNow();
    std::vector<Round> measured;
    for (int round = 0; round < rounds; ++round) {
        Round r;
        const double idleCpuStart = bench::CpuSeconds(pid);
        const auto idleStart = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
        r.idleRate = (bench::CpuSeconds(pid) - idleCpuStart) / Seconds(Clock::now() - idleStart);

        // Each round appends its rows after the last round's: ids round * rows + 1 onwards.
        const std::int64_t firstId = static_cast<std::int64_t>(round) * rows + 1;
        const long base = installation.Accepted();
        if (!callgrindFile.empty()) RunCallgrindControl("-z", pid);
        const double cpuStart = bench::CpuSeconds(pid);
        const double systemStart = bench::SystemCpuSeconds(pid);
        const auto start = Clock::now();
        for (int n = 0; n < datasetCount; ++n) {
            const datasyncctl::DemoDataset& dataset = datasets[static_cast<std::size_t>(n)];
            bench::FillItemEvents(
                files[static_cast<std::size_t>(n)], rows,
                [&](std::int64_t row) {
                    const int id = static_cast<int>(firstId - 1 + row);
                    return datasyncctl::ItemEventJson(dataset.id, dataset.name, dataset.ItemId(id), contextId,
                                                      id);
                },
                [&](std::int64_t) { return logtime; });
        }
        if (!installation.WaitForAccepted(base + expected, limit, std::chrono::milliseconds(20))) {
            std::fprintf(stderr, "upload_bench: round %d: the collector accepted %ld of %ld batches\n",
                         round + 1, installation.Accepted() - base, expected);
            return 1;
        }
        r.window = Seconds(Clock::now() - start);
        r.agentCpu = bench::CpuSeconds(pid) - cpuStart - r.idleRate * r.window;
        r.agentSystem = bench::SystemCpuSeconds(pid) - systemStart;
        if (!callgrindFile.empty()) RunCallgrindControl("-d", pid);
        r.batches = installation.Accepted() - base;

        for (std::size_t f = 0; f < 3; ++f) {
            const double floorCpuStart = bench::CpuSeconds(::getpid());
            const double floorSystemStart = bench::SystemCpuSeconds(::getpid());
            const long floorBatches =
                RunFloor(installation, files, firstId, rows, contextId, floors[f].bookmarks, floors[f].order);
            r.floorCpu[f] = bench::CpuSeconds(::getpid()) - floorCpuStart;
            r.floorSystem[f] = bench::SystemCpuSeconds(::getpid()) - floorSystemStart;
            if (floorBatches != expected) {
                std::fprintf(stderr, "upload_bench: round %d: the %s posted %ld of %ld batches\n", round + 1,
                             floors[f].name, floorBatches, expected);
                return 1;
            }
        }
        const auto perBatch = [](double seconds, long batches) {
            return 1e6 * seconds / static_cast<double>(batches);
        };
        std::printf(
            "round %d: drain of %d KTA datasets x %d rows, log level info: %ld batches accepted in %.2f s "
            "(window: row writes, file notifications, drain, timer passes; idle %.2f ms/s subtracted)\n",
            round + 1, datasetCount, rows, r.batches, r.window, 1e3 * r.idleRate);
        std::printf(
            "  CPU per batch of %d: agent (datasyncd) %.0f us, floor %.0f us, ratio agent/floor %.2f\n",
            kBatchRows, perBatch(r.agentCpu, r.batches), perBatch(r.floorCpu[0], expected),
            r.agentCpu / r.floorCpu[0]);
        for (std::size_t f = 1; f < 3; ++f)
            std::printf("  %s: %.0f us, ratio agent/it %.2f\n", floors[f].name,
                        perBatch(r.floorCpu[f], expected), r.agentCpu / r.floorCpu[f]);
        std::printf(
            "  of which the kernel's (system time, to 10 ms): agent %.0f us, floors %.0f, %.0f, %.0f us\n",
            perBatch(r.agentSystem, r.batches), perBatch(r.floorSystem[0], expected),
            perBatch(r.floorSystem[1], expected), perBatch(r.floorSystem[2], expected));
        std::fflush(stdout);
        measured.push_back(r);
    }

    std::vector<double> agent, ratios[3];
    for (const Round& r : measured) {
        agent.push_back(1e6 * r.agentCpu / static_cast<double>(r.batches));
        for (std::size_t f = 0; f < 3; ++f) ratios[f].push_back(r.agentCpu / r.floorCpu[f]);
    }
    const double ratio = Median(ratios[0]);
    std::printf(
        "median of %d rounds: agent %.0f us per batch; ratio agent/floor %.2f (goal <= 1.20: %s), "
        "agent/durable floor %.2f, agent/durable floor paced like the daemon %.2f\n",
        rounds, Median(agent), ratio, ratio <= 1.20 ? "met" : "missed", Median(ratios[1]), Median(ratios[2]));
    curl_global_cleanup();
    return 0;
}
