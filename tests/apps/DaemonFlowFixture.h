// What the end-to-end tests share: a private folder laid out like the demo's, the real
// datasync-collector (mutual TLS on loopback, optional fault rules), the real datasyncd, the
// datasyncctl client, and the tally of what the collector accepted. A test sets m_pki (and its
// policy and host config) before it starts the processes.
#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "LineClient.h"
#include "datasyncctl/DemoCertificates.h"
#include "datasyncctl/DemoFiles.h"
#include "datasyncctl/DemoProcess.h"
#include "datasyncctl/TelemetryRowWriter.h"
#include "datasyncctl/UploadTally.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace appstest {

// Polls `condition` every `interval` (it reads files) until it holds or `timeout` passes.
template <typename Condition>
bool Poll(Condition condition, std::chrono::milliseconds timeout,
          std::chrono::milliseconds interval = std::chrono::milliseconds(100)) {
    return testsupport::WaitUntil(
        [&] {
            if (condition()) return true;
            std::this_thread::sleep_for(interval);
            return false;
        },
        timeout);
}

class DaemonFlow : public ::testing::Test {
protected:
    // The folders, the demo's certificates for `deviceId` (unless m_pki is set already), the
    // collector started with `faults` and `options`, the policy of `datasets` and the host config
    // (changed by `edit`) in place.
    void Lay(const std::string& deviceId, const std::vector<datasyncctl::DemoDataset>& datasets,
             const std::vector<std::string>& faults = {}, const std::function<void(Json::Value&)>& edit = {},
             const std::vector<std::string>& options = {}) {
        using namespace datasyncctl;
        for (const std::string& folder : {m_layout.pkiDir, m_layout.collectorDir, m_layout.serviceDir})
            MakeFolders(folder);
        if (m_pki.caCert.empty()) m_pki = GenerateDemoPki(m_layout.pkiDir, deviceId);
        ASSERT_NO_FATAL_FAILURE(StartCollector(faults, options));
        WriteTextFile(m_layout.policyFile, PolicyText(datasets, m_port), 0644);
        Json::Value config;
        std::istringstream(HostConfigText(m_layout, m_pki, deviceId)) >> config;
        if (edit) edit(config);
        WriteTextFile(m_layout.hostConfig, config.toStyledString(), 0600);
    }

    // Starts the collector with `faults` (and `options`, e.g. a seed) on a free port, or again on
    // the port of the last one (its policy stays valid). Output files are numbered per start.
    void StartCollector(const std::vector<std::string>& faults = {}, const std::vector<std::string>& options = {}) {
        using datasyncctl::ReadTextFile;
        std::vector<std::string> argv{COLLECTOR_PATH,   "--listen", "127.0.0.1:" + std::to_string(m_port),
                                      "--cert",         m_pki.serverCert,
                                      "--key",          m_pki.serverKey,
                                      "--client-ca",    m_pki.caCert,
                                      "--record",       m_layout.recordFile};
        for (const std::string& fault : faults) argv.insert(argv.end(), {"--fault", fault});
        argv.insert(argv.end(), options.begin(), options.end());
        m_collector.reset();
        const std::string files = m_layout.collectorDir + "collector" + std::to_string(++m_collectorStarts);
        m_collector =
            std::make_unique<datasyncctl::DemoProcess>("datasync-collector", argv, files + ".out", files + ".err");
        const std::string prefix = "listening on 127.0.0.1:";
        std::string out;
        const auto listening = [&] {
            out = ReadTextFile(m_collector->OutFile());
            return out.find('\n', out.find(prefix)) != std::string::npos;
        };
        ASSERT_TRUE(Poll([&] { return listening() || !m_collector->Running(); }, std::chrono::seconds(15)) &&
                    listening())
            << out << ReadTextFile(m_collector->ErrFile());
        m_port = std::stoi(out.substr(out.find(prefix) + prefix.size()));
    }

    // Starts datasyncd with the host config in place (through m_daemonWrapper when one is set)
    // and waits until its control socket answers.
    void StartDaemon(const std::string& name = "datasyncd") {
        m_daemon.reset();
        std::vector<std::string> argv{DATASYNCD_PATH, "--config", m_layout.hostConfig};
        if (!m_daemonWrapper.empty()) argv.insert(argv.begin(), m_daemonWrapper);
        m_daemon = std::make_unique<datasyncctl::DemoProcess>("datasyncd", argv, m_dir.path() + name + ".out",
                                                              m_dir.path() + name + ".err");
        const auto answer = LineClient::RequestWhenUp(m_layout.stateDir + "control.sock", R"({"cmd":"status"})",
                                                      std::chrono::seconds(30));
        ASSERT_TRUE(answer && answer->find("\"ok\":true") != std::string::npos)
            << name << ": " << answer.value_or("no answer") << datasyncctl::ReadTextFile(m_daemon->ErrFile());
    }

    Finished Ctl(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{DATASYNCCTL_PATH, "--state-dir", m_layout.stateDir};
        argv.insert(argv.end(), args.begin(), args.end());
        return appstest::Run(argv, m_dir.path());
    }

    // The "status" member of `datasyncctl status --json`.
    Json::Value Status() const {
        Json::Value answer;
        std::istringstream(Ctl({"status", "--json"}).out) >> answer;
        return answer["status"];
    }

    // How many lines of the agent's log hold `text`.
    int LogLines(const std::string& text) const {
        int count = 0;
        std::istringstream log(datasyncctl::ReadTextFile(m_layout.logDir + "DataSync.log"));
        for (std::string line; std::getline(log, line);) count += line.find(text) != std::string::npos ? 1 : 0;
        return count;
    }

    // The agent's error and warning lines, for failure messages.
    std::string AgentErrors() const {
        std::string lines = "\nerrors and warnings in DataSync.log:";
        std::istringstream log(datasyncctl::ReadTextFile(m_layout.logDir + "DataSync.log"));
        for (std::string line; std::getline(log, line) && lines.size() < 4000;)
            if (line.find(" [E] ") != std::string::npos || line.find(" [W] ") != std::string::npos)
                lines += "\n  " + line;
        return lines;
    }

    testsupport::TempDir m_dir;
    const datasyncctl::DemoLayout m_layout{m_dir.path()};
    datasyncctl::DemoPki m_pki;
    std::string m_daemonWrapper;  // a program that runs its arguments, e.g. confined (UnitConfinement.h)
    int m_port = 0;
    int m_collectorStarts = 0;
    std::unique_ptr<datasyncctl::DemoProcess> m_collector;  // declared before the daemon: outlives it
    std::unique_ptr<datasyncctl::DemoProcess> m_daemon;
    const std::string m_contextId = datasyncctl::RandomUuid();  // the device context's id
    datasyncctl::UploadTally m_tally{m_layout.recordFile, m_contextId};
};

}  // namespace appstest
