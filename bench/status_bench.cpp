// How fast the daemon answers "status" while an upload is on the wire: the collector holds every
// KTA answer 8 s, 30 rows wait, and `datasyncctl status --json` is asked 20 times, 250 ms apart,
// while the daemon uploads. Prints the worst and the median answer time of the command and of
// the bare control-socket request, and how many of the tries came while a database's upload ran.
//
//   build/bench/status_bench
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

#include "apps/ChildProcess.h"
#include "apps/LineClient.h"
#include "datasyncctl/DemoCertificates.h"
#include "datasyncctl/DemoFiles.h"
#include "datasyncctl/DemoProcess.h"
#include "datasyncctl/TelemetryRowWriter.h"

namespace {

using namespace datasyncctl;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kRows = 30;
constexpr int kTries = 20;
const char* const kDeviceId = "status-bench-device";

double Millis(Clock::duration elapsed) { return std::chrono::duration<double, std::milli>(elapsed).count(); }

// The port the collector printed, once it listens.
int WaitForPort(DemoProcess& collector) {
    const std::string prefix = "listening on 127.0.0.1:";
    for (int n = 0; n < 300 && collector.Running(); ++n) {
        const std::string out = ReadTextFile(collector.OutFile());
        const std::size_t at = out.find(prefix);
        if (at != std::string::npos && out.find('\n', at) != std::string::npos)
            return std::stoi(out.substr(at + prefix.size()));
        std::this_thread::sleep_for(milliseconds(50));
    }
    return 0;
}

struct Answer {
    double commandMs = 0;
    double socketMs = 0;
    bool uploadRunning = false;
};

Answer Try(const DemoLayout& layout, const std::string& folder) {
    Answer answer;
    const auto start = Clock::now();
    const appstest::Finished done =
        appstest::Run({DATASYNCCTL_PATH, "--state-dir", layout.stateDir, "status", "--json"}, folder);
    answer.commandMs = Millis(Clock::now() - start);
    Json::Value status;
    std::istringstream(done.out) >> status;
    for (const Json::Value& record : status["status"]["sync_map"])
        answer.uploadRunning = answer.uploadRunning || record["sync_state"].asUInt() == 1;

    appstest::LineClient client;
    const auto socketStart = Clock::now();
    if (client.Connect(layout.stateDir + "control.sock") && client.Send("{\"cmd\":\"status\"}\n")) client.ReadLine();
    answer.socketMs = Millis(Clock::now() - socketStart);
    return answer;
}

void Report(const char* what, std::vector<double> times) {
    std::sort(times.begin(), times.end());
    std::printf("%-28s worst %7.1f ms   median %6.1f ms\n", what, times.back(), times[times.size() / 2]);
}

}  // namespace

int main() {
    std::string pattern = "/tmp/datasync-status-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return 2;
    const std::string folder = pattern + "/";
    const DemoLayout layout(folder);
    int failed = 0;
    {
        for (const std::string& sub : {layout.pkiDir, layout.collectorDir, layout.serviceDir}) MakeFolders(sub);
        const DemoPki pki = GenerateDemoPki(layout.pkiDir, kDeviceId);
        DemoProcess collector("datasync-collector",
                              {COLLECTOR_PATH, "--listen", "127.0.0.1:0", "--cert", pki.serverCert, "--key",
                               pki.serverKey, "--client-ca", pki.caCert, "--record", layout.recordFile, "--fault",
                               "kta=200:delay=8000"},
                              layout.collectorDir + "collector.out", layout.collectorDir + "collector.err");
        const int port = WaitForPort(collector);
        std::vector<DemoDataset> datasets = DemoDatasets(kRows, "30s");
        const DemoDataset live = datasets[0];
        DemoDataset context = datasets[2];
        context.syncEPs = "NAVP";  // every KTA post is one of the live dataset's batches
        WriteTextFile(layout.policyFile, PolicyText({live, context}, port), 0644);
        WriteTextFile(layout.hostConfig, HostConfigText(layout, pki, kDeviceId), 0600);
        DemoProcess daemon("datasyncd", {DATASYNCD_PATH, "--config", layout.hostConfig}, folder + "datasyncd.out",
                           folder + "datasyncd.err");
        if (port == 0 || !appstest::LineClient::RequestWhenUp(layout.stateDir + "control.sock",
                                                               R"({"cmd":"status"})", seconds(30))) {
            std::fprintf(stderr, "status_bench: the collector or the daemon did not start (see %s)\n",
                         folder.c_str());
            return 1;
        }
        TelemetryRowWriter(layout.serviceDir + context.DatabaseFile(), "DeviceContext")
            .Insert(DeviceContextJson(kDeviceId, RandomUuid()));
        TelemetryRowWriter rows(layout.serviceDir + live.DatabaseFile(), "ItemEvent");
        for (int n = 1; n <= kRows; ++n) rows.Insert(ItemEventJson(live.id, live.name, live.ItemId(n), "", n));
        std::this_thread::sleep_for(seconds(3));  // the first KTA batch is on the wire by now

        std::vector<double> command, socket;
        int duringUpload = 0;
        for (int n = 0; n < kTries; ++n) {
            const Answer answer = Try(layout, folder);
            command.push_back(answer.commandMs);
            socket.push_back(answer.socketMs);
            duringUpload += answer.uploadRunning ? 1 : 0;
            std::this_thread::sleep_for(milliseconds(250));
        }
        std::printf("status while every KTA answer is held 8 s (%d rows waiting), %d tries, %d during an upload:\n",
                    kRows, kTries, duringUpload);
        Report("datasyncctl status --json", command);
        Report("control socket request", socket);
        failed = *std::max_element(command.begin(), command.end()) > 100.0 ? 1 : 0;
        std::printf("goal: every answer within 100 ms: %s\n", failed ? "missed" : "met");
        daemon.Stop(seconds(15));
        collector.Stop(seconds(5));
    }
    std::filesystem::remove_all(pattern);
    return failed;
}
