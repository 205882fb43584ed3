// The one way the agent writes JSON text: one line, no indentation, text members as UTF-8 (not
// \u escapes). Upload bodies, stored records, notification payloads and control answers all take
// this form.
//
// Thread safety: any thread; the writer keeps no state between calls.
#pragma once

#include <json/json.h>

#include <string>
#include <string_view>

namespace ZEL {
namespace DataSync {

std::string CompactJson(const Json::Value& value);

// The same text appended to `out`, for bodies written piece by piece.
void AppendCompactJson(std::string& out, const Json::Value& value);

// `text` (UTF-8) as a JSON string, escaped as CompactJson escapes texts, appended to `out`.
void AppendJsonString(std::string& out, std::string_view text);

}  // namespace DataSync
}  // namespace ZEL
