// The cost of one uploaded batch of 10 item events, agent against a floor, in one run:
//
//   agent: SyncAgentsHelper::doPost — bookmark read, batch read, include filter, body, POST over
//          mutual TLS to the collector on loopback, bookmark write
//   floor: the same work written directly on the libraries: one sqlite3 select of the same 10
//          rows (rows decoded with jsoncpp), the same body built with jsoncpp, the same libcurl
//          POST on a kept-alive mutual-TLS connection; no bookmark
//
//   build/bench/upload_bench            (prints the CPU time per batch of both, on the posting
//                                        thread, and the ratio agent / floor; wall times too)
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

#include "datasync-collector/Collector.h"
#include "datasync/common/StringUtil.h"
#include "datasync/host/ConfigPolicy.h"
#include "datasync/store/RecordCodec.h"
#include "datasync/upload/SyncAgentsHelper.h"
#include "linuxhost/HostFolders.h"
#include "linuxhost/datastore/HostStores.h"
#include "linuxhost/HostState.h"
#include "linuxhost/datastore/SqliteHandles.h"
#include "linuxhost/logging/FileLogging.h"
#include "linuxhost/transport/CurlTransport.h"
#include "support/FakeConfigAgent.h"
#include "support/RealHost.h"
#include "support/TelemetryWriter.h"
#include "support/TestCertificates.h"

namespace {

using namespace ZEL;

constexpr int kBatches = 1500;  // per benchmark run; the table holds enough rows for a few runs
const std::string kDataset = "6F1C2D3E-0000-4000-8000-000000000001";

struct World {
    std::string folder;
    std::unique_ptr<testsupport::TestCertificates> certificates;
    std::unique_ptr<collector::Collector> server;
    std::string url;
    std::string table;
    linuxhost::CurlTransport transport;
    std::shared_ptr<testsupport::FakeConfigAgent> config = std::make_shared<testsupport::FakeConfigAgent>();
    double agentSeconds = 0;
    double floorSeconds = 0;
    double agentCpuSeconds = 0;
    double floorCpuSeconds = 0;
};

// CPU time of the calling thread: the posting thread does all of a batch's work (the collector
// answers on threads of its own).
double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

World& TheWorld() {
    static World* world = [] {
        auto* w = new World;
        std::string pattern = "/tmp/datasync-upload-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        w->folder = pattern + "/";
        for (const char* sub : {"service", "shared", "local", "log", "state", "pki"})
            std::filesystem::create_directories(w->folder + sub);
        linuxhost::InstallHostFolders({w->folder + "service/", w->folder + "shared/", w->folder + "local/",
                                       w->folder + "log/", w->folder + "state/"});
        ZEL::linuxhost::InstallHostStores();
        linuxhost::ConfigureFileLogging(w->folder + "log", LogLevel::Info);  // as a daemon runs

        w->certificates = std::make_unique<testsupport::TestCertificates>(w->folder + "pki/");
        collector::CollectorOptions options;
        options.certFile = w->certificates->server.cert;
        options.keyFile = w->certificates->server.key;
        options.clientCaFile = w->certificates->caCert;
        options.recordFile = w->folder + "record.jsonl";
        w->server = std::make_unique<collector::Collector>(options);
        w->server->Start();
        w->url = "https://127.0.0.1:" + std::to_string(w->server->Port()) + "/kta/";

        linuxhost::TlsSettings tls;
        tls.ca_file = w->certificates->caCert;
        tls.client_cert = w->certificates->client.cert;
        tls.client_key = w->certificates->client.key;
        linuxhost::InstallTlsSettings(tls);
        testsupport::InstallRealHost();
        CoreUtility::SetInstance(&w->transport);

        TelemetryPolicy policy;
        DataSet dataset = testsupport::MakeDataSet(String::UTF8ToUTF16(kDataset), L"CPUEvent", L"KTA", L"nrt");
        dataset.set_include_events({L"ALL"});
        policy.datasets.push_back(dataset);
        w->config->SetPolicy(policy);
        zel::AgentFactory::GetInstance()->SetConfigPolicyAgent(w->config);

        DeviceContext context;
        context.set_device_context_id(L"dc-1");
        context.mutable_device_info().set_device_id(L"device-1");
        std::wstring json;
        JsonSerialize::Serialize(context, json);
        testsupport::TelemetryWriter(w->folder + "service/DeviceContext.sqlite3", "DeviceContext")
            .Insert(String::UTF16ToUTF8(json));

        w->table = w->folder + "service/" + kDataset + "_ItemEvent.sqlite3";
        testsupport::TelemetryWriter events(w->table, "ItemEvent");
        events.Exec("BEGIN");
        for (int id = 1; id <= 10 * kBatches * 4; ++id) {
            events.Insert(testsupport::ItemEventJson(kDataset, "i" + std::to_string(id),
                                                     R"("item_time":"2026-12-06T10:00:00",)"
                                                     R"("dataset_context_id":"dsc-1","device_context_id":"dc-1",)"
                                                     R"("item_data":{"cpu":"42","state":"{\"a\":1}"})"));
        }
        events.Exec("COMMIT");
        return w;
    }();
    return *world;
}

void BM_AgentBatch(benchmark::State& state) {
    World& world = TheWorld();
    DataSync::SyncAgentsHelper helper(String::UTF8ToUTF16(kDataset), String::UTF8ToUTF16(world.url),
                                      DataSync::SYNC_ITEM_EVENT, L"KTA", utility::DB_PATH_INTERNAL);
    ZELCore::InvokeHttpResponse response;
    const double cpuStart = ThreadCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (helper.doPost(response) != 0) {
            state.SkipWithError("doPost did not post a batch");
            break;
        }
    }
    world.agentSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    world.agentCpuSeconds = ThreadCpuSeconds() - cpuStart;
}

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

// The body the agent builds for a batch, on jsoncpp directly.
std::string FloorBody(sqlite3_stmt* select, Json::CharReader& reader) {
    Json::Value root(Json::objectValue);
    root["device_id"] = "device-1";
    root["device_context_id"] = "dc-1";
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
            data[key] = reader.parse(value.data(), value.data() + value.size(), &parsed, &errors) ? parsed
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

void BM_FloorBatch(benchmark::State& state) {
    World& world = TheWorld();
    std::string openError;
    const ZEL::linuxhost::SqliteDatabase db = ZEL::linuxhost::OpenSqliteReadOnly(world.table, openError);
    CURL* curl = curl_easy_init();
    const linuxhost::TlsSettings tls = linuxhost::CurrentTlsSettings();
    const std::string url = world.url + "events-data";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, tls.ca_file.c_str());
    curl_easy_setopt(curl, CURLOPT_SSLCERT, tls.client_cert.c_str());
    curl_easy_setopt(curl, CURLOPT_SSLKEY, tls.client_key.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Discard);
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());

