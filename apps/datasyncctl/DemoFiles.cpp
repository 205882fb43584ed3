// The demo's datasets, folders, host config and policy.
#include "datasyncctl/DemoFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <json/json.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "datasync/common/WellKnownIds.h"
#include "datasync/common/StringUtil.h"
#include "platform/UniqueFd.h"

namespace datasyncctl {

const char* const kDeviceContextDatasetId = "03D21916-F27E-41EB-B8B3-77372521FBC7";

std::string DemoDataset::DatabaseFile() const {
    return deviceContext ? ZEL::String::UTF16ToUTF8(ZEL::DataSync::kDeviceContextFileName)
                         : ZEL::DataSync::TelemetryFileName(id, "ItemEvent");
}

std::string DemoDataset::ItemId(int n) const {
    char number[16];
    std::snprintf(number, sizeof number, "%06d", n);
    return name + "-" + number;
}

bool DemoDataset::Names(const std::string& family) const {
    return std::find(families.begin(), families.end(), family) != families.end();
}

std::vector<DemoDataset> DemoDatasets(int rows, const std::string& scheduledFrequency) {
    std::vector<DemoDataset> datasets(3);
    datasets[0].id = "D3E0A1B2-0000-4000-8000-00000000DE01";
    datasets[0].name = "DemoLiveEvent";
    datasets[0].syncEPs = "KTA,NAVS";
    datasets[0].frequency = "nrt";
    datasets[0].families = {"kta", "navs"};
    datasets[0].rows = rows;

    datasets[1].id = "D3E0A1B2-0000-4000-8000-00000000DE02";
    datasets[1].name = "DemoScheduledEvent";
    datasets[1].syncEPs = "NAVP";
    datasets[1].frequency = scheduledFrequency;
    datasets[1].families = {"navp"};
    datasets[1].rows = rows;

    // The agent finds the device-context dataset by its name "DeviceContext".
    datasets[2].id = kDeviceContextDatasetId;
    datasets[2].name = "DeviceContext";
    datasets[2].syncEPs = "KTA,NAVS,NAVP";
    datasets[2].frequency = "nrt";
    datasets[2].families = {"kta", "navs", "navp"};
    datasets[2].rows = 1;
    datasets[2].deviceContext = true;
    return datasets;
}

DemoLayout::DemoLayout(const std::string& baseFolder)
    : base(baseFolder),
      pkiDir(base + "pki/"),
      collectorDir(base + "collector/"),
      serviceDir(base + "db/"),
      sharedDir(base + "shared/"),
      localDir(base + "local/"),
      logDir(base + "log/"),
      stateDir(base + "state/"),
      hostConfig(base + "host.json"),
      policyFile(base + "policy.json"),
      recordFile(collectorDir + "records.jsonl") {}

namespace {

std::string Pretty(const Json::Value& value) {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "  ";
    writer["emitUTF8"] = true;
    return Json::writeString(writer, value) + "\n";
}

Json::Value Strings(const std::vector<std::string>& texts) {
    Json::Value list(Json::arrayValue);
    for (const std::string& text : texts) list.append(text);
    return list;
}

}  // namespace

std::string HostConfigText(const DemoLayout& layout, const DemoPki& pki, const std::string& deviceId) {
    Json::Value config(Json::objectValue);
    config["service_db_dir"] = layout.serviceDir;
    config["shared_db_dir"] = layout.sharedDir;
    config["local_db_dir"] = layout.localDir;
    config["log_dir"] = layout.logDir;
    config["state_dir"] = layout.stateDir;
    config["policy_file"] = layout.policyFile;
    config["default_endpoint_url"] = "https://telemetry.invalid/";
    config["logon_user"] = "";
    Json::Value& device = config["device"];
    device["id"] = deviceId;
    device["online"] = true;
    device["registered"] = true;
    device["realm"] = "";
    device["consumer"] = false;
    device["commercial_org"] = true;
    device["anonymous_metrics"] = true;
    device["critical_gateway_error"] = false;
    device["attributes"]["os_name"] = "Linux";
    Json::Value& push = config["push_channel"];
    push["mode"] = "";
    push["suppression"] = "";
    push["connected"] = false;
    Json::Value& tls = config["tls"];
    tls["ca_file"] = pki.caCert;
    tls["client_cert"] = pki.clientCert;
    tls["client_key"] = pki.clientKey;
    tls["mtls_url_map"] = Json::Value(Json::objectValue);
    tls["allow_http_loopback"] = false;
    tls["timeout_ms"] = 10000;
    config["log_level"] = "debug";
    return Pretty(config);
}

std::string PolicyText(const std::vector<DemoDataset>& datasets, int port) {
    const std::string origin = "https://127.0.0.1:" + std::to_string(port);
    Json::Value policy(Json::objectValue);
    policy["telemetry_scope"] = "full";
    for (const char* url : {"primary_url", "secondary_url", "navs_url", "navp_url"}) policy[url] = "";
    policy["auth_mode"] = "mtls";
    policy["sync_options"] = Strings({"sync_globalcontext_onchange"});
    policy["sync_endpoint_urls"]["KTA_syncEP_url"] = origin + "/kta/";
    policy["sync_endpoint_urls"]["NAVS_syncEP_url"] = origin + "/navs/";
    policy["sync_endpoint_urls"]["NAVP_syncEP_url"] = origin + "/navp";
    Json::Value& list = policy["datasets"] = Json::Value(Json::arrayValue);
    for (const DemoDataset& dataset : datasets) {
        Json::Value entry(Json::objectValue);
        entry["dataset_id"] = dataset.id;
        entry["dataset_name"] = dataset.name;
        entry["dataset_enable"] = true;
        entry["syncEPs"] = dataset.syncEPs;
        entry["syncEP_frequency"] = dataset.frequency;
        entry["include_events"] = Strings({"ALL"});
        entry["applicability_filter"] = Json::Value(Json::objectValue);
        entry["dataset_settings"]["Retention"] = "30d";
        list.append(std::move(entry));
    }
    policy["settings"]["channel_mode"] = "nomqtt";
    policy["policy"]["heartbeat_suppression"] = "";
    return Pretty(policy);
}

void WriteTextFile(const std::string& path, const std::string& text, mode_t mode) {
    platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t done = ::write(fd.get(), text.data() + written, text.size() - written);
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
        written += static_cast<size_t>(done);
    }
    if (::close(fd.release()) != 0)
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
}

void MakeFolders(const std::string& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) throw std::runtime_error("cannot create folder " + folder + ": " + error.message());
    if (!std::filesystem::is_directory(folder, error))
        throw std::runtime_error("cannot create folder " + folder + ": it exists and is not a folder");
}

}  // namespace datasyncctl
