// The demo's run: set up, start the collector and the daemon, write rows while watching the
// uploads, stop everything, report.
#include "datasyncctl/Demo.h"

#include <unistd.h>

#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

#include "datasyncctl/CollectorStatsClient.h"
#include "datasyncctl/ControlClient.h"
#include "datasyncctl/DemoCertificates.h"
#include "datasyncctl/DemoFiles.h"
#include "datasyncctl/DemoProcess.h"
#include "datasyncctl/DemoReport.h"
#include "datasyncctl/DemoSupport.h"
#include "datasyncctl/TelemetryRowWriter.h"
#include "datasyncctl/UploadTally.h"
#include "linuxhost/datastore/BookmarkReader.h"

namespace datasyncctl {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

const char* const kDeviceId = "demo-device-0001";
// Caps of the start-up waits (the overall deadline may end them sooner).
constexpr seconds kCollectorStartLimit{15};
constexpr seconds kDaemonStartLimit{30};
// A daemon stops within a second or two; an upload in flight is aborted.
constexpr seconds kDaemonStopGrace{15};
constexpr seconds kCollectorStopGrace{5};
constexpr int kDefaultWriteSeconds = 10;

struct Interrupted {};

// "datasyncd exited with status 2 at start: <first line of its stderr> (output in FILE)".
std::string Ended(DemoProcess& child, const std::string& when) {
    const std::string said = child.FirstErrorLine();
    return child.Name() + " " + child.ExitDescription() + " " + when + ": " +
           (said.empty() ? std::string("it wrote no error") : said) + " (output in " + child.ErrFile() + ")";
}

void Say(const std::string& text) {
    std::printf("demo: %s\n", text.c_str());
    std::fflush(stdout);
}

class Demo {
public:
    Demo(const DemoOptions& options, const std::string& base, std::string daemonPath,
         std::string collectorPath)
        : m_options(options),
          m_layout(base),
          m_datasets(DemoDatasets(options.rows, options.scheduledFrequency)),
          m_written(m_datasets.size(), 0),
          m_deviceContextId(RandomUuid()),
          m_daemonPath(std::move(daemonPath)),
          m_collectorPath(std::move(collectorPath)),
          m_tally(m_layout.recordFile, m_deviceContextId),
          m_tty(::isatty(STDOUT_FILENO) == 1) {}

    ~Demo() { StopProcesses(); }

    int Run();
    // Stops the daemon, then the collector (taking the collector's last counts first). Safe
    // to call more than once.
    void StopProcesses();
    const DemoLayout& Layout() const { return m_layout; }

private:
    enum class End { Arrived, Deadline, Interrupted, ProcessEnded };

    double Elapsed() const { return std::chrono::duration<double>(Clock::now() - m_start).count(); }
    Clock::time_point StartDeadline(seconds limit) const {
        return std::min(Clock::now() + limit, m_deadline);
    }
    void CheckInterrupted() const {
        if (InterruptGuard::Interrupted()) throw Interrupted{};
    }

    void StartCollector();
    void WriteConfig();
    void StartDaemon();
    End WriteAndWait();
    void WriteRow(size_t dataset, int n);
    void PollTally();
    void FetchStats();
    void ShowProgress(const DemoReport& report);
    int Report(End end, double elapsed);

