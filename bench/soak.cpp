// The soak: datasyncd runs for --minutes (default 10) with 50 datasets while rows are written
// without pause and the collector fails a share of requests; every --interval seconds (default
// 10) it samples the daemon's resident memory, open descriptors and threads.
//
//   build/bench/soak [--minutes=N] [--interval=S] [--seed=N]
//
// Datasets: 50 near-real-time and scheduled ones spread over KTA, NAVS and NAVP, plus the device
// context; a writer adds one row to each every 2 s. Faults: 3 % of requests dropped without an
// answer, 10 % answered after 300 ms, 5 % of NAVP requests answered 503. KTA and NAVS get no 5xx
// here: their back-off grows to hours, a backlog a run of minutes cannot drain (the crash test
// covers it).
//
// It prints each sample, then per figure the drift per hour (least-squares slope over the second
// half of the run, the first half being warm-up), and the rows lost: after the run the writer
// stops, the collector is started again without faults and every written row must reach every
// family of its dataset within 3 minutes. Exit status 1 when a row is lost or when, over the
// second half, the fitted growth exceeds the noise bound: 2 MiB of memory, 2 descriptors or 2
// threads.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ProcessFigures.h"
#include "datasyncctl/DemoCertificates.h"
#include "datasyncctl/DemoFiles.h"
#include "datasyncctl/DemoProcess.h"
#include "datasyncctl/RowStream.h"
#include "datasyncctl/TelemetryRowWriter.h"
#include "datasyncctl/UploadTally.h"

namespace {

using namespace datasyncctl;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

const char* const kDeviceId = "soak-device";
constexpr int kDatasets = 50;
constexpr milliseconds kRowPace{2000};
const std::vector<std::string> kFaults{"all=drop:share=3", "navp=503:share=5", "all=200:delay=300:share=10"};

struct Options {
    double minutes = 10;
    int intervalSeconds = 10;
    unsigned long long seed = 1;
};

struct Sample {
    double seconds;
    double figures[3];  // resident KiB, descriptors, threads
};
const char* const kFigureNames[] = {"resident memory (KiB)", "open descriptors", "threads"};
constexpr double kNoise[] = {2048, 2, 2};  // fitted growth over the second half that fails the run

std::vector<DemoDataset> SoakDatasets() {
    const char* const families[][2] = {{"KTA,NAVS", "kta,navs"}, {"NAVP", "navp"}, {"KTA,NAVS,NAVP", "kta,navs,navp"}};
    std::vector<DemoDataset> datasets;
    for (int n = 0; n < kDatasets; ++n) {
        DemoDataset dataset;
        char id[40];
        std::snprintf(id, sizeof id, "50AC0000-0000-4000-8000-%012d", n);
        dataset.id = id;
        dataset.name = "Soak" + std::to_string(n);
        dataset.syncEPs = families[n % 3][0];
        for (std::string rest = families[n % 3][1]; !rest.empty();) {
            const std::size_t comma = rest.find(',');
            dataset.families.push_back(rest.substr(0, comma));
            rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
        }
        dataset.frequency = n % 10 == 9 ? "10s" : "nrt";
        datasets.push_back(dataset);
    }
    datasets.push_back(DemoDatasets(1, "10s")[2]);  // the device context, for all three families
    return datasets;
}

// A least-squares slope of figure `index` over `samples`, per second.
double Slope(const std::vector<Sample>& samples, int index) {
    double meanT = 0, meanY = 0;
    for (const Sample& s : samples) meanT += s.seconds, meanY += s.figures[index];
    meanT /= static_cast<double>(samples.size());
    meanY /= static_cast<double>(samples.size());
    double covariance = 0, variance = 0;
    for (const Sample& s : samples) {
        covariance += (s.seconds - meanT) * (s.figures[index] - meanY);
        variance += (s.seconds - meanT) * (s.seconds - meanT);
    }
    return variance > 0 ? covariance / variance : 0;
}

class Soak {
public:
    explicit Soak(const Options& options)
        : m_options(options), m_folder(MakeFolder()), m_layout(m_folder), m_datasets(SoakDatasets()) {}
    ~Soak() {
        if (m_rows) m_rows->Stop();
        if (m_daemon) m_daemon->Stop(seconds(15));
        if (m_collector) m_collector->Stop(seconds(5));
        std::filesystem::remove_all(m_folder);
    }

