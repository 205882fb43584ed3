// The device-missing test of an answer, which does not depend on how requests are sent.
#include <json/json.h>

#include <memory>

#include "datasync/host/StringUtil.h"
#include "datasync/host/Transport.h"

namespace ZEL {

bool CoreUtility::Is403WithDeviceMissingError(ZELCore::InvokeHttpResponse& response) {
    if (response.response.statusCode != 403) return false;
    const std::string& body = response.response.message;
    try {
        Json::CharReaderBuilder builder;
        // Only a body that is wholly one JSON object counts; a server error page that happens to
        // start with JSON must not switch the agent into its device-missing state.
        builder["failIfExtra"] = true;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value root;
        std::string errors;
        if (!reader->parse(body.data(), body.data() + body.size(), &root, &errors)) return false;
        if (!root.isObject()) return false;
        const Json::Value& code = root["errorCode"];
        if (!code.isString()) return false;
        return String::CaseInsesitiveEqual(String::UTF8ToUTF16(code.asString()), L"DeviceMissing");
    } catch (...) {
        return false;
    }
}

}  // namespace ZEL
