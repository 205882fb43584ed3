// The device-missing check of a 403 answer's body: any body is classified, never thrown on, and
// only a body that names the error code "DeviceMissing" counts.
#include <algorithm>
#include <cctype>

#include "datasync/host/Transport.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ZELCore::InvokeHttpResponse response;
    response.response.statusCode = 403;
    response.response.message = fuzz::Text(data, size);
    if (!ZEL::CoreUtility::Is403WithDeviceMissingError(response)) return 0;

    std::string lower = response.response.message;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    // The name may be written with \u escapes; only plain bodies are checked.
    if (lower.find('\\') == std::string::npos)
        fuzz::Check(lower.find("errorcode") != std::string::npos && lower.find("devicemissing") != std::string::npos,
                    "a device-missing body names the code", response.response.message);
    response.response.statusCode = 404;
    fuzz::Check(!ZEL::CoreUtility::Is403WithDeviceMissingError(response), "only a 403 counts");
    return 0;
}
