// What the end-to-end tests share: a private folder laid out like the demo's, the real
// datasync-collector (mutual TLS on loopback, optional fault rules), the real datasyncd, the
// datasyncctl client, and the tally of what the collector accepted.
#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <functional>
#include <map>

#include "ChildProcess.h"
#include "LineClient.h"
#include "datasyncctl/Pki.h"
#include "datasyncctl/TelemetryRowWriter.h"
#include "datasyncctl/UploadTally.h"
#include "linuxhost/datastore/BookmarkReader.h"
#include "support/TempDir.h"

namespace appstest {

using namespace datasyncctl;
using std::chrono::milliseconds;
using std::chrono::seconds;
using ZEL::linuxhost::Bookmark;
using ZEL::linuxhost::ReadBookmark;
using ZEL::linuxhost::SyncPointFileOf;

// Polls `condition` (it reads files) every `interval` until it holds or `timeout` passes.
template <typename Condition>
bool Poll(Condition condition, milliseconds timeout, milliseconds interval = milliseconds(100)) {
    return testsupport::WaitUntil(condition, timeout, interval);
}

inline Json::Value ParseJson(const std::string& text) {
    Json::Value value;
    std::istringstream(text) >> value;
    return value;
}

class DaemonFlow : public ::testing::Test {
protected:
    // The folders, the demo's certificates (unless m_pki is set), the collector started with
    // `faults` on a free port, the policy of `datasets` and the host config (changed by `edit`).
    void Lay(const std::vector<DemoDataset>& datasets, const std::vector<std::string>& faults = {},
             const std::function<void(Json::Value&)>& edit = {}) {
        for (const std::string& folder : {m_layout.pkiDir, m_layout.collectorDir, m_layout.serviceDir})
            MakeFolders(folder);
        if (m_pki.caCert.empty()) m_pki = GenerateDemoPki(m_layout.pkiDir, m_deviceId);
        std::vector<std::string> argv{COLLECTOR_PATH,   "--listen", "127.0.0.1:0",      "--cert",
                                      m_pki.serverCert, "--key",    m_pki.serverKey,    "--client-ca",
                                      m_pki.caCert,     "--record", m_layout.recordFile};
        for (const std::string& fault : faults) argv.insert(argv.end(), {"--fault", fault});
        const std::string log = m_layout.collectorDir + "collector";
        m_collector = std::make_unique<DemoProcess>("datasync-collector", argv, log + ".out", log + ".err");
        const std::string prefix = "listening on 127.0.0.1:";
        std::string out;
        const auto listening = [&] {
            return (out = ReadTextFile(m_collector->OutFile())).find('\n', out.find(prefix)) != out.npos;
        };
        ASSERT_TRUE(Poll([&] { return listening() || !m_collector->Running(); }, seconds(15)) && listening())
            << out << ReadTextFile(m_collector->ErrFile());
        m_port = std::stoi(out.substr(out.find(prefix) + prefix.size()));
        WriteTextFile(m_layout.policyFile, PolicyText(datasets, m_port), 0644);
        Json::Value config = ParseJson(HostConfigText(m_layout, m_pki, m_deviceId));
        if (edit) edit(config);
        WriteTextFile(m_layout.hostConfig, config.toStyledString(), 0600);
    }

    // Starts datasyncd with `args` (the host config in place when none; through m_daemonWrapper
    // when one is set) and the variables `env`, and waits until its control socket answers; m_up
    // holds that answer.
    void StartDaemon(std::vector<std::string> args = {}, const std::map<std::string, std::string>& env = {}) {
        if (args.empty()) args = {"--config", m_layout.hostConfig};
        args.insert(args.begin(), DATASYNCD_PATH);
        if (!m_daemonWrapper.empty()) args.insert(args.begin(), m_daemonWrapper);
        const std::string stem = m_dir.path() + "datasyncd";
        for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
        m_daemon = std::make_unique<DemoProcess>("datasyncd", args, stem + ".out", stem + ".err");
        for (const auto& [name, value] : env) ::unsetenv(name.c_str());
        m_up = LineClient::RequestWhenUp(m_layout.stateDir + "control.sock", R"({"cmd":"status"})", seconds(30))
                   .value_or("no answer");
        ASSERT_NE(m_up.find("\"ok\":true"), std::string::npos) << m_up << ReadTextFile(m_daemon->ErrFile());
    }