    std::int64_t next = 1;
    const double cpuStart = ThreadCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const ZEL::linuxhost::SqliteStatement select = ZEL::linuxhost::PrepareSqlite(
            db.get(), "select id,data from ItemEvent where id>=? and id<? order by id asc");
        sqlite3_bind_int64(select.get(), 1, next);
        sqlite3_bind_int64(select.get(), 2, next + 10);
        const std::string body = FloorBody(select.get(), *reader);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
        long status = 0;
        if (curl_easy_perform(curl) != CURLE_OK ||
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200) {
            state.SkipWithError("the floor's POST failed");
            break;
        }
        next += 10;
    }
    world.floorSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    world.floorCpuSeconds = ThreadCpuSeconds() - cpuStart;
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
}

}  // namespace

BENCHMARK(BM_FloorBatch)->Iterations(kBatches)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AgentBatch)->Iterations(kBatches)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    World& world = TheWorld();
    if (world.agentSeconds > 0 && world.floorSeconds > 0) {
        const double ratio = world.agentCpuSeconds / world.floorCpuSeconds;
        std::printf("CPU per batch of 10: agent %.0f us, floor %.0f us, ratio agent/floor %.2f (goal <= 1.20: %s)\n",
                    1e6 * world.agentCpuSeconds / kBatches, 1e6 * world.floorCpuSeconds / kBatches, ratio,
                    ratio <= 1.20 ? "met" : "missed");
        std::printf("wall per batch of 10: agent %.0f us, floor %.0f us, ratio %.2f\n", 1e6 * world.agentSeconds / kBatches,
                    1e6 * world.floorSeconds / kBatches, world.agentSeconds / world.floorSeconds);
    }
    world.server->Stop();
    linuxhost::ShutdownFileLogging();
    std::filesystem::remove_all(world.folder);
    benchmark::Shutdown();
    return 0;
}
