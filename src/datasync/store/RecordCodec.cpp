// The record codec: each record class is described once as a table of its members (JSON name,
// getter, setter), and one generic encoder and decoder walk those tables. Adding a field to a
// record is then one line here, and encoding and decoding cannot drift apart.
//
// Decoding is lenient where a stored row may have been written by another producer (numbers
// and booleans where texts are expected, missing members, null) and strict about shape, so
// that a row which is not a record is reported instead of half-read.
#include "datasync/store/RecordCodec.h"

#include <charconv>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "datasync/common/CompactJson.h"
#include "datasync/common/StringUtil.h"

namespace ZEL {
namespace {

template <typename Record>
struct TextMember {
    const char* name;
    const std::wstring& (Record::*get)() const;
    void (Record::*set)(const std::wstring&);
};

// clang-format off
#define ZEL_TEXT_MEMBER(Record, member) TextMember<Record>{#member, &Record::member, &Record::set_##member}
// clang-format on

const TextMember<ItemEvent> kItemEventTexts[] = {
    ZEL_TEXT_MEMBER(ItemEvent, dataset_id),          ZEL_TEXT_MEMBER(ItemEvent, dataset_name),
    ZEL_TEXT_MEMBER(ItemEvent, device_context_id),   ZEL_TEXT_MEMBER(ItemEvent, dataset_context_id),
    ZEL_TEXT_MEMBER(ItemEvent, item_context_id),     ZEL_TEXT_MEMBER(ItemEvent, item_id),
    ZEL_TEXT_MEMBER(ItemEvent, item_name),           ZEL_TEXT_MEMBER(ItemEvent, item_time),
    ZEL_TEXT_MEMBER(ItemEvent, schema_ver),          ZEL_TEXT_MEMBER(ItemEvent, source_component),
    ZEL_TEXT_MEMBER(ItemEvent, item_data_encrypted), ZEL_TEXT_MEMBER(ItemEvent, item_data_encryption_key_id),
};

const TextMember<ItemContext> kItemContextTexts[] = {
    ZEL_TEXT_MEMBER(ItemContext, dataset_id), ZEL_TEXT_MEMBER(ItemContext, item_context_id),
    ZEL_TEXT_MEMBER(ItemContext, item_id),    ZEL_TEXT_MEMBER(ItemContext, item_name),
    ZEL_TEXT_MEMBER(ItemContext, item_time),
};

const TextMember<DatasetContext> kDatasetContextTexts[] = {
    ZEL_TEXT_MEMBER(DatasetContext, dataset_id),
    ZEL_TEXT_MEMBER(DatasetContext, dataset_name),
    ZEL_TEXT_MEMBER(DatasetContext, dataset_type),
    ZEL_TEXT_MEMBER(DatasetContext, dataset_context_id),
    ZEL_TEXT_MEMBER(DatasetContext, dataset_context_datetime),
    ZEL_TEXT_MEMBER(DatasetContext, device_context_id),
    ZEL_TEXT_MEMBER(DatasetContext, schema_ver),
    ZEL_TEXT_MEMBER(DatasetContext, source_component),
};

const TextMember<DeviceContext> kDeviceContextTexts[] = {
    ZEL_TEXT_MEMBER(DeviceContext, device_id),
    ZEL_TEXT_MEMBER(DeviceContext, device_context_id),
    ZEL_TEXT_MEMBER(DeviceContext, device_context_datetime),
    ZEL_TEXT_MEMBER(DeviceContext, dataset_id),
    ZEL_TEXT_MEMBER(DeviceContext, schema_ver),
    ZEL_TEXT_MEMBER(DeviceContext, source_component),
};

const TextMember<DeviceInfo> kDeviceInfoTexts[] = {
    ZEL_TEXT_MEMBER(DeviceInfo, device_id),
    ZEL_TEXT_MEMBER(DeviceInfo, device_id2),
    ZEL_TEXT_MEMBER(DeviceInfo, device_name),
    ZEL_TEXT_MEMBER(DeviceInfo, device_brand),
    ZEL_TEXT_MEMBER(DeviceInfo, device_subbrand),
    ZEL_TEXT_MEMBER(DeviceInfo, device_family),
    ZEL_TEXT_MEMBER(DeviceInfo, device_modeltype),
    ZEL_TEXT_MEMBER(DeviceInfo, device_manufacturer),
    ZEL_TEXT_MEMBER(DeviceInfo, device_biosversion),
    ZEL_TEXT_MEMBER(DeviceInfo, device_ecversion),
    ZEL_TEXT_MEMBER(DeviceInfo, device_smbiosversion),
    ZEL_TEXT_MEMBER(DeviceInfo, device_enclosuretype),
    ZEL_TEXT_MEMBER(DeviceInfo, device_path),
    ZEL_TEXT_MEMBER(DeviceInfo, device_subscription),
    ZEL_TEXT_MEMBER(DeviceInfo, device_info_datetime),
    ZEL_TEXT_MEMBER(DeviceInfo, os_name),
    ZEL_TEXT_MEMBER(DeviceInfo, os_version),
    ZEL_TEXT_MEMBER(DeviceInfo, os_language),
    ZEL_TEXT_MEMBER(DeviceInfo, os_country),
    ZEL_TEXT_MEMBER(DeviceInfo, os_updatetitle),
    ZEL_TEXT_MEMBER(DeviceInfo, os_updatedescription),
};

const TextMember<RegionInfo> kRegionInfoTexts[] = {
    ZEL_TEXT_MEMBER(RegionInfo, region_name),   ZEL_TEXT_MEMBER(RegionInfo, country_name),
    ZEL_TEXT_MEMBER(RegionInfo, country_code),  ZEL_TEXT_MEMBER(RegionInfo, language_name),
    ZEL_TEXT_MEMBER(RegionInfo, language_code), ZEL_TEXT_MEMBER(RegionInfo, region_info_datetime),
};

const TextMember<ZELInfo> kZelInfoTexts[] = {
    ZEL_TEXT_MEMBER(ZELInfo, zel_id),
    ZEL_TEXT_MEMBER(ZELInfo, zel_name),
    ZEL_TEXT_MEMBER(ZELInfo, zel_key),
    ZEL_TEXT_MEMBER(ZELInfo, zel_version),
    ZEL_TEXT_MEMBER(ZELInfo, zel_channel),
    ZEL_TEXT_MEMBER(ZELInfo, zel_datetime),
    ZEL_TEXT_MEMBER(ZELInfo, anonymous_data_collection_preference),
};

#undef ZEL_TEXT_MEMBER

// ---- encoding -----------------------------------------------------------------------------

Json::Value Text(const std::wstring& text) {
    return Json::Value(String::UTF16ToUTF8(text));
}

template <typename Record, std::size_t N>
void EncodeTexts(const Record& record, const TextMember<Record> (&members)[N], Json::Value& out) {
    for (const TextMember<Record>& member : members) out[member.name] = Text((record.*member.get)());
}

Json::Value EncodeMap(const StringMap& map) {
    Json::Value object(Json::objectValue);
    for (const auto& entry : map) object[String::UTF16ToUTF8(entry.first)] = Text(entry.second);
    return object;
}

Json::Value EncodeList(const StringList& list) {
    Json::Value array(Json::arrayValue);
    for (const std::wstring& text : list) array.append(Text(text));
    return array;
}

Json::Value Encode(const ItemEvent& record) {
    Json::Value out(Json::objectValue);
    EncodeTexts(record, kItemEventTexts, out);
    out["item_data"] = EncodeMap(record.item_data());
    return out;
}

Json::Value Encode(const ItemContext& record) {
    Json::Value out(Json::objectValue);
    EncodeTexts(record, kItemContextTexts, out);
    out["item_data"] = EncodeMap(record.item_data());
    return out;
}

Json::Value Encode(const DatasetContext& record) {
    Json::Value out(Json::objectValue);
    EncodeTexts(record, kDatasetContextTexts, out);
    out["item_data"] = EncodeMap(record.item_data());
    return out;
}

Json::Value Encode(const DeviceContext& record) {
    Json::Value out(Json::objectValue);
    EncodeTexts(record, kDeviceContextTexts, out);

    Json::Value deviceInfo(Json::objectValue);
    EncodeTexts(record.device_info(), kDeviceInfoTexts, deviceInfo);
    deviceInfo["device_extensionkeyvalue"] = EncodeList(record.device_info().device_extensionkeyvalue());
    out["device_info"] = std::move(deviceInfo);

    Json::Value regionInfo(Json::objectValue);
    EncodeTexts(record.region_info(), kRegionInfoTexts, regionInfo);
    out["region_info"] = std::move(regionInfo);

    Json::Value schemaInfo(Json::objectValue);
    schemaInfo["extension_keyvalue"] = EncodeMap(record.schema_info().extension_keyvalue());
    out["schema_info"] = std::move(schemaInfo);

    Json::Value zelInfo(Json::objectValue);
    EncodeTexts(record.zel_info(), kZelInfoTexts, zelInfo);
    zelInfo["zel_installed_packages"] = EncodeMap(record.zel_info().zel_installed_packages());
    out["zel_info"] = std::move(zelInfo);
    return out;
}

template <typename Record>
bool SerializeRecord(const Record& record, std::wstring& json) {
    try {
        json = String::UTF8ToUTF16(DataSync::CompactJson(Encode(record)));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// ---- decoding -----------------------------------------------------------------------------

// The member `name` of `object`, or null when it is missing.
const Json::Value* Member(const Json::Value& object, const char* name) {
    return object.find(name, name + std::strlen(name));
}

bool IsAbsent(const Json::Value* value) {
    return value == nullptr || value->isNull();
}

// The JSON text of a number: integers in full, reals in their shortest exact form.
std::string NumberText(const Json::Value& value) {
    if (value.isInt64()) return std::to_string(value.asInt64());
    if (value.isUInt64()) return std::to_string(value.asUInt64());
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value.asDouble());
    if (result.ec != std::errc()) return std::string();
    return std::string(buffer, result.ptr);
}

// A text value; numbers and booleans are read as their JSON text. False for objects/arrays.
bool DecodeText(const Json::Value* value, std::wstring& out) {
    if (IsAbsent(value)) {
        out.clear();
    } else if (value->isString()) {
        out = String::UTF8ToUTF16(value->asString());
    } else if (value->isBool()) {
        out = value->asBool() ? L"true" : L"false";
    } else if (value->isNumeric()) {
        out = String::UTF8ToUTF16(NumberText(*value));
    } else {
        return false;
    }
    return true;
}

template <typename Record, std::size_t N>
bool DecodeTexts(const Json::Value& in, const TextMember<Record> (&members)[N], Record& record) {
    std::wstring text;
    for (const TextMember<Record>& member : members) {
        if (!DecodeText(Member(in, member.name), text)) return false;
        (record.*member.set)(text);
    }
    return true;
}

bool DecodeMap(const Json::Value& in, const char* name, StringMap& map) {
    map.clear();
    const Json::Value* value = Member(in, name);
    if (IsAbsent(value)) return true;
    if (!value->isObject()) return false;
    for (auto entry = value->begin(); entry != value->end(); ++entry) {
        std::wstring text;
        if (!DecodeText(&*entry, text)) return false;
        map[String::UTF8ToUTF16(entry.name())] = std::move(text);
    }
    return true;
}

bool DecodeList(const Json::Value& in, const char* name, StringList& list) {
    list.clear();
    const Json::Value* value = Member(in, name);
    if (IsAbsent(value)) return true;
    if (!value->isArray()) return false;
    for (const Json::Value& element : *value) {
        std::wstring text;
        if (!DecodeText(&element, text)) return false;
        list.push_back(std::move(text));
    }
    return true;
}

// A nested record: null when it is missing (the record is then empty), false when misshapen.
bool NestedObject(const Json::Value& in, const char* name, const Json::Value*& nested) {
    const Json::Value* value = Member(in, name);
    nested = IsAbsent(value) ? nullptr : value;
    return nested == nullptr || nested->isObject();
}

bool Decode(const Json::Value& in, ItemEvent& record) {
    return DecodeTexts(in, kItemEventTexts, record) && DecodeMap(in, "item_data", record.mutable_item_data());
}

bool Decode(const Json::Value& in, ItemContext& record) {
    return DecodeTexts(in, kItemContextTexts, record) &&
           DecodeMap(in, "item_data", record.mutable_item_data());
}

bool Decode(const Json::Value& in, DatasetContext& record) {
    return DecodeTexts(in, kDatasetContextTexts, record) &&
           DecodeMap(in, "item_data", record.mutable_item_data());
}

bool Decode(const Json::Value& in, DeviceContext& record) {
    if (!DecodeTexts(in, kDeviceContextTexts, record)) return false;
    const Json::Value* nested = nullptr;
    const Json::Value empty(Json::objectValue);

    if (!NestedObject(in, "device_info", nested)) return false;
    DeviceInfo& deviceInfo = record.mutable_device_info();
    if (!DecodeTexts(nested ? *nested : empty, kDeviceInfoTexts, deviceInfo) ||
        !DecodeList(nested ? *nested : empty, "device_extensionkeyvalue",
                    deviceInfo.mutable_device_extensionkeyvalue()))
        return false;

    if (!NestedObject(in, "region_info", nested)) return false;
    if (!DecodeTexts(nested ? *nested : empty, kRegionInfoTexts, record.mutable_region_info())) return false;

    if (!NestedObject(in, "schema_info", nested)) return false;
    if (!DecodeMap(nested ? *nested : empty, "extension_keyvalue",
                   record.mutable_schema_info().mutable_extension_keyvalue()))
        return false;

    if (!NestedObject(in, "zel_info", nested)) return false;
    ZELInfo& zelInfo = record.mutable_zel_info();
    return DecodeTexts(nested ? *nested : empty, kZelInfoTexts, zelInfo) &&
           DecodeMap(nested ? *nested : empty, "zel_installed_packages",
                     zelInfo.mutable_zel_installed_packages());
}

// Parses `json` as exactly one JSON object: trailing text after it is an error, not ignored.
bool ParseObject(const std::string& text, Json::Value& root) {
    static const Json::CharReaderBuilder reader = [] {
        Json::CharReaderBuilder builder;
        builder["failIfExtra"] = true;
        return builder;
    }();
    // Making a reader costs more than parsing a row: each thread keeps its own (a reader is not
    // shared between threads, and each parse starts afresh).
    thread_local const std::unique_ptr<Json::CharReader> parser(reader.newCharReader());
    std::string errors;
    return parser->parse(text.data(), text.data() + text.size(), &root, &errors) && root.isObject();
}

template <typename Record>
bool DeSerializeRecord(const std::string& utf8Json, Record* record) {
    if (record == nullptr) return false;
    try {
        Json::Value root;
        return ParseObject(utf8Json, root) && Decode(root, *record);
    } catch (const std::exception&) {
        // jsoncpp throws on pathological input (nesting beyond its stack limit).
        return false;
    }
}

template <typename Record>
bool DeSerializeRecord(const std::wstring& json, Record* record) {
    return DeSerializeRecord(String::UTF16ToUTF8(json), record);
}

}  // namespace

bool JsonSerialize::DeSerialize(const std::wstring& json, ItemEvent* record) {
    return DeSerializeRecord(json, record);
}
bool JsonSerialize::DeSerialize(const std::wstring& json, DatasetContext* record) {
    return DeSerializeRecord(json, record);
}
bool JsonSerialize::DeSerialize(const std::wstring& json, DeviceContext* record) {
    return DeSerializeRecord(json, record);
}

bool JsonSerialize::DeSerialize(const std::string& utf8Json, ItemEvent* record) {
    return DeSerializeRecord(utf8Json, record);
}
bool JsonSerialize::DeSerialize(const std::string& utf8Json, DatasetContext* record) {
    return DeSerializeRecord(utf8Json, record);
}
bool JsonSerialize::DeSerialize(const std::string& utf8Json, DeviceContext* record) {
    return DeSerializeRecord(utf8Json, record);
}
bool JsonSerialize::DeSerialize(const std::string& utf8Json, ItemContext* record) {
    return DeSerializeRecord(utf8Json, record);
}

bool JsonSerialize::DeSerializeForSync(const std::wstring& json, ItemEvent* record) {
    return DeSerializeRecord(json, record);
}
bool JsonSerialize::DeSerializeForSync(const std::wstring& json, DatasetContext* record) {
    return DeSerializeRecord(json, record);
}
bool JsonSerialize::DeSerializeForSync(const std::wstring& json, DeviceContext* record) {
    return DeSerializeRecord(json, record);
}
bool JsonSerialize::DeSerializeForSync(const std::wstring& json, ItemContext* record) {
    return DeSerializeRecord(json, record);
}

bool JsonSerialize::Serialize(const ItemEvent& record, std::wstring& json) {
    return SerializeRecord(record, json);
}
bool JsonSerialize::Serialize(const ItemContext& record, std::wstring& json) {
    return SerializeRecord(record, json);
}
bool JsonSerialize::Serialize(const DatasetContext& record, std::wstring& json) {
    return SerializeRecord(record, json);
}
bool JsonSerialize::Serialize(const DeviceContext& record, std::wstring& json) {
    return SerializeRecord(record, json);
}

void JsonSerialize::ConvertMapToJsonArray(const StringMap& map, Json::Value& array) {
    Json::Value result(Json::arrayValue);
    for (const auto& entry : map) {
        Json::Value pair(Json::objectValue);
        pair["key"] = Text(entry.first);
        pair["value"] = Text(entry.second);
        result.append(std::move(pair));
    }
    array = std::move(result);
}

}  // namespace ZEL
