// Folders, the example policy and the config check of one installation.
#include "datasyncd/Installation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "datasyncd/TlsFileCheck.h"
#include "datasyncd/UploadReadiness.h"
#include "linuxhost/policy/PolicyFileAgent.h"
#include "platform/UniqueFd.h"

namespace datasyncd {
namespace {

// Creates `folder` and its missing parents (0755), the last one with `mode`, whatever the
// umask. An existing folder is left as it is (its owner chose its mode).
void MakeFolder(const std::string& folder, mode_t mode) {
    std::string path;
    size_t start = 0;
    while (start < folder.size()) {
        size_t slash = folder.find('/', start);
        if (slash == std::string::npos) slash = folder.size();
        path = folder.substr(0, slash);
        start = slash + 1;
        if (path.empty()) continue;  // the leading '/'
        const bool last = folder.find_first_not_of('/', slash) == std::string::npos;
        const mode_t wanted = last ? mode : 0755;
        if (::mkdir(path.c_str(), wanted) == 0) {
            // The umask (0077 under the packaged unit) must not narrow it: the logged-on user
            // reaches the shared folder through these folders.
            if (::chmod(path.c_str(), wanted) != 0)
                throw std::runtime_error("cannot set the mode of folder " + path + ": " +
                                         std::strerror(errno));
            continue;
        }
        if (errno == EEXIST) {
            struct stat info {};
            if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
                throw std::runtime_error("cannot create folder " + folder + ": " + path + " is not a folder");
            continue;
        }
        throw std::runtime_error("cannot create folder " + folder + ": " + std::strerror(errno));
    }
}

void WriteAll(int fd, const std::string& bytes, const std::string& file) {
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t done = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (done < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("cannot write " + file + ": " + std::strerror(errno));
        }
        written += static_cast<size_t>(done);
    }
}

}  // namespace

const std::string& ExamplePolicyText() {
    static const std::string text = R"({
  "telemetry_scope": "full",
  "primary_url": "", "secondary_url": "", "navs_url": "", "navp_url": "", "auth_mode": "mtls",
  "sync_options": ["sync_globalcontext_onchange"],
  "sync_endpoint_urls": { "KTA_syncEP_url": "https://127.0.0.1:8443/kta/",
                          "NAVS_syncEP_url": "https://127.0.0.1:8443/navs/",
                          "NAVP_syncEP_url": "https://127.0.0.1:8443/navp" },
  "datasets": [
    { "dataset_id": "6F1C2D3E-0000-4000-8000-000000000001", "dataset_name": "CPUEvent",
      "dataset_enable": true, "syncEPs": "KTA,NAVS", "syncEP_frequency": "nrt",
      "include_events": ["ALL"], "applicability_filter": {}, "dataset_settings": { "Retention": "30d" } }
  ],
  "settings": { "channel_mode": "nomqtt" },
  "policy": { "heartbeat_suppression": "" }
}
)";
    return text;
}

void PrepareFolders(const HostConfig& config) {
    const ZEL::linuxhost::HostFolders& folders = config.folders;
    for (const std::string* folder :
         {&folders.service_db_dir, &folders.shared_db_dir, &folders.local_db_dir, &folders.log_dir}) {
        MakeFolder(*folder, 0755);
    }
    // The state folder holds the control socket: only the daemon's user may reach it, and the
    // control read group may pass through it (not list it) to connect. Set at every start, so a
    // group named once and removed from the config since keeps no way in.
    MakeFolder(folders.state_dir, 0700);
    const std::string& dir = folders.state_dir;
    const gid_t group = config.controlReadGid ? *config.controlReadGid : ::getegid();
    if (::chown(dir.c_str(), static_cast<uid_t>(-1), group) != 0 ||
        ::chmod(dir.c_str(), config.controlReadGid ? 0710 : 0700) != 0) {
        if (config.controlReadGid)
            throw std::runtime_error("cannot open folder " + dir + " to control_read_group " +
                                     config.controlReadGroup + ": " + std::strerror(errno));
        throw std::runtime_error("cannot make folder " + dir + " private: " + std::strerror(errno));
    }
}

bool WriteExamplePolicyIfMissing(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return false;
    if (errno != ENOENT) throw std::runtime_error("cannot look at " + path + ": " + std::strerror(errno));

    const std::string temporary = path + ".tmp." + std::to_string(::getpid());
    platform::UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    bool wrote = true;
    if (!fd) throw std::runtime_error("cannot write " + temporary + ": " + std::strerror(errno));
    try {
        WriteAll(fd.get(), ExamplePolicyText(), temporary);
        if (::fsync(fd.get()) != 0)
            throw std::runtime_error("cannot write " + temporary + ": " + std::strerror(errno));
        fd.reset();
        // link() rather than rename(): it fails when a policy appeared meanwhile, which is
        // then kept instead of being replaced by the example.
        if (::link(temporary.c_str(), path.c_str()) != 0) {
            if (errno != EEXIST) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
            wrote = false;
        }
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    ::unlink(temporary.c_str());
    return wrote;
}

void ReplaceFile(const std::string& path, const std::string& text, mode_t mode) {
    const std::string temporary = path + ".tmp";
    platform::UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd) throw std::runtime_error("cannot write " + temporary + ": " + std::strerror(errno));
    try {
        if (::fchmod(fd.get(), mode) != 0)
            throw std::runtime_error("cannot set the mode of " + temporary + ": " + std::strerror(errno));
        WriteAll(fd.get(), text, temporary);
        fd.reset();
        if (::rename(temporary.c_str(), path.c_str()) != 0)
            throw std::runtime_error("cannot replace " + path + ": " + std::strerror(errno));
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
}

std::vector<std::string> CheckConfigFile(const std::string& path, std::vector<std::string>* warnings) {
    HostConfig config = DefaultHostConfig();
    std::vector<ConfigProblem> configProblems;
    ReadHostConfigFile(path, config, configProblems);

    std::vector<std::string> problems;
    bool policyNamed = true;  // the file was read and its policy_file (or the default) is usable
    for (const ConfigProblem& problem : configProblems) {
        problems.push_back(problem.text);
        if (problem.key.empty() || problem.key == "policy_file") policyNamed = false;
    }
    if (policyNamed)
        ZEL::linuxhost::PolicyFileAgent::ValidatePolicyFile(config.settings.policy_file, problems, warnings);
    CheckTlsFiles(path, config.tls, std::chrono::system_clock::now(), problems, warnings);
    if (policyNamed && warnings != nullptr) CheckUploadReadiness(path, config, *warnings);
    if (warnings != nullptr && !config.metricsTextfile.empty()) {
        const std::string folder = config.metricsTextfile.substr(0, config.metricsTextfile.rfind('/') + 1);
        struct stat info {};
        if (!folder.empty() && (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)))
            warnings->push_back(path + ": metrics_textfile: the folder " + folder +
                                " does not exist; no metrics are written until it does");
    }
    return problems;
}

}  // namespace datasyncd
