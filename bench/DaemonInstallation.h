// One daemon installation for the benchmarks that run the real processes: a folder with the
// demo's certificates, a collector with mutual TLS on a loopback port (its own process), the
// policy and host config of a set of datasets, and datasyncd started on them.
//
// Needs COLLECTOR_PATH and DATASYNCD_PATH (the benchmark's compile definitions) and
// datasyncctl's demo library with CollectorStatsClient.
//
// Lifetime: the destructor stops the daemon, then the collector, and removes the folder.
// Thread safety: one object belongs to one thread.
#pragma once

#include <json/json.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "datasyncctl/CollectorStatsClient.h"
#include "datasyncctl/DemoCertificates.h"
#include "datasyncctl/DemoFiles.h"
#include "datasyncctl/DemoProcess.h"
#include "datasyncctl/TelemetryRowWriter.h"

namespace bench {

inline const char* const kBenchDeviceId = "bench-device";

// A fresh folder /tmp/datasync-`name`-XXXXXX/ (ends with '/').
inline std::string MakeBenchFolder(const char* name) {
    std::string pattern = std::string("/tmp/datasync-") + name + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern + "/";
}

// `count` near-real-time KTA datasets named `prefix`<n>, then the device context (KTA).
inline std::vector<datasyncctl::DemoDataset> KtaDatasets(int count, const char* prefix = "Watched") {
    std::vector<datasyncctl::DemoDataset> datasets;
    for (int n = 0; n < count; ++n) {
        datasyncctl::DemoDataset dataset;
        char id[40];
        std::snprintf(id, sizeof id, "F00D0000-0000-4000-8000-%012d", n);
        dataset.id = id;
        dataset.name = prefix + std::to_string(n);
        dataset.syncEPs = "KTA";
        dataset.frequency = "nrt";
        dataset.families = {"kta"};
        datasets.push_back(dataset);
    }
    datasyncctl::DemoDataset context = datasyncctl::DemoDatasets(1, "30s")[2];
    context.syncEPs = "KTA";
    context.families = {"kta"};
    datasets.push_back(context);
    return datasets;
}

class Installation {
public:
    using Clock = std::chrono::steady_clock;

    explicit Installation(const char* name) : m_folder(MakeBenchFolder(name)), m_layout(m_folder) {
        for (const std::string& sub : {m_layout.pkiDir, m_layout.collectorDir, m_layout.serviceDir})
            datasyncctl::MakeFolders(sub);
        m_pki = datasyncctl::GenerateDemoPki(m_layout.pkiDir, kBenchDeviceId);
        m_collector = std::make_unique<datasyncctl::DemoProcess>(
            "datasync-collector",
            std::vector<std::string>{COLLECTOR_PATH, "--listen", "127.0.0.1:0", "--cert", m_pki.serverCert,
                                     "--key", m_pki.serverKey, "--client-ca", m_pki.caCert, "--record",
                                     m_layout.recordFile},
            m_layout.collectorDir + "collector.out", m_layout.collectorDir + "collector.err");
        m_port = WaitForPort();
        m_stats = std::make_unique<datasyncctl::CollectorStatsClient>(Origin(), m_pki.caCert,
                                                                      m_pki.clientCert, m_pki.clientKey);
    }
    ~Installation() {
        if (m_daemon) m_daemon->Stop(std::chrono::seconds(15));
        m_collector->Stop(std::chrono::seconds(5));
        std::filesystem::remove_all(m_folder);
    }
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;

    const datasyncctl::DemoLayout& layout() const { return m_layout; }
    const datasyncctl::DemoPki& pki() const { return m_pki; }
    bool ok() const { return m_port != 0; }
    // "https://127.0.0.1:<port>", the collector's.
    std::string Origin() const { return "https://127.0.0.1:" + std::to_string(m_port); }

    // Writes the config (the daemon logging at `logLevel`) and the policy of `datasets`, and the
    // device context's row; returns the device context id.
    std::string Prepare(const std::vector<datasyncctl::DemoDataset>& datasets,
                        const std::string& logLevel = "debug") {
        datasyncctl::WriteTextFile(m_layout.policyFile, datasyncctl::PolicyText(datasets, m_port), 0644);
        Json::Value config;
        std::string errors;
        const std::string text = datasyncctl::HostConfigText(m_layout, m_pki, kBenchDeviceId);
        std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
        reader->parse(text.data(), text.data() + text.size(), &config, &errors);
        config["log_level"] = logLevel;
        datasyncctl::WriteTextFile(m_layout.hostConfig,
                                   Json::writeString(Json::StreamWriterBuilder(), config), 0600);
        const std::string contextId = datasyncctl::RandomUuid();
        datasyncctl::TelemetryRowWriter(m_layout.serviceDir + "DeviceContext.sqlite3", "DeviceContext")
            .Insert(datasyncctl::DeviceContextJson(kBenchDeviceId, contextId));
        return contextId;
    }
    // Starts datasyncd; `wrapper` (a program's full path and its options, e.g. valgrind's) runs it.
    // The daemon gets the environment the service unit gives it: GnuTLS not set up at load.
    pid_t StartDaemon(std::vector<std::string> wrapper = {}) {
        ::setenv("GNUTLS_NO_IMPLICIT_INIT", "1", 1);
        for (const std::string& arg :
             {std::string(DATASYNCD_PATH), std::string("--config"), m_layout.hostConfig})
            wrapper.push_back(arg);
        m_daemon = std::make_unique<datasyncctl::DemoProcess>(
            "datasyncd", wrapper, m_folder + "datasyncd.out", m_folder + "datasyncd.err");
        return m_daemon->Pid();
    }
    const std::string& folder() const { return m_folder; }
    // KTA batches the collector accepted; -1 when it cannot tell.
    long Accepted() {
        Json::Value stats;
        std::string error;
        return m_stats->Fetch(stats, error) ? static_cast<long>(stats["kta"]["accepted"].asInt64()) : -1;
    }
    // Polls every `step` until the collector accepted `batches` KTA batches; false after `limit`.
    bool WaitForAccepted(long batches, Clock::duration limit,
                         std::chrono::milliseconds step = std::chrono::milliseconds(100)) {
        const auto deadline = Clock::now() + limit;
        while (Accepted() < batches) {
            if (Clock::now() > deadline || !m_daemon->Running()) return false;
            std::this_thread::sleep_for(step);
        }
        return true;
    }

private:
    int WaitForPort() {
        const std::string prefix = "listening on 127.0.0.1:";
        for (int n = 0; n < 300 && m_collector->Running(); ++n) {
            const std::string out = datasyncctl::ReadTextFile(m_collector->OutFile());
            const std::size_t at = out.find(prefix);
            if (at != std::string::npos && out.find('\n', at) != std::string::npos)
                return std::stoi(out.substr(at + prefix.size()));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return 0;
    }

    std::string m_folder;
    datasyncctl::DemoLayout m_layout;
    datasyncctl::DemoPki m_pki;
    std::unique_ptr<datasyncctl::DemoProcess> m_collector;
    std::unique_ptr<datasyncctl::DemoProcess> m_daemon;
    std::unique_ptr<datasyncctl::CollectorStatsClient> m_stats;
    int m_port = 0;
};

}  // namespace bench