    const DemoOptions& m_options;
    const DemoLayout m_layout;
    const std::vector<DemoDataset> m_datasets;
    std::vector<int> m_written;
    const std::string m_deviceContextId;
    const std::string m_daemonPath;
    const std::string m_collectorPath;
    DemoPki m_pki;
    int m_port = 0;
    Clock::time_point m_start;
    Clock::time_point m_deadline;
    std::unique_ptr<DemoProcess> m_collector;  // declared before m_daemon: outlives it
    std::unique_ptr<DemoProcess> m_daemon;
    std::vector<std::unique_ptr<TelemetryRowWriter>> m_writers;  // one per dataset, opened on first use
    UploadTally m_tally;
    std::unique_ptr<CollectorStatsClient> m_stats;
    Json::Value m_lastStats;   // null until a fetch succeeded
    std::string m_statsError;  // the last fetch's failure, shown once
    bool m_statsErrorShown = false;
    std::vector<std::string> m_warnings;
    std::string m_ended;  // which child ended early, and how
    const bool m_tty;
    bool m_progressShown = false;
};

int Demo::Run() {
    m_start = Clock::now();
    m_deadline = m_start + seconds(m_options.timeout);
    Say("base folder " + m_layout.base);
    MakeFolders(m_layout.pkiDir);
    MakeFolders(m_layout.collectorDir);
    MakeFolders(m_layout.logDir);
    m_pki = GenerateDemoPki(m_layout.pkiDir, kDeviceId);
    Say("private CA, server and client certificates in " + m_layout.pkiDir);
    StartCollector();
    WriteConfig();
    StartDaemon();

    const End end = WriteAndWait();
    const double elapsed = Elapsed();
    if (m_progressShown && m_tty) std::printf("\n");
    Say("stopping datasyncd and datasync-collector");
    StopProcesses();
    PollTally();
    return Report(end, elapsed);
}

void Demo::StartCollector() {
    const std::vector<std::string> argv = {m_collectorPath,  "--listen", "127.0.0.1:0",      "--cert",
                                           m_pki.serverCert, "--key",    m_pki.serverKey,    "--client-ca",
                                           m_pki.caCert,     "--record", m_layout.recordFile};
    m_collector =
        std::make_unique<DemoProcess>("datasync-collector", argv, m_layout.collectorDir + "collector.out",
                                      m_layout.collectorDir + "collector.err");
    const std::string prefix = "listening on 127.0.0.1:";
    const Clock::time_point deadline = StartDeadline(kCollectorStartLimit);
    for (;;) {
        const std::string out = ReadTextFile(m_collector->OutFile());
        const size_t at = out.find(prefix);
        const size_t end = at == std::string::npos ? at : out.find('\n', at);
        if (end != std::string::npos) {
            const std::string port = out.substr(at + prefix.size(), end - at - prefix.size());
            if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
                throw std::runtime_error("datasync-collector printed an unexpected port \"" + port +
                                         "\" in " + m_collector->OutFile());
            m_port = std::stoi(port);
            break;
        }
        if (!m_collector->Running()) throw std::runtime_error(Ended(*m_collector, "before listening"));
        CheckInterrupted();
        if (Clock::now() >= deadline)
            throw std::runtime_error("datasync-collector did not print \"" + prefix +
                                     "<port>\" in time (output in " + m_collector->OutFile() + ")");
        Pause(20);
    }
    const std::string origin = "https://127.0.0.1:" + std::to_string(m_port);
    m_stats = std::make_unique<CollectorStatsClient>(origin, m_pki.caCert, m_pki.clientCert, m_pki.clientKey);
    Say("datasync-collector (pid " + std::to_string(m_collector->Pid()) + ") listening on " + origin +
        " with mutual TLS; records in " + m_layout.recordFile);
    FetchStats();
    if (!m_statsError.empty()) {
        m_warnings.push_back("the collector's /_stats does not answer the demo's client certificate: " +
                             m_statsError);
        m_statsErrorShown = true;
    }
}

void Demo::WriteConfig() {
    WriteTextFile(m_layout.policyFile, PolicyText(m_datasets, m_port), 0644);
    WriteTextFile(m_layout.hostConfig, HostConfigText(m_layout, m_pki, kDeviceId), 0600);
    std::string datasets;
    for (const DemoDataset& dataset : m_datasets)
        datasets += "\n        " + dataset.name + " " + dataset.id + " (" + dataset.frequency + ": " +
                    dataset.syncEPs + ")";
    Say("host config " + m_layout.hostConfig + ", policy " + m_layout.policyFile + " with the datasets" +
        datasets);
}

void Demo::StartDaemon() {
    m_daemon = std::make_unique<DemoProcess>(
        "datasyncd", std::vector<std::string>{m_daemonPath, "--config", m_layout.hostConfig},
        m_layout.logDir + "datasyncd.out", m_layout.logDir + "datasyncd.err");
    const std::string socket = ControlClient::SocketPathOf(m_layout.stateDir);
    const Clock::time_point deadline = StartDeadline(kDaemonStartLimit);
    std::string lastError;
    Json::Value answer;
    for (;;) {
        if (!m_daemon->Running()) throw std::runtime_error(Ended(*m_daemon, "at start"));
        try {
            ControlClient client(socket, seconds(2));
            client.Connect();
            Json::Value request(Json::objectValue);
            request["cmd"] = "status";
            answer = client.Request(request);
            if (answer["ok"].asBool()) break;
            lastError = answer["error"].asString();
        } catch (const ControlClientError& error) {
            lastError = error.what();
        }
        CheckInterrupted();
        if (Clock::now() >= deadline)
            throw std::runtime_error("datasyncd did not answer on its control socket in time: " + lastError +
                                     " (logs in " + m_layout.logDir + ")");
        Pause(100);
    }
    if (!answer["status"]["agent"]["full_init_done"].asBool())
        m_warnings.push_back(
            "datasyncd answered before its agent finished initialising (status agent.full_init_done "
            "is false)");
    Say("datasyncd (pid " + std::to_string(m_daemon->Pid()) + ") running; logs in " + m_layout.logDir +
        "; try: datasyncctl --state-dir " + m_layout.stateDir + " status");
}

void Demo::WriteRow(size_t dataset, int n) {
    const DemoDataset& target = m_datasets[dataset];
    if (m_writers.size() < m_datasets.size()) m_writers.resize(m_datasets.size());
    std::unique_ptr<TelemetryRowWriter>& writer = m_writers[dataset];
    if (!writer)
        writer = std::make_unique<TelemetryRowWriter>(m_layout.serviceDir + target.DatabaseFile(),
                                                      target.deviceContext ? "DeviceContext" : "ItemEvent");
    writer->Insert(target.deviceContext
                       ? DeviceContextJson(kDeviceId, m_deviceContextId)
                       : ItemEventJson(target.id, target.name, target.ItemId(n), m_deviceContextId, n));
    m_written[dataset] = n;
}

Demo::End Demo::WriteAndWait() {
    // The device context first: item rows and NAVP headers refer to it. Then the item rows,
    // the datasets taking turns, spread evenly over the writing time.
    std::vector<std::pair<size_t, int>> schedule;
    for (int n = 1;; ++n) {
        bool any = false;
        for (size_t i = 0; i < m_datasets.size(); ++i) {
            if (m_datasets[i].deviceContext || n > m_datasets[i].rows) continue;
            schedule.emplace_back(i, n);
            any = true;
        }
        if (!any) break;
    }
    for (size_t i = 0; i < m_datasets.size(); ++i)
        if (m_datasets[i].deviceContext) WriteRow(i, 1);
    Say("writing " + std::to_string(schedule.size()) + " item rows over " +
        std::to_string(m_options.seconds) + " s into " + m_layout.serviceDir + "; waiting until " +
        std::to_string(m_options.timeout) + " s after the start at most (Ctrl-C stops)");

    const Clock::time_point writeStart = Clock::now();
    const auto dueAt = [&](size_t index) {
        return writeStart +
               milliseconds(static_cast<long long>(m_options.seconds) * 1000 * static_cast<long long>(index) /
                            static_cast<long long>(schedule.size()));
    };
    const DemoReport report(m_datasets, m_written, m_tally);
    size_t next = 0;
    Clock::time_point nextPoll = writeStart;
    Clock::time_point nextProgress = writeStart + seconds(1);
    for (;;) {
        if (InterruptGuard::Interrupted()) return End::Interrupted;
        Clock::time_point now = Clock::now();
        while (next < schedule.size() && now >= dueAt(next) && !InterruptGuard::Interrupted()) {
            WriteRow(schedule[next].first, schedule[next].second);
            ++next;
        }
        if (now >= nextPoll) {
            PollTally();
            nextPoll = now + milliseconds(200);
        }
        if (next == schedule.size() && report.Complete()) {
            ShowProgress(report);
            return End::Arrived;
        }
        for (DemoProcess* child : {m_daemon.get(), m_collector.get()}) {
            if (child->Running()) continue;
            m_ended = Ended(*child, "while the demo ran");
            return End::ProcessEnded;
        }
        if (now >= m_deadline) return End::Deadline;
        if (now >= nextProgress) {
            FetchStats();
            ShowProgress(report);
            nextProgress += seconds(1);
        }
        Pause(50);
    }
}

void Demo::PollTally() {
    std::string error;
    if (!m_tally.Poll(error)) throw std::runtime_error(error);
}

void Demo::FetchStats() {
    if (!m_stats || !m_collector || !m_collector->Running()) return;
    Json::Value stats;
    if (m_stats->Fetch(stats, m_statsError)) {
        m_lastStats = stats;
        m_statsError.clear();
    }
}

void Demo::ShowProgress(const DemoReport& report) {
    const std::string line = report.ProgressLine(Elapsed(), m_lastStats);
    if (m_tty)
        std::printf("\r\033[K%s", line.c_str());
    else
        std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    m_progressShown = true;
    if (!m_statsError.empty() && !m_statsErrorShown) {
        m_warnings.push_back("cannot read the collector's counts: " + m_statsError);
        m_statsErrorShown = true;
    }
}

void Demo::StopProcesses() {
    if (m_daemon) {
        const std::string how = m_daemon->Stop(kDaemonStopGrace);
        if (!how.empty() && m_ended.empty())
            m_warnings.push_back("datasyncd " + how + " when stopped (output in " + m_daemon->ErrFile() +
                                 ")");
        m_daemon.reset();
    }
    FetchStats();  // the last counts, with every upload done
    if (m_collector) {
        const std::string how = m_collector->Stop(kCollectorStopGrace);
        if (!how.empty() && m_ended.empty())
            m_warnings.push_back("datasync-collector " + how + " when stopped (output in " +
                                 m_collector->ErrFile() + ")");
        m_collector.reset();
    }
}

int Demo::Report(End end, double elapsed) {
    std::map<std::string, std::map<std::string, Bookmark>> bookmarks;
    for (const DemoDataset& dataset : m_datasets) {
        for (const std::string& family : dataset.families) {
            bookmarks[dataset.id][family] =
                ZEL::linuxhost::ReadBookmark(m_layout.serviceDir + ZEL::linuxhost::SyncPointFileOf(family),
                                             dataset.deviceContext ? "" : dataset.id,
                                             dataset.deviceContext ? "DeviceContext" : "ItemEvent");
        }
    }
    const DemoReport report(m_datasets, m_written, m_tally);
    std::printf("\n");
    std::fflush(stdout);
    report.WriteTable(std::cout, m_lastStats, bookmarks, elapsed, m_layout.serviceDir);
    std::cout << "\n";
    std::cout.flush();
    for (const std::string& warning : m_warnings) std::printf("warning: %s\n", warning.c_str());
    if (!m_ended.empty()) std::printf("error: %s\n", m_ended.c_str());

    const std::vector<std::string> missing = report.MissingLines();
    if (missing.empty() && end != End::Interrupted && m_ended.empty()) {
        Say("ok: every row reached every family its dataset names");
        return 0;
    }
    for (const std::string& line : missing) std::printf("missing: %s\n", line.c_str());
    if (end == End::Deadline)
        Say("FAILED: rows were still missing when the demo stopped waiting after " +
            std::to_string(m_options.timeout) + " s (--timeout)");
    else if (end == End::Interrupted)
        Say("FAILED: interrupted");
    else
        Say("FAILED");
    Say("the daemon's logs are in " + m_layout.logDir + ", the collector's records in " +
        m_layout.recordFile +
        (m_options.base.empty() && !m_options.keep ? " (run with --keep to keep them)" : ""));
    return 1;
}

}  // namespace

