// Reading one upload batch (10 rows by id range) must cost the same whatever the table size:
// the select is bounded by the id range, so a large table is never scanned whole.
//
//   build/bench/store_bench --benchmark_counters_tabular=true
// compares tables of 10 thousand and 1 million rows (the 1M table takes a few seconds to fill).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "BulkRows.h"
#include "datasync/common/WellKnownIds.h"
#include "linuxhost/datastore/SqliteTelemetryTables.h"
#include "linuxhost/HostFolders.h"

namespace {

using namespace ZEL;

const std::string kPrefix = "6F1C2D3E-0000-4000-8000-";

std::string Folder() {
    static const std::string folder = [] {
        std::string pattern = "/tmp/datasync-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        std::atexit([] { std::filesystem::remove_all(Folder()); });
        return pattern + "/";
    }();
    return folder;
}

// The dataset id whose ItemEvent table holds `rows` rows, created on first use.
std::string DatasetWithRows(std::int64_t rows) {
    static std::map<std::int64_t, std::string> made;
    auto found = made.find(rows);
    if (found != made.end()) return found->second;
    char suffix[16];
    std::snprintf(suffix, sizeof(suffix), "%012lld", static_cast<long long>(rows));
    const std::string dataset = kPrefix + suffix;
    const std::string path = Folder() + ZEL::DataSync::TelemetryFileName(dataset, "ItemEvent");
    bench::FillItemEvents(
        path, rows,
        [&](std::int64_t n) {
            return "{\"dataset_id\":\"" + dataset + "\",\"item_id\":\"CPU\",\"item_name\":\"load\"," +
                   "\"item_time\":\"2026-12-06T10:00:00\",\"item_data\":{\"value\":\"" + std::to_string(n % 100) +
                   "\"}}";
        },
        [](std::int64_t) { return std::string("2026-12-06T10:00:00"); });
    made[rows] = dataset;
    return dataset;
}

void BM_ReadBatchOf10(benchmark::State& state) {
    const std::int64_t rows = state.range(0);
    linuxhost::InstallHostFolders({Folder(), "", "", "", ""});
    const std::string dataset = DatasetWithRows(rows);
    const std::wstring datasetW(dataset.begin(), dataset.end());
    std::mt19937_64 random(42);
    std::uniform_int_distribution<std::int64_t> start(1, rows - 10);
    linuxhost::SqliteTelemetryTables tables;
    for (auto _ : state) {
        std::list<ItemEvent> batch;
        const DataSync::TableRead read =
            tables.Read({datasetW, ItemEvent::TypeName(), utility::DB_PATH_INTERNAL}, start(random), 10, batch);
        if (read.status != DataSync::ReadStatus::Rows || batch.size() != 10) state.SkipWithError("batch read failed");
        benchmark::DoNotOptimize(batch);
    }
    state.counters["rows"] = static_cast<double>(rows);
}

BENCHMARK(BM_ReadBatchOf10)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
