// The one way the agent writes JSON text: one line, no indentation, text members as UTF-8 (not
// \u escapes). Upload bodies, stored records, notification payloads and control answers all take
// this form.
//
// Thread safety: any thread; the writer settings are shared and never changed.
#pragma once

#include <json/json.h>

#include <string>

namespace ZEL {
namespace DataSync {

std::string CompactJson(const Json::Value& value);

}  // namespace DataSync
}  // namespace ZEL