int RunDemo(const DemoOptions& options) {
    const auto usage = [](const std::string& text) {
        std::fprintf(stderr, "datasyncctl demo: %s\n", text.c_str());
        return 2;
    };
    if (options.rows < 1 || options.rows > 100000)
        return usage("--rows must be between 1 and 100000, got " + std::to_string(options.rows));
    if (options.timeout < 1 || options.timeout > 3600)
        return usage("--timeout must be between 1 and 3600, got " + std::to_string(options.timeout));
    if (options.seconds < -1 || options.seconds > 3600)
        return usage("--seconds must be between 0 and 3600, got " + std::to_string(options.seconds));
    if (options.seconds >= options.timeout)
        return usage("--seconds (" + std::to_string(options.seconds) + ") must be shorter than --timeout (" +
                     std::to_string(options.timeout) + ")");
    const std::string& frequency = options.scheduledFrequency;
    if (frequency.size() < 2 || frequency.find_first_not_of("0123456789") != frequency.size() - 1 ||
        std::string("smhdSMHD").find(frequency.back()) == std::string::npos)
        return usage("--interval must be a number followed by s, m, h or d (e.g. 30s), got \"" + frequency +
                     "\"");

    DemoOptions resolved = options;
    if (resolved.seconds < 0) resolved.seconds = std::min(kDefaultWriteSeconds, resolved.timeout / 2);

    const InterruptGuard interrupts;
    std::string daemonPath;
    std::string collectorPath;
    std::string base;
    try {
        daemonPath = FindProgram("datasyncd", options.daemonPath, "--daemon");
        collectorPath = FindProgram("datasync-collector", options.collectorPath, "--collector");
        base = ClaimBaseFolder(options.base);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "datasyncctl demo: %s\n", error.what());
        return 1;
    }
    // The daemon's control socket lives in BASE/state/: a Unix socket path has at most 107 bytes.
    const std::string socket = base + "state/control.sock";
    int status = 1;
    if (socket.size() > 107) {
        std::fprintf(stderr,
                     "datasyncctl demo: the base folder %s is too long for the control socket %s (107 bytes "
                     "at most)\n",
                     base.c_str(), socket.c_str());
    } else {
        Demo demo(resolved, base, daemonPath, collectorPath);
        try {
            status = demo.Run();
        } catch (const Interrupted&) {
            demo.StopProcesses();
            Say("interrupted; datasyncd and datasync-collector stopped");
        } catch (const std::exception& error) {
            demo.StopProcesses();
            std::fprintf(stderr, "datasyncctl demo: %s\n", error.what());
        }
    }
    if (options.base.empty() && !options.keep) {
        const std::string problem = RemoveFolder(base);
        if (!problem.empty())
            std::fprintf(stderr, "datasyncctl demo: %s\n", problem.c_str());
        else
            Say("removed " + base + " (--keep keeps it)");
    } else {
        Say("kept " + base);
    }
    return status;
}

}  // namespace datasyncctl
