// The files and folders of one installation as the daemon prepares them before it starts, and
// the checks of `datasyncd --check-config`.
//
// PrepareInstallation creates every configured folder that is missing (the state folder, which
// holds the control socket, with mode 0700; the others with the default mode) and, when asked,
// writes the example policy where no policy file exists yet, so that `datasyncd --base DIR` runs
// out of the box. Nothing existing is overwritten.
#pragma once

#include <sys/types.h>

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

// Replaces the file at `path` with `text` so that a reader sees either the old or the new file,
// never a part: written to "<path>.tmp" beside it (node_exporter's textfile collector reads
// only *.prom files, so it never picks the temporary up), given `mode` whatever the umask, then
// renamed over `path`. Throws std::runtime_error naming the file when it cannot.
void ReplaceFile(const std::string& path, const std::string& text, mode_t mode);

// Every problem of the config file at `path` and of the policy file it names, one line each
// ("<file>: <key or member>: <what>"). The policy file is checked whenever the config names one
// usable path, even when other keys have problems. Empty when all is well. Warnings (a KTA or
// NAVS URL of the policy without its final "/", a metrics_textfile whose folder does not exist, a
// client key others can read, a client certificate expired or near its end: TlsFileCheck.h; what
// keeps the install from uploading: UploadReadiness.h) go to `warnings` when given; they are no
// problems.
std::vector<std::string> CheckConfigFile(const std::string& path, std::vector<std::string>* warnings = nullptr);

}  // namespace datasyncd
