// What the demo lays out in its base folder: the folders of one installation, the datasets it
// writes rows for, and the host config and policy files it hands to datasyncd.
//
//   BASE/host.json, BASE/policy.json      the daemon's config and policy
//   BASE/pki/                             CA, server and client certificates
//   BASE/collector/                       records.jsonl, the collector's output
//   BASE/db/ shared/ local/ log/ state/   the installation's folders (created by datasyncd)
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "datasyncctl/DemoCertificates.h"

namespace datasyncctl {

// One dataset of the demo's policy. Families are lower case ("kta", "navs", "navp"), as the
// collector names them.
struct DemoDataset {
    std::string id;
    std::string name;
    std::string syncEPs;    // the policy's "syncEPs", e.g. "KTA,NAVS"
    std::string frequency;  // the policy's "syncEP_frequency", e.g. "nrt" or "30s"
    std::vector<std::string> families;
    int rows = 0;  // rows to write (1 for the device context)
    bool deviceContext = false;

    // The telemetry database in the service folder, e.g. "<id>_ItemEvent.sqlite3".
    std::string DatabaseFile() const;
    // The unique item id of row `n` (1-based); the collector's records are matched by it.
    std::string ItemId(int n) const;
    bool Names(const std::string& family) const;
};

// The dataset id of the device context.
extern const char* const kDeviceContextDatasetId;

// A near-real-time dataset for KTA and NAVS and a scheduled one for NAVP, `rows` rows each,
// then the device context for all three families.
std::vector<DemoDataset> DemoDatasets(int rows, const std::string& scheduledFrequency);

struct DemoLayout {
    explicit DemoLayout(const std::string& baseFolder);  // baseFolder ends with '/'

    std::string base;
    std::string pkiDir;
    std::string collectorDir;
    std::string serviceDir;
    std::string sharedDir;
    std::string localDir;
    std::string logDir;
    std::string stateDir;
    std::string hostConfig;
    std::string policyFile;
    std::string recordFile;
};

// The host config for datasyncd: the layout's folders, the policy file, the device `deviceId`,
// and TLS with the demo's CA and client certificate.
std::string HostConfigText(const DemoLayout& layout, const DemoPki& pki, const std::string& deviceId);

// The policy: the datasets and the three families' URLs on https://127.0.0.1:`port`.
std::string PolicyText(const std::vector<DemoDataset>& datasets, int port);

// Writes `text` to `path` with `mode` (replacing a file there). Throws std::runtime_error
// naming the file when it cannot.
void WriteTextFile(const std::string& path, const std::string& text, mode_t mode);

// Creates `folder` and its missing parents. Throws std::runtime_error naming it when it cannot.
void MakeFolders(const std::string& folder);

}  // namespace datasyncctl