    void StopDaemon() { EXPECT_EQ(m_daemon->Stop(seconds(15)), "") << ReadTextFile(m_daemon->ErrFile()); }

    // Item rows `first`..`last` of `dataset`, or the device context row when it is one.
    void WriteRows(const DemoDataset& dataset, int first, int last) {
        TelemetryRowWriter rows(m_layout.serviceDir + dataset.DatabaseFile(),
                                dataset.deviceContext ? "DeviceContext" : "ItemEvent");
        if (dataset.deviceContext) rows.Insert(DeviceContextJson(m_deviceId, m_contextId));
        for (int n = first; n <= last && !dataset.deviceContext; ++n)
            rows.Insert(ItemEventJson(dataset.id, dataset.name, dataset.ItemId(n), m_contextId, n));
    }

    // Rows of `datasetId` that `family` accepted, after reading the collector's new records.
    int Accepted(const std::string& family, const std::string& datasetId) {
        std::string error;
        EXPECT_TRUE(m_tally.Poll(error)) << error;
        return m_tally.Accepted(family, datasetId);
    }

    // `member` of every request the collector answered for `family`, in arrival order.
    std::vector<std::string> Recorded(const std::string& family, const char* member = "status") const {
        std::vector<std::string> found;
        for (const std::string& line : Lines(ReadTextFile(m_layout.recordFile))) {
            const Json::Value entry = ParseJson(line);
            if (entry["family"].asString() == family) found.push_back(entry[member].asString());
        }
        return found;
    }

    Finished Ctl(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{DATASYNCCTL_PATH, "--state-dir", m_layout.stateDir};
        argv.insert(argv.end(), args.begin(), args.end());
        return appstest::Run(argv, m_dir.path());
    }

    std::string CtlOk(const std::vector<std::string>& args) const {
        const Finished run = Ctl(args);
        EXPECT_EQ(run.exitCode, 0) << args[0] << ": " << run.out << run.err;
        return run.out;
    }
    Json::Value Status() const { return ParseJson(Ctl({"status", "--json"}).out)["status"]; }

    // The agent's log lines holding `text`.
    std::vector<std::string> Log(const std::vector<std::string>& texts) const {
        std::vector<std::string> found;
        for (const std::string& line : Lines(ReadTextFile(m_layout.logDir + "DataSync.log")))
            if (std::any_of(texts.begin(), texts.end(), [&](auto& t) { return line.find(t) != std::string::npos; }))
                found.push_back(line);
        return found;
    }
    int LogLines(const std::string& text) const { return static_cast<int>(Log({text}).size()); }
    // The agent's error and warning lines, for failure messages.
    std::string AgentErrors() const {
        std::string lines = "\nerrors and warnings in DataSync.log:";
        for (const std::string& line : Log({" [E] ", " [W] "})) lines += lines.size() < 4000 ? "\n  " + line : "";
        return lines;
    }

    testsupport::TempDir m_dir;
    const DemoLayout m_layout{m_dir.path()};
    DemoPki m_pki;
    const std::string m_deviceId = "e2e-device-0001";
    std::string m_daemonWrapper;  // a program that runs its arguments, e.g. confined (UnitConfinement.h)
    int m_port = 0;
    std::unique_ptr<DemoProcess> m_collector;  // declared before the daemon: outlives it
    std::unique_ptr<DemoProcess> m_daemon;
    std::string m_up;  // the daemon's first status answer
    const std::string m_contextId = RandomUuid();  // the device context's id
    UploadTally m_tally{m_layout.recordFile, m_contextId};
};

}  // namespace appstest
