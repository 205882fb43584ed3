// The agent's compact JSON writer.
//
// It writes the same bytes as jsoncpp's StreamWriter with no indentation and emitUTF8 set (the
// form every stored record and every peer has seen), straight into one string: jsoncpp's writer
// goes through an ostream and a string per value, which cost more than the rest of an upload
// body. The text is jsoncpp's in every detail:
// - members in the object's own order (its keys sorted bytewise), ':' and ',' with no spaces;
// - in strings, '"', '\\', '\b', '\f', '\n', '\r', '\t' as short escapes, the other bytes below
//   0x20 as \u00xx (lowercase hex), and every other byte as it is (UTF-8 passes through);
// - integers in decimal, reals as jsoncpp formats them (17 significant digits, ".0" added to a
//   whole number, null for NaN, +/-1e+9999 for the infinities).
#include "datasync/common/CompactJson.h"

#include <charconv>

namespace ZEL {
namespace DataSync {
namespace {

void AppendQuoted(std::string& out, const char* text, const char* end) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    const char* plain = text;  // the start of the bytes not yet copied
    for (const char* c = text; c != end; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
        out.append(plain, c);
        plain = c + 1;
        switch (byte) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default: {
                const char escape[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
                out.append(escape, sizeof escape);
            }
        }
    }
    out.append(plain, end);
    out += '"';
}

template <typename Number>
void AppendInteger(std::string& out, Number value) {
    char digits[24];
    const auto written = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, written.ptr);
}

void Append(std::string& out, const Json::Value& value) {
    switch (value.type()) {
        case Json::nullValue:
            out += "null";
            break;
        case Json::intValue:
            AppendInteger(out, value.asLargestInt());
            break;
        case Json::uintValue:
            AppendInteger(out, value.asLargestUInt());
            break;
        case Json::realValue:
            out += Json::valueToString(value.asDouble());
            break;
        case Json::booleanValue:
            out += value.asBool() ? "true" : "false";
            break;
        case Json::stringValue: {
            const char* text = nullptr;
            const char* end = nullptr;
            if (value.getString(&text, &end)) AppendQuoted(out, text, end);
            break;
        }
        case Json::arrayValue: {
            out += '[';
            const Json::ArrayIndex size = value.size();
            for (Json::ArrayIndex index = 0; index < size; ++index) {
                if (index > 0) out += ',';
                Append(out, value[index]);
            }
            out += ']';
            break;
        }
        case Json::objectValue: {
            out += '{';
            for (auto member = value.begin(); member != value.end(); ++member) {
                if (member != value.begin()) out += ',';
                const char* end = nullptr;
                const char* name = member.memberName(&end);
                AppendQuoted(out, name, end);
                out += ':';
                Append(out, *member);
            }
            out += '}';
            break;
        }
    }
}

}  // namespace

std::string CompactJson(const Json::Value& value) {
    std::string text;
    Append(text, value);
    return text;
}

void AppendCompactJson(std::string& out, const Json::Value& value) {
    Append(out, value);
}

void AppendJsonString(std::string& out, std::string_view text) {
    AppendQuoted(out, text.data(), text.data() + text.size());
}

}  // namespace DataSync
}  // namespace ZEL
