// The scheduler's steady-state cost:
//
//   BM_TimerPassNothingDue   one 2-second timer pass over 500 scheduled datasets whose files
//                            exist and whose interval has not come: CPU time per pass, and the
//                            data-store calls it made (must be 0: no database file is touched)
//   idle daemon              datasyncd with the same policy, online, nothing to send: CPU time
//                            and resident memory over --idle-seconds (default 60)
//
//   build/bench/scheduling_bench [--idle-seconds=N]
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "ProcessFigures.h"
#include "datasync/common/StringUtil.h"
#include "linuxhost/datastore/DataStore.h"
#include "linuxhost/HostFolders.h"
#include "linuxhost/datastore/HostStores.h"
#include "support/PreparedComponents.h"
#include "support/FakeConfigAgent.h"
#include "support/PreparedComponents.h"
#include "support/RealHost.h"
#include "support/TelemetryWriter.h"

namespace {

constexpr int kDatasets = 500;

// Counts every call into the data store (each opens or reads a database file) and forwards it.
class CountingStore : public ZEL::EventDataLogging {
public:
    explicit CountingStore(ZEL::EventDataLogging* real) : m_real(real) {}
    std::atomic<long> calls{0};

    ZEL::DatabasePtr GetDatabase(const std::wstring& p, bool c, bool r) override {
        ++calls;
        return m_real->GetDatabase(p, c, r);
    }
    std::int64_t GetFirstID(const std::wstring& d, const std::wstring& t, ZEL::utility::EGetDBPathMethod m) override {
        ++calls;
        return m_real->GetFirstID(d, t, m);
    }
    std::int64_t GetLastID(const std::wstring& d, const std::wstring& t, ZEL::utility::EGetDBPathMethod m) override {
        ++calls;
        return m_real->GetLastID(d, t, m);
    }
    std::string GetLastLogtime(const std::wstring& d, const std::wstring& t, ZEL::utility::EGetDBPathMethod m) override {
        ++calls;
        return m_real->GetLastLogtime(d, t, m);
    }
    int GetLastDeviceContext(ZEL::DeviceContext* c, int f) override {
        ++calls;
        return m_real->GetLastDeviceContext(c, f);
    }
    std::wstring ToDbFile(const std::wstring& d, const std::wstring& k) override { return m_real->ToDbFile(d, k); }
    std::wstring GetDatasetId(const std::wstring& n) override { return m_real->GetDatasetId(n); }
    bool UpdateItemDataEncryted(std::int64_t a, std::int64_t b, int m) override {
        return m_real->UpdateItemDataEncryted(a, b, m);
    }
    void mark_integrity_check_all() override { m_real->mark_integrity_check_all(); }

private:
    ZEL::EventDataLogging* m_real;
};

std::string DatasetId(int n) {
    char id[40];
    std::snprintf(id, sizeof id, "6F1C2D3E-0000-4000-8000-%012d", n);
    return id;
}

std::string MakeBase() {
    std::string pattern = "/tmp/datasync-sched-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    const std::string base = pattern + "/";
    for (const char* sub : {"db", "shared", "local", "log", "state"}) std::filesystem::create_directories(base + sub);
    return base;
}

// 500 scheduled datasets (one hour) to KTA, each with a file of a few rows.
ZEL::TelemetryPolicy Policy() {
    ZEL::TelemetryPolicy policy;
    policy.telemetryScope = L"All";
    policy.syncEndpointUrls = {{L"KTA_syncEP_url", L"https://127.0.0.1:9/kta/"}};
    for (int n = 0; n < kDatasets; ++n) {
        ZEL::DataSet dataset = testsupport::MakeDataSet(ZEL::String::UTF8ToUTF16(DatasetId(n)), L"Data", L"KTA", L"1h");
        dataset.set_include_events({L"ALL"});
        policy.datasets.push_back(dataset);
    }
    return policy;
}

void WriteDatabases(const std::string& folder) {
    for (int n = 0; n < kDatasets; ++n) {
        testsupport::TelemetryWriter table(folder + DatasetId(n) + "_ItemEvent.sqlite3", "ItemEvent");
        for (int row = 0; row < 3; ++row) table.Insert(testsupport::ItemEventJson(DatasetId(n), "i"));
    }
    // As on a device that has run a while: the folders last changed a minute ago.
    const auto aMinuteAgo = std::filesystem::file_time_type::clock::now() - std::chrono::minutes(1);
    std::filesystem::last_write_time(folder, aMinuteAgo);
}

void BM_TimerPassNothingDue(benchmark::State& state) {
    const std::string base = MakeBase();
    ZEL::linuxhost::InstallHostFolders({base + "db/", base + "shared/", base + "local/", base + "log/", base + "state/"});
    ZEL::linuxhost::InstallHostStores();
    WriteDatabases(base + "db/");
    testsupport::InstallRealHost();
    auto config = std::make_shared<testsupport::FakeConfigAgent>();
    config->SetPolicy(Policy());
    zel::AgentFactory::GetInstance()->SetConfigPolicyAgent(config);
    CountingStore store(ZEL::EventDataLogging::GetInstance());
    ZEL::EventDataLogging::SetInstance(&store);
    {
        testsupport::PreparedComponents prepared(Policy());
        ZEL::DataSync::TimerSync& timer = prepared.c.timer;
        timer.DoTimerPost(L"");  // creates the 500 records (reads each file once)
        store.calls = 0;
        for (auto _ : state) timer.DoTimerPost(L"");
        state.counters["db_calls_per_pass"] = static_cast<double>(store.calls) / state.iterations();
        state.counters["records"] = kDatasets;
    }
    ZEL::EventDataLogging::SetInstance(nullptr);
    std::filesystem::remove_all(base);
}
BENCHMARK(BM_TimerPassNothingDue)->Unit(benchmark::kMicrosecond);

void MeasureIdleDaemon(int seconds) {
#ifdef DATASYNCD_PATH
    const std::string base = MakeBase();
    WriteDatabases(base + "db/");
    std::ofstream(base + "policy.json") << [] {
        std::string datasets;
        for (int n = 0; n < kDatasets; ++n) {
            datasets += std::string(n ? "," : "") + R"({"dataset_id":")" + DatasetId(n) +
                        R"(","dataset_name":"Data","dataset_enable":true,"syncEPs":"KTA","syncEP_frequency":"1h",)"
                        R"("include_events":["ALL"]})";
        }
        return R"({"telemetry_scope":"All","sync_endpoint_urls":{"KTA_syncEP_url":"https://127.0.0.1:9/kta/"},)"
               R"("datasets":[)" + datasets + "]}";
    }();
    std::ofstream(base + "host.json") << R"({"service_db_dir":")" << base << R"(db/","shared_db_dir":")" << base
                                      << R"(shared/","local_db_dir":")" << base << R"(local/","log_dir":")" << base
                                      << R"(log/","state_dir":")" << base << R"(state/","policy_file":")" << base
                                      << R"(policy.json","log_level":"info","device":{"online":true,"registered":true}})";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(DATASYNCD_PATH, DATASYNCD_PATH, "--config", (base + "host.json").c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::seconds(5));  // start-up and the first passes
    const double before = bench::CpuSeconds(pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double used = bench::CpuSeconds(pid) - before;
    std::printf("idle datasyncd, %d scheduled datasets, over %d s: CPU %.3f s (%.2f%% of one core), RSS %ld KiB\n",
                kDatasets, seconds, used, 100.0 * used / seconds, bench::ResidentKiB(pid));
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    std::filesystem::remove_all(base);
#else
    (void)seconds;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    int idleSeconds = 60;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--idle-seconds=", 15) == 0) idleSeconds = std::atoi(argv[i] + 15);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (idleSeconds > 0) MeasureIdleDaemon(idleSeconds);
    return 0;
}
