// The files and folders of one installation as the daemon prepares them before it starts, and
// the checks of `datasyncd --check-config`.
//
// PrepareInstallation creates every configured folder that is missing (the state folder, which
// holds the control socket, with mode 0700; the others with the default mode) and, when asked,
// writes the example policy where no policy file exists yet, so that `datasyncd --base DIR` runs
// out of the box. Nothing existing is overwritten.
#pragma once

#include <string>
#include <vector>

#include "datasyncd/HostConfig.h"

namespace datasyncd {

// The example policy: telemetry scope "full", one near-real-time dataset "CPUEvent" for KTA and
// NAVS, endpoints under https://127.0.0.1:8443 for the three families.
const std::string& ExamplePolicyText();

// Creates the missing folders of `config`. Throws std::runtime_error naming the folder that
// cannot be created or is not a folder.
void PrepareFolders(const HostConfig& config);

// Writes ExamplePolicyText() to `path` (through a temporary file and a rename, so a reader never
// sees half of it) unless a file exists there. True when it wrote. Throws std::runtime_error
// naming the file when it cannot.
bool WriteExamplePolicyIfMissing(const std::string& path);

// Every problem of the config file at `path` and of the policy file it names, one line each
// ("<file>: <key or member>: <what>"). The policy file is checked whenever the config names one
// usable path, even when other keys have problems. Empty when all is well. Warnings of the
// policy (a KTA or NAVS URL without its final "/") go to `warnings` when given; they are no
// problems.
std::vector<std::string> CheckConfigFile(const std::string& path, std::vector<std::string>* warnings = nullptr);

}  // namespace datasyncd
