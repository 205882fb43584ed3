// The built-in default device endpoint URL, used for KTA when the policy names none and for the
// custom URL. The host may configure it at start ("default_endpoint_url"). Also the NAVP URL of a
// policy, which the NAVP uploader reads afresh.
#pragma once

#include <string>

#include "datasync/host/ConfigPolicy.h"

namespace ZEL {
namespace DataSync {

std::wstring DefaultDeviceEndpointUrl();
void SetDefaultDeviceEndpointUrl(const std::wstring& url);

// The NAVP URL a policy names: "NAVP_syncEP_url" of its URL map, else its NAVP field.
std::wstring PolicyNavpUrl(const TelemetryPolicy& policy);

}  // namespace DataSync
}  // namespace ZEL
