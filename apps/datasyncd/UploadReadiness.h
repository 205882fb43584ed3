// What --check-config warns of in a config and policy that are valid but cannot upload as they
// stand (each warning names the key and the value at fault):
//
//   - no dataset: the policy names none, or none is enabled: nothing is ever uploaded.
//   - mutual TLS without a client certificate: tls.client_cert or tls.client_key is empty while
//     an enabled dataset posts to KTA (always mutual TLS), or to NAVS under the policy's
//     auth_mode "mtls". (A file that is named but cannot be read is a problem: TlsFileCheck.h.)
//   - an endpoint on a placeholder host: the URL a family in use posts to, picked as the agent
//     picks it (EndpointConfig.h: KTA from sync_endpoint_urls.KTA_syncEP_url, else primary_url,
//     else secondary_url, else the host config's default_endpoint_url; NAVS from
//     NAVS_syncEP_url, else navs_url; NAVP from NAVP_syncEP_url, else navp_url), names a host
//     reserved for documentation and tests (example.com, example.org, example.net and the
//     top-level names example, invalid, test, with their subdomains) or a loopback host
//     (localhost, 127.0.0.0/8, ::1). Loopback is a placeholder too: a deployed device's endpoint
//     is never on the device itself; only the demo's and the tests' collector listen there.
//
// A policy file that cannot be used adds nothing here: its problems are reported already.
// Thread safety: a pure function of the files it reads.
#pragma once

#include <string>
#include <vector>

#include "datasyncd/HostConfig.h"

namespace datasyncd {

// Appends one line "<file>: <key>: ..." per finding to `warnings`; `configPath` names the host
// config in them, config.settings.policy_file the policy.
void CheckUploadReadiness(const std::string& configPath, const HostConfig& config,
                          std::vector<std::string>& warnings);

}  // namespace datasyncd
