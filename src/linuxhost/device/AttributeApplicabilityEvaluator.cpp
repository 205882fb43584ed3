// Matching applicability filters against the device's attributes.
#include "linuxhost/device/AttributeApplicabilityEvaluator.h"

#include <map>

#include "datasync/common/StringUtil.h"
#include "linuxhost/HostState.h"

namespace ZEL {
namespace linuxhost {
namespace {

using Attributes = std::map<std::string, std::string>;

// The attribute named `name`: an exact match first, else one whose name differs only in case.
const std::string* FindAttribute(const Attributes& attributes, const std::string& name) {
    const auto exact = attributes.find(name);
    if (exact != attributes.end()) return &exact->second;
    const std::wstring wide = String::UTF8ToUTF16(name);
    for (const auto& attribute : attributes) {
        if (String::CaseInsesitiveEqual(String::UTF8ToUTF16(attribute.first), wide)) return &attribute.second;
    }
    return nullptr;
}

// The allowed values of one member as wide texts; false when the value is not a string or a
// non-empty array of strings.
bool AllowedValues(const Json::Value& value, std::list<std::wstring>& allowed) {
    if (value.isString()) {
        allowed.push_back(String::UTF8ToUTF16(value.asString()));
        return true;
    }
    if (!value.isArray() || value.empty()) return false;
    for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
        if (!value[i].isString()) return false;
        allowed.push_back(String::UTF8ToUTF16(value[i].asString()));
    }
    return true;
}

std::wstring Join(const std::list<std::wstring>& values) {
    std::wstring joined;
    for (const std::wstring& value : values) {
        if (!joined.empty()) joined += L", ";
        joined += L"\"" + value + L"\"";
    }
    return joined;
}

}  // namespace

bool AttributeApplicabilityEvaluator::Evaluate(const ApplicabilityFilter& filter, const void* /*context*/,
                                               std::list<KeyValuePair>& details,
                                               std::wstring& discardedReason) {
    auto fail = [&](std::wstring reason) {
        std::lock_guard<std::mutex> lock(m_reasonMutex);
        discardedReason = std::move(reason);
        return false;
    };

    const Json::Value& rules = filter.rules;
    if (rules.isNull()) return true;
    if (!rules.isObject()) return fail(L"applicability filter is not a JSON object");

    const Attributes attributes = CurrentDeviceState().attributes;
    for (const std::string& name : rules.getMemberNames()) {
        const std::wstring wideName = String::UTF8ToUTF16(name);
        std::list<std::wstring> allowed;
        if (!AllowedValues(rules[name], allowed))
            return fail(L"applicability filter member \"" + wideName +
                        L"\" is neither a string nor a non-empty list of strings");

        const std::string* deviceValue = FindAttribute(attributes, name);
        if (deviceValue == nullptr) return fail(L"device has no attribute \"" + wideName + L"\"");

        const std::wstring wideValue = String::UTF8ToUTF16(*deviceValue);
        details.emplace_back(wideName, wideValue);
        bool matched = false;
        for (const std::wstring& value : allowed) {
            if (String::CaseInsesitiveEqual(value, wideValue)) matched = true;
        }
        if (!matched)
            return fail(L"device attribute \"" + wideName + L"\" is \"" + wideValue + L"\", allowed: " +
                        Join(allowed));
    }
    return true;
}

}  // namespace linuxhost
}  // namespace ZEL
