// The built-in default device endpoint URL, used for KTA when the policy names none and for the
// custom URL. The host may configure it at start ("default_endpoint_url").
#pragma once

#include <string>

namespace ZEL {
namespace DataSync {

std::wstring DefaultDeviceEndpointUrl();
void SetDefaultDeviceEndpointUrl(const std::wstring& url);

}  // namespace DataSync
}  // namespace ZEL
