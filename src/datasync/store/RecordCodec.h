// The record codec: the JSON object stored in a telemetry row's `data` column.
//
// Layout: one member per accessor of the record class, named like the accessor ("dataset_id",
// "item_id", "item_data", ...). Texts are JSON strings; maps (item_data, zel_installed_packages,
// extension_keyvalue) are objects of strings; lists (device_extensionkeyvalue) arrays of strings.
// DeviceContext nests "device_info", "region_info", "schema_info" and "zel_info" objects. The row
// id is not part of the data (it is the row's own id).
//
// Decoding: a missing member decodes as empty. A number or boolean where a text is expected is
// taken as its JSON text. A `json` that is not one JSON object, or a member of the wrong shape
// (an object where a text is expected, a non-object where a map is expected), fails: false, and
// the record is left in an unspecified but valid state.
//
// DeSerialize and DeSerializeForSync read the same layout; the ForSync family also knows
// ItemContext. Output is compact (one line, members sorted by name), with non-ASCII as UTF-8.
//
// Thread safety: static functions without state; callable from any thread on records the caller
// owns.
#pragma once

#include <json/json.h>

#include <string>

#include "datasync/store/Records.h"

namespace ZEL {

class JsonSerialize {
public:
    static bool DeSerialize(const std::wstring& json, ItemEvent* record);
    static bool DeSerialize(const std::wstring& json, DatasetContext* record);
    static bool DeSerialize(const std::wstring& json, DeviceContext* record);

    static bool DeSerializeForSync(const std::wstring& json, ItemEvent* record);
    static bool DeSerializeForSync(const std::wstring& json, DatasetContext* record);
    static bool DeSerializeForSync(const std::wstring& json, DeviceContext* record);
    static bool DeSerializeForSync(const std::wstring& json, ItemContext* record);
    // The same from a row's UTF-8 text as it is stored, without a detour through wide text.
    static bool DeSerialize(const std::string& utf8Json, ItemEvent* record);
    static bool DeSerialize(const std::string& utf8Json, DatasetContext* record);
    static bool DeSerialize(const std::string& utf8Json, DeviceContext* record);
    static bool DeSerialize(const std::string& utf8Json, ItemContext* record);

    static bool Serialize(const ItemEvent& record, std::wstring& json);
    static bool Serialize(const ItemContext& record, std::wstring& json);
    static bool Serialize(const DatasetContext& record, std::wstring& json);
    static bool Serialize(const DeviceContext& record, std::wstring& json);

    // [{"key": k, "value": v}, ...] in key order.
    static void ConvertMapToJsonArray(const StringMap& map, Json::Value& array);
};

}  // namespace ZEL