    int Run() {
        for (const std::string& sub : {m_layout.pkiDir, m_layout.collectorDir, m_layout.serviceDir}) MakeFolders(sub);
        m_pki = GenerateDemoPki(m_layout.pkiDir, kDeviceId);
        if (!StartCollector(kFaults)) return 1;
        WriteTextFile(m_layout.policyFile, PolicyText(m_datasets, m_port), 0644);
        WriteTextFile(m_layout.hostConfig, HostConfigText(m_layout, m_pki, kDeviceId), 0600);
        TelemetryRowWriter(m_layout.serviceDir + m_datasets.back().DatabaseFile(), "DeviceContext")
            .Insert(DeviceContextJson(kDeviceId, m_contextId));
        m_daemon = std::make_unique<DemoProcess>(
            "datasyncd", std::vector<std::string>{DATASYNCD_PATH, "--config", m_layout.hostConfig},
            m_folder + "datasyncd.out", m_folder + "datasyncd.err");
        m_rows = std::make_unique<RowStream>(m_layout.serviceDir, m_datasets, m_contextId, kRowPace);
        m_rows->Start();
        std::printf("soak: %d datasets, a row to each every %lld ms, faults", kDatasets,
                    static_cast<long long>(kRowPace.count()));
        for (const std::string& fault : kFaults) std::printf(" %s", fault.c_str());
        std::printf(", seed %llu, %.1f min\n%8s %12s %6s %8s %14s\n", m_options.seed, m_options.minutes, "time s",
                    "resident KiB", "fds", "threads", "rows written");

        const std::vector<Sample> samples = TakeSamples();
        const std::string writerError = m_rows->Stop();
        if (!m_daemon->Running() || !writerError.empty()) {
            std::printf("soak: datasyncd %s; writer: %s\n", m_daemon->ExitDescription().c_str(), writerError.c_str());
            return 1;
        }
        bool ok = ReportDrift(samples);
        ok = ReportLostRows() && ok;
        return ok ? 0 : 1;
    }

private:
    static std::string MakeFolder() {
        std::string pattern = "/tmp/datasync-soak-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        return pattern + "/";
    }

    // Starts the collector with `faults` on a free port, or on the last one's port.
    bool StartCollector(const std::vector<std::string>& faults) {
        std::vector<std::string> argv{COLLECTOR_PATH, "--listen", "127.0.0.1:" + std::to_string(m_port), "--cert",
                                      m_pki.serverCert, "--key", m_pki.serverKey, "--client-ca", m_pki.caCert,
                                      "--record", m_layout.recordFile, "--seed", std::to_string(m_options.seed)};
        for (const std::string& fault : faults) argv.insert(argv.end(), {"--fault", fault});
        if (m_collector) m_collector->Stop(seconds(5));
        const std::string name = m_layout.collectorDir + "collector" + std::to_string(++m_collectorStarts);
        m_collector = std::make_unique<DemoProcess>("datasync-collector", argv, name + ".out", name + ".err");
        const std::string prefix = "listening on 127.0.0.1:";
        for (int n = 0; n < 300 && m_collector->Running(); ++n) {
            const std::string out = ReadTextFile(m_collector->OutFile());
            const std::size_t at = out.find(prefix);
            if (at != std::string::npos && out.find('\n', at) != std::string::npos) {
                m_port = std::stoi(out.substr(at + prefix.size()));
                return true;
            }
            std::this_thread::sleep_for(milliseconds(50));
        }
        std::printf("soak: the collector did not start: %s\n", ReadTextFile(m_collector->ErrFile()).c_str());
        return false;
    }

