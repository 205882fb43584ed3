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
//
//   build/bench/upload_bench [--datasets=N] [--rows=N] [--idle-seconds=N]
//                            [--callgrind=FILE]  the daemon runs under callgrind, its counts zeroed
//                                                at the window's start and dumped to FILE at its
//                                                end (the CPU figures then mean nothing); for the
//                                                floor's counts run the bench itself under
//                                                valgrind --tool=callgrind
//                                                --toggle-collect='*RunFloor(*FloorOrder)' (a
//                                                pattern that also matched the batch lambda inside
//                                                would toggle collection off within it)
#include <curl/curl.h>
#include <json/json.h>
#include <sqlite3.h>
#include <unistd.h>

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

// The floor over `files` of `rows` rows each; the batches posted, or -1 when a post or a
// bookmark write failed. With `bookmarks`, each accepted batch moves its file's bookmark.
__attribute__((noinline)) long RunFloor(const bench::Installation& installation,
                                        const std::vector<std::string>& files, int rows,
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
    if (order == FloorOrder::FileByFile) {
        for (std::size_t n = 0; n < files.size(); ++n)
            for (std::int64_t next = 1; next <= rows && batches >= 0; next += kBatchRows)
                batches = batch(n, next) ? batches + 1 : -1;
    } else {
        for (std::int64_t next = 1; next <= rows && batches >= 0; next += kBatchRows) {
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

}  // namespace

int main(int argc, char** argv) {
    int datasetCount = 20;
    int rows = 300;
    int idleSeconds = 4;
    std::string callgrindFile;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--datasets=", 11) == 0) datasetCount = std::atoi(argv[i] + 11);
        if (std::strncmp(argv[i], "--rows=", 7) == 0) rows = std::atoi(argv[i] + 7);
        if (std::strncmp(argv[i], "--idle-seconds=", 15) == 0) idleSeconds = std::atoi(argv[i] + 15);
        if (std::strncmp(argv[i], "--callgrind=", 12) == 0) callgrindFile = argv[i] + 12;
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
    // The start-up's own work (scan, first timer passes) ends; then the idle rate.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const double idleCpuStart = bench::CpuSeconds(pid);
    const auto idleStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const double idleRate = (bench::CpuSeconds(pid) - idleCpuStart) / Seconds(Clock::now() - idleStart);

    const long base = installation.Accepted();
    const long expected = static_cast<long>(datasetCount) * ((rows + kBatchRows - 1) / kBatchRows);
    if (!callgrindFile.empty()) RunCallgrindControl("-z", pid);
    const double cpuStart = bench::CpuSeconds(pid);
    const double systemStart = bench::SystemCpuSeconds(pid);
    const auto start = Clock::now();
    const std::string logtime = datasyncctl::TelemetryRowWriter::LocalTimeNow();
    for (int n = 0; n < datasetCount; ++n) {
        const datasyncctl::DemoDataset& dataset = datasets[static_cast<std::size_t>(n)];
        bench::FillItemEvents(
            files[static_cast<std::size_t>(n)], rows,
            [&](std::int64_t row) {
                return datasyncctl::ItemEventJson(dataset.id, dataset.name,
                                                  dataset.ItemId(static_cast<int>(row)), contextId,
                                                  static_cast<int>(row));
            },
            [&](std::int64_t) { return logtime; });
    }
    if (!installation.WaitForAccepted(base + expected, limit, std::chrono::milliseconds(20))) {
        std::fprintf(stderr, "upload_bench: the collector accepted %ld of %ld batches\n",
                     installation.Accepted() - base, expected);
        return 1;
    }
    const double window = Seconds(Clock::now() - start);
    const double agentCpu = bench::CpuSeconds(pid) - cpuStart - idleRate * window;
    const double agentSystem = bench::SystemCpuSeconds(pid) - systemStart;
    if (!callgrindFile.empty()) RunCallgrindControl("-d", pid);
    const long batches = installation.Accepted() - base;

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
    double floorCpu[3] = {};
    double floorSystem[3] = {};
    for (std::size_t f = 0; f < 3; ++f) {
        const double floorCpuStart = bench::CpuSeconds(::getpid());
        const double floorSystemStart = bench::SystemCpuSeconds(::getpid());
        const long floorBatches =
            RunFloor(installation, files, rows, contextId, floors[f].bookmarks, floors[f].order);
        floorCpu[f] = bench::CpuSeconds(::getpid()) - floorCpuStart;
        floorSystem[f] = bench::SystemCpuSeconds(::getpid()) - floorSystemStart;
        if (floorBatches != expected) {
            std::fprintf(stderr, "upload_bench: the %s posted %ld of %ld batches\n", floors[f].name,
                         floorBatches, expected);
            return 1;
        }
    }

    std::printf(
        "drain of %d KTA datasets x %d rows, log level info: %ld batches accepted in %.2f s "
        "(window: row writes, file notifications, drain, timer passes; idle %.2f ms/s subtracted)\n",
        datasetCount, rows, batches, window, 1e3 * idleRate);
    const double ratio = agentCpu / floorCpu[0];
    std::printf(
        "CPU per batch of %d: agent (datasyncd) %.0f us, floor %.0f us, ratio agent/floor %.2f "
        "(goal <= 1.20: %s)\n",
        kBatchRows, 1e6 * agentCpu / static_cast<double>(batches),
        1e6 * floorCpu[0] / static_cast<double>(expected), ratio, ratio <= 1.20 ? "met" : "missed");
    for (std::size_t f = 1; f < 3; ++f)
        std::printf("%s: %.0f us, ratio agent/it %.2f\n", floors[f].name,
                    1e6 * floorCpu[f] / static_cast<double>(expected), agentCpu / floorCpu[f]);
    std::printf("of which the kernel's (system time, to 10 ms): agent %.0f us, floors %.0f, %.0f, %.0f us\n",
                1e6 * agentSystem / static_cast<double>(batches),
                1e6 * floorSystem[0] / static_cast<double>(expected),
                1e6 * floorSystem[1] / static_cast<double>(expected),
                1e6 * floorSystem[2] / static_cast<double>(expected));
    curl_global_cleanup();
    return 0;
}
