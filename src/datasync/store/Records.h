// The telemetry record classes: plain value types with a getter and a setter per field.
// Every text is a wide string; item data are ordered maps of key to value text.
//
// Each class names its kind with TypeName(), the text the agent passes around as the record's
// run-time type name ("class ItemEvent"); the table name and the SyncPoint `type` drop the
// "class " prefix. Records read from a table carry that row's id in row_id().
//
// Thread safety: plain values without shared state; a record may be read from any number of
// threads, written by one at a time.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>

namespace ZEL {

using StringMap = std::map<std::wstring, std::wstring>;
using StringList = std::list<std::wstring>;

#define ZEL_RECORD_TEXT(name)                                           \
public:                                                                 \
    const std::wstring& name() const { return m_##name; }               \
    void set_##name(const std::wstring& value) { m_##name = value; }    \
                                                                        \
private:                                                                \
    std::wstring m_##name;

#define ZEL_RECORD_VALUE(type, name)                                    \
public:                                                                 \
    const type& name() const { return m_##name; }                       \
    type& mutable_##name() { return m_##name; }                         \
    void set_##name(const type& value) { m_##name = value; }            \
                                                                        \
private:                                                                \
    type m_##name{};

#define ZEL_RECORD_ROW_ID                                               \
public:                                                                 \
    std::int64_t row_id() const { return m_row_id; }                    \
    void set_row_id(std::int64_t id) { m_row_id = id; }                 \
                                                                        \
private:                                                                \
    std::int64_t m_row_id = 0;

class ItemEvent {
public:
    static const wchar_t* TypeName() { return L"class ItemEvent"; }
    ZEL_RECORD_TEXT(dataset_id)
    ZEL_RECORD_TEXT(dataset_name)
    ZEL_RECORD_TEXT(device_context_id)
    ZEL_RECORD_TEXT(dataset_context_id)
    ZEL_RECORD_TEXT(item_context_id)
    ZEL_RECORD_TEXT(item_id)
    ZEL_RECORD_TEXT(item_name)
    ZEL_RECORD_TEXT(item_time)
    ZEL_RECORD_TEXT(schema_ver)
    ZEL_RECORD_TEXT(source_component)
    ZEL_RECORD_TEXT(item_data_encrypted)
    ZEL_RECORD_TEXT(item_data_encryption_key_id)
    ZEL_RECORD_VALUE(StringMap, item_data)
    ZEL_RECORD_ROW_ID
};

class ItemContext {
public:
    static const wchar_t* TypeName() { return L"class ItemContext"; }
    ZEL_RECORD_TEXT(dataset_id)
    ZEL_RECORD_TEXT(item_context_id)
    ZEL_RECORD_TEXT(item_id)
    ZEL_RECORD_TEXT(item_name)
    ZEL_RECORD_TEXT(item_time)
    ZEL_RECORD_VALUE(StringMap, item_data)
    ZEL_RECORD_ROW_ID
};

class DatasetContext {
public:
    static const wchar_t* TypeName() { return L"class DatasetContext"; }
    ZEL_RECORD_TEXT(dataset_id)
    ZEL_RECORD_TEXT(dataset_name)
    ZEL_RECORD_TEXT(dataset_type)
    ZEL_RECORD_TEXT(dataset_context_id)
    ZEL_RECORD_TEXT(dataset_context_datetime)
    ZEL_RECORD_TEXT(device_context_id)
    ZEL_RECORD_TEXT(schema_ver)
    ZEL_RECORD_TEXT(source_component)
    ZEL_RECORD_VALUE(StringMap, item_data)
    ZEL_RECORD_ROW_ID
};

class DeviceInfo {
public:
    ZEL_RECORD_TEXT(device_id)
    ZEL_RECORD_TEXT(device_id2)
    ZEL_RECORD_TEXT(device_name)
    ZEL_RECORD_TEXT(device_brand)
    ZEL_RECORD_TEXT(device_subbrand)
    ZEL_RECORD_TEXT(device_family)
    ZEL_RECORD_TEXT(device_modeltype)
    ZEL_RECORD_TEXT(device_manufacturer)
    ZEL_RECORD_TEXT(device_biosversion)
    ZEL_RECORD_TEXT(device_ecversion)
    ZEL_RECORD_TEXT(device_smbiosversion)
    ZEL_RECORD_TEXT(device_enclosuretype)
    ZEL_RECORD_TEXT(device_path)
    ZEL_RECORD_TEXT(device_subscription)
    ZEL_RECORD_TEXT(device_info_datetime)
    ZEL_RECORD_TEXT(os_name)
    ZEL_RECORD_TEXT(os_version)
    ZEL_RECORD_TEXT(os_language)
    ZEL_RECORD_TEXT(os_country)
    ZEL_RECORD_TEXT(os_updatetitle)
    ZEL_RECORD_TEXT(os_updatedescription)
    ZEL_RECORD_VALUE(StringList, device_extensionkeyvalue)
};

class RegionInfo {
public:
    ZEL_RECORD_TEXT(region_name)
    ZEL_RECORD_TEXT(country_name)
    ZEL_RECORD_TEXT(country_code)
    ZEL_RECORD_TEXT(language_name)
    ZEL_RECORD_TEXT(language_code)
    ZEL_RECORD_TEXT(region_info_datetime)
};

class ZELInfo {
public:
    ZEL_RECORD_TEXT(zel_id)
    ZEL_RECORD_TEXT(zel_name)
    ZEL_RECORD_TEXT(zel_key)
    ZEL_RECORD_TEXT(zel_version)
    ZEL_RECORD_TEXT(zel_channel)
    ZEL_RECORD_TEXT(zel_datetime)
    ZEL_RECORD_TEXT(anonymous_data_collection_preference)
    ZEL_RECORD_VALUE(StringMap, zel_installed_packages)
};

class SchemaInfo {
public:
    ZEL_RECORD_VALUE(StringMap, extension_keyvalue)
};

class DeviceContext {
public:
    static const wchar_t* TypeName() { return L"class DeviceContext"; }
    ZEL_RECORD_TEXT(device_id)
    ZEL_RECORD_TEXT(device_context_id)
    ZEL_RECORD_TEXT(device_context_datetime)
    ZEL_RECORD_TEXT(dataset_id)
    ZEL_RECORD_TEXT(schema_ver)
    ZEL_RECORD_TEXT(source_component)
    ZEL_RECORD_VALUE(DeviceInfo, device_info)
    ZEL_RECORD_VALUE(RegionInfo, region_info)
    ZEL_RECORD_VALUE(SchemaInfo, schema_info)
    ZEL_RECORD_VALUE(ZELInfo, zel_info)
    ZEL_RECORD_ROW_ID
};

// Built by the agent for the NAVP header.
class AppInfo {
public:
    ZEL_RECORD_TEXT(app_key)
    ZEL_RECORD_TEXT(app_version)
    ZEL_RECORD_TEXT(app_name)
    ZEL_RECORD_TEXT(app_channel)
};

// Default-constructed by the agent: this host has no user identity to report.
class UserInfo {
public:
    ZEL_RECORD_TEXT(user_uid)
    ZEL_RECORD_TEXT(user_lid)
    ZEL_RECORD_TEXT(user_sid)
};

#undef ZEL_RECORD_TEXT
#undef ZEL_RECORD_VALUE
#undef ZEL_RECORD_ROW_ID

}  // namespace ZEL