    std::vector<Sample> TakeSamples() {
        std::vector<Sample> samples;
        const auto start = Clock::now();
        const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(m_options.minutes * 60.0));
        for (auto next = start + seconds(m_options.intervalSeconds); next <= end && m_daemon->Running();
             next += seconds(m_options.intervalSeconds)) {
            std::this_thread::sleep_until(next);
            const pid_t pid = m_daemon->Pid();
            Sample sample{
                std::chrono::duration<double>(Clock::now() - start).count(),
                {static_cast<double>(bench::ResidentKiB(pid)), static_cast<double>(bench::OpenDescriptors(pid)),
                 static_cast<double>(bench::Threads(pid))}
            };
            samples.push_back(sample);
            std::printf("%8.0f %12.0f %6.0f %8.0f %14d\n", sample.seconds, sample.figures[0], sample.figures[1],
                        sample.figures[2], m_rows->Written() * kDatasets);
            std::fflush(stdout);
        }
        return samples;
    }

    bool ReportDrift(const std::vector<Sample>& samples) {
        if (samples.size() < 4) {
            std::printf("soak: %zu samples, too few for a drift\n", samples.size());
            return false;
        }
        const std::vector<Sample> second(samples.begin() + static_cast<long>(samples.size() / 2), samples.end());
        const double span = second.back().seconds - second.front().seconds;
        bool ok = true;
        for (int i = 0; i < 3; ++i) {
            const double slope = Slope(second, i);
            const bool grows = slope * span > kNoise[i];
            ok = ok && !grows;
            std::printf("drift of %-22s %+10.1f per hour (growth over the second half %+.1f, bound %.0f)%s\n",
                        kFigureNames[i], slope * 3600.0, slope * span, kNoise[i], grows ? "  GROWS" : "");
        }
        return ok;
    }

    // Rows written but not accepted by a family of their dataset, once the collector has no
    // faults and the daemon had 3 minutes to catch up.
    bool ReportLostRows() {
        if (!StartCollector({})) return false;
        UploadTally tally(m_layout.recordFile, m_contextId);
        int lost = 0;
        std::string missing;
        const auto deadline = Clock::now() + std::chrono::minutes(3);
        do {
            std::this_thread::sleep_for(seconds(1));
            std::string error;
            if (!tally.Poll(error)) std::printf("soak: %s\n", error.c_str());
            lost = tally.Missing(m_datasets, m_rows->Written(), missing);
        } while (lost > 0 && Clock::now() < deadline && m_daemon->Running());
        std::printf("rows written %d per dataset, %d in all; rows lost %d%s; rows accepted twice: kta %d, navs %d, "
                    "navp %d\n",
                    m_rows->Written(), m_rows->Written() * kDatasets, lost, missing.c_str(), tally.Duplicates("kta"),
                    tally.Duplicates("navs"), tally.Duplicates("navp"));
        return lost == 0;
    }

    Options m_options;
    std::string m_folder;
    DemoLayout m_layout;
    std::vector<DemoDataset> m_datasets;
    DemoPki m_pki;
    const std::string m_contextId = RandomUuid();
    std::unique_ptr<DemoProcess> m_collector;
    std::unique_ptr<DemoProcess> m_daemon;
    int m_port = 0;
    int m_collectorStarts = 0;
    std::unique_ptr<RowStream> m_rows;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--minutes=", 0) == 0) {
            options.minutes = std::atof(arg.c_str() + 10);
        } else if (arg.rfind("--interval=", 0) == 0) {
            options.intervalSeconds = std::atoi(arg.c_str() + 11);
        } else if (arg.rfind("--seed=", 0) == 0) {
            options.seed = std::strtoull(arg.c_str() + 7, nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: soak [--minutes=N] [--interval=S] [--seed=N]\n");
            return 2;
        }
    }
    if (options.minutes <= 0 || options.intervalSeconds <= 0) {
        std::fprintf(stderr, "soak: --minutes and --interval must be positive\n");
        return 2;
    }
    return Soak(options).Run();
}
