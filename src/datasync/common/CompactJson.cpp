// The agent's compact JSON writer.
#include "datasync/common/CompactJson.h"

namespace ZEL {
namespace DataSync {

std::string CompactJson(const Json::Value& value) {
    static const Json::StreamWriterBuilder writer = [] {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        builder["emitUTF8"] = true;
        return builder;
    }();
    return Json::writeString(writer, value);
}

}  // namespace DataSync
}  // namespace ZEL
