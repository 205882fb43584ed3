// The daemon's host config: the folders of one installation, the policy file, the device facts,
// the push channel, the transport settings and the log level, read from a JSON file.
//
// Every key is optional: a config file is laid over the embedded default (the layout below),
// so `{}` is a complete config. Reading checks the whole file and reports every problem, not
// just the first, as one line "<file>: <key>: <what>", where <key> is the dotted path of the
// member at fault ("device.online: expected a boolean", "tls.colour: unknown key").
//
//   service_db_dir, shared_db_dir, local_db_dir, log_dir, state_dir   folders (not empty)
//   policy_file                                                        a file (not empty)
//   default_endpoint_url, logon_user, log_level                        texts
//   metrics_textfile   a file (may be empty: none) the metrics are written to every 15 s
//   control_read_group a group name (may be empty: none) whose members may ask the control
//                      socket for status and metrics; it must exist (looked up when read)
//   device     { id, realm: texts; online, registered, consumer, commercial_org,
//                anonymous_metrics, critical_gateway_error: booleans; attributes: texts }
//   push_channel { mode, suppression: texts; connected: boolean }
//   tls        { ca_file, client_cert, client_key: files (may be empty); mtls_url_map: texts;
//                allow_http_loopback: boolean; timeout_ms: positive whole number }
//
// Relative paths are taken relative to the folder of the config file; folder values always end
// with '/'. A config with problems is never partly applied: the reader's output is only
// meaningful when it returns true.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "datasync/host/Log.h"
#include "linuxhost/HostFolders.h"
#include "linuxhost/HostState.h"

namespace datasyncd {

struct HostConfig {
    ZEL::linuxhost::HostFolders folders;
    ZEL::linuxhost::HostSettings settings;  // policy_file, default_endpoint_url, logon_user
    ZEL::linuxhost::DeviceState device;
    ZEL::linuxhost::PushChannelState pushChannel;
    ZEL::linuxhost::TlsSettings tls;
    std::string metricsTextfile;  // empty: no metrics file
    std::string controlReadGroup;  // empty: none
    std::optional<gid_t> controlReadGid;  // the group's id, set when controlReadGroup is not empty
    std::string logLevelText = "debug";
    ZEL::LogLevel logLevel = ZEL::LogLevel::Debug;
};

// One problem of a config: `key` is the dotted path of the member at fault, empty when the file
// as a whole is at fault (cannot be read, is not JSON); `text` is the full one-line message.
struct ConfigProblem {
    std::string key;
    std::string text;
};

// The embedded default: the system installation under /var/lib/datasync with the policy in
// /etc/datasync/policy.json.
HostConfig DefaultHostConfig();

// The embedded default with every folder under `baseDir` (made absolute): baseDir/db/,
// baseDir/shared/, baseDir/local/, baseDir/log/, baseDir/state/ and the policy file
// baseDir/policy.json.
HostConfig BaseFolderHostConfig(const std::string& baseDir);

// Lays the JSON text `text` over `config`. `file` names the text in problems; relative paths
// are resolved against `relativeTo`. True when there is no problem; otherwise every problem is
// appended to `problems` and `config` must not be used.
bool ApplyHostConfigText(const std::string& text, const std::string& file, const std::string& relativeTo,
                         HostConfig& config, std::vector<ConfigProblem>& problems);

// Reads the config file at `path` over the embedded default; relative paths are resolved
// against the file's folder. A file that cannot be read is one problem naming the file.
bool ReadHostConfigFile(const std::string& path, HostConfig& config, std::vector<ConfigProblem>& problems);

}  // namespace datasyncd
