// What --check-config says of the TLS files of a host config: a CA file, client certificate or
// client key that cannot be read is a problem; a client key that other users can read, and a
// client certificate that has expired or expires within 30 days, are warnings (the latter naming
// the end date): mutual-TLS uploads pause once it has expired, until it is renewed.
//
// Thread safety: a pure function of the files and `now`.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "linuxhost/HostState.h"

namespace datasyncd {

// Appends "<configPath>: tls.<key>: ..." lines to `problems` and (when given) `warnings`.
void CheckTlsFiles(const std::string& configPath, const ZEL::linuxhost::TlsSettings& tls,
                   std::chrono::system_clock::time_point now, std::vector<std::string>& problems,
                   std::vector<std::string>* warnings);

}  // namespace datasyncd
