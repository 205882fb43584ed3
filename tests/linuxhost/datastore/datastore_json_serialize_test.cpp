// The record codec: exact round trips of every field of every record kind, the compact
// layout, lenient reading of missing members and scalars, and refusal of anything that is not
// one record object.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "datasync/host/JsonSerialize.h"
#include "datasync/host/Records.h"
#include "datasync/host/StringUtil.h"

namespace {

using ZEL::JsonSerialize;

// A distinct text per field, with the characters a codec gets wrong first.
std::wstring V(const std::wstring& field) {
    return field + L": caf\u00e9 \u4e2d \U0001F600 \"q\" \\ / \t\n\u0001 end";
}

ZEL::StringMap SampleMap(const std::wstring& prefix) {
    return {{prefix + L"key", V(prefix)}, {L"", L"empty key"}, {prefix + L"\u00fc", L""}, {L"n", L"42"}};
}

#define EXPECT_FIELD(a, b, name) EXPECT_EQ((a).name(), (b).name()) << #name

ZEL::ItemEvent FullItemEvent() {
    ZEL::ItemEvent r;
    r.set_dataset_id(V(L"dataset_id"));
    r.set_dataset_name(V(L"dataset_name"));
    r.set_device_context_id(V(L"device_context_id"));
    r.set_dataset_context_id(V(L"dataset_context_id"));
    r.set_item_context_id(V(L"item_context_id"));
    r.set_item_id(V(L"item_id"));
    r.set_item_name(V(L"item_name"));
    r.set_item_time(V(L"item_time"));
    r.set_schema_ver(V(L"schema_ver"));
    r.set_source_component(V(L"source_component"));
    r.set_item_data_encrypted(V(L"item_data_encrypted"));
    r.set_item_data_encryption_key_id(V(L"item_data_encryption_key_id"));
    r.set_item_data(SampleMap(L"item"));
    return r;
}

void ExpectSame(const ZEL::ItemEvent& a, const ZEL::ItemEvent& b) {
    EXPECT_FIELD(a, b, dataset_id);
    EXPECT_FIELD(a, b, dataset_name);
    EXPECT_FIELD(a, b, device_context_id);
    EXPECT_FIELD(a, b, dataset_context_id);
    EXPECT_FIELD(a, b, item_context_id);
    EXPECT_FIELD(a, b, item_id);
    EXPECT_FIELD(a, b, item_name);
    EXPECT_FIELD(a, b, item_time);
    EXPECT_FIELD(a, b, schema_ver);
    EXPECT_FIELD(a, b, source_component);
    EXPECT_FIELD(a, b, item_data_encrypted);
    EXPECT_FIELD(a, b, item_data_encryption_key_id);
    EXPECT_FIELD(a, b, item_data);
}

ZEL::ItemContext FullItemContext() {
    ZEL::ItemContext r;
    r.set_dataset_id(V(L"dataset_id"));
    r.set_item_context_id(V(L"item_context_id"));
    r.set_item_id(V(L"item_id"));
    r.set_item_name(V(L"item_name"));
    r.set_item_time(V(L"item_time"));
    r.set_item_data(SampleMap(L"ctx"));
    return r;
}

void ExpectSame(const ZEL::ItemContext& a, const ZEL::ItemContext& b) {
    EXPECT_FIELD(a, b, dataset_id);
    EXPECT_FIELD(a, b, item_context_id);
    EXPECT_FIELD(a, b, item_id);
    EXPECT_FIELD(a, b, item_name);
    EXPECT_FIELD(a, b, item_time);
    EXPECT_FIELD(a, b, item_data);
}

ZEL::DatasetContext FullDatasetContext() {
    ZEL::DatasetContext r;
    r.set_dataset_id(V(L"dataset_id"));
    r.set_dataset_name(V(L"dataset_name"));
    r.set_dataset_type(V(L"dataset_type"));
    r.set_dataset_context_id(V(L"dataset_context_id"));
    r.set_dataset_context_datetime(V(L"dataset_context_datetime"));
    r.set_device_context_id(V(L"device_context_id"));
    r.set_schema_ver(V(L"schema_ver"));
    r.set_source_component(V(L"source_component"));
    r.set_item_data(SampleMap(L"ds"));
    return r;
}

void ExpectSame(const ZEL::DatasetContext& a, const ZEL::DatasetContext& b) {
    EXPECT_FIELD(a, b, dataset_id);
    EXPECT_FIELD(a, b, dataset_name);
    EXPECT_FIELD(a, b, dataset_type);
    EXPECT_FIELD(a, b, dataset_context_id);
    EXPECT_FIELD(a, b, dataset_context_datetime);
    EXPECT_FIELD(a, b, device_context_id);
    EXPECT_FIELD(a, b, schema_ver);
    EXPECT_FIELD(a, b, source_component);
    EXPECT_FIELD(a, b, item_data);
}

ZEL::DeviceContext FullDeviceContext() {
    ZEL::DeviceContext r;
    r.set_device_id(V(L"device_id"));
    r.set_device_context_id(V(L"device_context_id"));
    r.set_device_context_datetime(V(L"device_context_datetime"));
    r.set_dataset_id(V(L"dataset_id"));
    r.set_schema_ver(V(L"schema_ver"));
    r.set_source_component(V(L"source_component"));
    ZEL::DeviceInfo& d = r.mutable_device_info();
    d.set_device_id(V(L"info.device_id"));
    d.set_device_id2(V(L"device_id2"));
    d.set_device_name(V(L"device_name"));
    d.set_device_brand(V(L"device_brand"));
    d.set_device_subbrand(V(L"device_subbrand"));
    d.set_device_family(V(L"device_family"));
    d.set_device_modeltype(V(L"device_modeltype"));
    d.set_device_manufacturer(V(L"device_manufacturer"));
    d.set_device_biosversion(V(L"device_biosversion"));
    d.set_device_ecversion(V(L"device_ecversion"));
    d.set_device_smbiosversion(V(L"device_smbiosversion"));
    d.set_device_enclosuretype(V(L"device_enclosuretype"));
    d.set_device_path(V(L"device_path"));
    d.set_device_subscription(V(L"device_subscription"));
    d.set_device_info_datetime(V(L"device_info_datetime"));
    d.set_os_name(V(L"os_name"));
    d.set_os_version(V(L"os_version"));
    d.set_os_language(V(L"os_language"));
    d.set_os_country(V(L"os_country"));
    d.set_os_updatetitle(V(L"os_updatetitle"));
    d.set_os_updatedescription(V(L"os_updatedescription"));
    d.set_device_extensionkeyvalue({L"z=1", V(L"ext"), L"", L"z=1", L"a=2"});
    ZEL::RegionInfo& g = r.mutable_region_info();
    g.set_region_name(V(L"region_name"));
    g.set_country_name(V(L"country_name"));
    g.set_country_code(V(L"country_code"));
    g.set_language_name(V(L"language_name"));
    g.set_language_code(V(L"language_code"));
    g.set_region_info_datetime(V(L"region_info_datetime"));
    r.mutable_schema_info().set_extension_keyvalue(SampleMap(L"schema"));
    ZEL::ZELInfo& z = r.mutable_zel_info();
    z.set_zel_id(V(L"zel_id"));
    z.set_zel_name(V(L"zel_name"));
    z.set_zel_key(V(L"zel_key"));
    z.set_zel_version(V(L"zel_version"));
    z.set_zel_channel(V(L"zel_channel"));
    z.set_zel_datetime(V(L"zel_datetime"));
    z.set_anonymous_data_collection_preference(V(L"anonymous_data_collection_preference"));
    z.set_zel_installed_packages(SampleMap(L"pkg"));
    return r;
}

void ExpectSame(const ZEL::DeviceContext& a, const ZEL::DeviceContext& b) {
    EXPECT_FIELD(a, b, device_id);
    EXPECT_FIELD(a, b, device_context_id);
    EXPECT_FIELD(a, b, device_context_datetime);
    EXPECT_FIELD(a, b, dataset_id);
    EXPECT_FIELD(a, b, schema_ver);
    EXPECT_FIELD(a, b, source_component);
    const ZEL::DeviceInfo& d = a.device_info();
    const ZEL::DeviceInfo& e = b.device_info();
    EXPECT_FIELD(d, e, device_id);
    EXPECT_FIELD(d, e, device_id2);
    EXPECT_FIELD(d, e, device_name);
    EXPECT_FIELD(d, e, device_brand);
    EXPECT_FIELD(d, e, device_subbrand);
    EXPECT_FIELD(d, e, device_family);
    EXPECT_FIELD(d, e, device_modeltype);
    EXPECT_FIELD(d, e, device_manufacturer);
    EXPECT_FIELD(d, e, device_biosversion);
    EXPECT_FIELD(d, e, device_ecversion);
    EXPECT_FIELD(d, e, device_smbiosversion);
    EXPECT_FIELD(d, e, device_enclosuretype);
    EXPECT_FIELD(d, e, device_path);
    EXPECT_FIELD(d, e, device_subscription);
    EXPECT_FIELD(d, e, device_info_datetime);
    EXPECT_FIELD(d, e, os_name);
    EXPECT_FIELD(d, e, os_version);
    EXPECT_FIELD(d, e, os_language);
    EXPECT_FIELD(d, e, os_country);
    EXPECT_FIELD(d, e, os_updatetitle);
    EXPECT_FIELD(d, e, os_updatedescription);
    EXPECT_FIELD(d, e, device_extensionkeyvalue);
    const ZEL::RegionInfo& g = a.region_info();
    const ZEL::RegionInfo& h = b.region_info();
    EXPECT_FIELD(g, h, region_name);
    EXPECT_FIELD(g, h, country_name);
    EXPECT_FIELD(g, h, country_code);
    EXPECT_FIELD(g, h, language_name);
    EXPECT_FIELD(g, h, language_code);
    EXPECT_FIELD(g, h, region_info_datetime);
    EXPECT_FIELD(a.schema_info(), b.schema_info(), extension_keyvalue);
    const ZEL::ZELInfo& z = a.zel_info();
    const ZEL::ZELInfo& y = b.zel_info();
    EXPECT_FIELD(z, y, zel_id);
    EXPECT_FIELD(z, y, zel_name);
    EXPECT_FIELD(z, y, zel_key);
    EXPECT_FIELD(z, y, zel_version);
    EXPECT_FIELD(z, y, zel_channel);
    EXPECT_FIELD(z, y, zel_datetime);
    EXPECT_FIELD(z, y, anonymous_data_collection_preference);
    EXPECT_FIELD(z, y, zel_installed_packages);
}

// Round trip through both decoders (where the record kind has both).
template <typename Record>
void ExpectRoundTrip(const Record& original, bool viaDeSerialize) {
    std::wstring json;
    ASSERT_TRUE(JsonSerialize::Serialize(original, json));
    EXPECT_EQ(json.find(L'\n'), std::wstring::npos) << "compact output";
    Record forSync;
    ASSERT_TRUE(JsonSerialize::DeSerializeForSync(json, &forSync));
    ExpectSame(original, forSync);
    if constexpr (!std::is_same_v<Record, ZEL::ItemContext>) {
        if (viaDeSerialize) {
            Record plain;
            ASSERT_TRUE(JsonSerialize::DeSerialize(json, &plain));
            ExpectSame(original, plain);
        }
    }
}

TEST(JsonSerialize, ItemEventRoundTripKeepsEveryField) {
    ExpectRoundTrip(FullItemEvent(), true);
}
TEST(JsonSerialize, ItemContextRoundTripKeepsEveryField) {
    ExpectRoundTrip(FullItemContext(), false);
}
TEST(JsonSerialize, DatasetContextRoundTripKeepsEveryField) {
    ExpectRoundTrip(FullDatasetContext(), true);
}
TEST(JsonSerialize, DeviceContextRoundTripKeepsEveryField) {
    ExpectRoundTrip(FullDeviceContext(), true);
}

TEST(JsonSerialize, EmptyRecordsRoundTrip) {
    ExpectRoundTrip(ZEL::ItemEvent(), true);
    ExpectRoundTrip(ZEL::ItemContext(), false);
    ExpectRoundTrip(ZEL::DatasetContext(), true);
    ExpectRoundTrip(ZEL::DeviceContext(), true);
}

TEST(JsonSerialize, OutputIsCompactSortedUtf8) {
    ZEL::ItemContext record;
    record.set_item_id(L"\u00e9\U0001F600");
    record.mutable_item_data()[L"k"] = L"v";
    record.set_row_id(77);
    std::wstring json;
    ASSERT_TRUE(JsonSerialize::Serialize(record, json));
    EXPECT_EQ(json,
              L"{\"dataset_id\":\"\",\"item_context_id\":\"\",\"item_data\":{\"k\":\"v\"},"
              L"\"item_id\":\"\u00e9\U0001F600\",\"item_name\":\"\",\"item_time\":\"\"}");

    ZEL::DeviceContext context;
    ASSERT_TRUE(JsonSerialize::Serialize(context, json));
    EXPECT_THAT(json, testing::HasSubstr(L"\"schema_info\":{\"extension_keyvalue\":{}}"));
    EXPECT_THAT(json, testing::HasSubstr(L"\"device_extensionkeyvalue\":[]"));
    EXPECT_THAT(json, testing::HasSubstr(L"\"zel_installed_packages\":{}"));
    EXPECT_THAT(json, testing::HasSubstr(L"\"region_info\":{\"country_code\":\"\""));
}

TEST(JsonSerialize, MissingMembersDecodeAsEmpty) {
    ZEL::ItemEvent event = FullItemEvent();
    event.set_row_id(5);
    ASSERT_TRUE(JsonSerialize::DeSerialize(L"{\"item_id\":\"only\"}", &event));
    ExpectSame(event, [] {
        ZEL::ItemEvent expected;
        expected.set_item_id(L"only");
        return expected;
    }());
    EXPECT_EQ(event.row_id(), 5) << "the row id is not part of the data";

    ZEL::DeviceContext context = FullDeviceContext();
    ASSERT_TRUE(JsonSerialize::DeSerializeForSync(
        L" {\n \"device_info\" : {\"os_name\": \"x\"}, \"zel_info\": null }\n", &context));
    ZEL::DeviceContext expected;
    expected.mutable_device_info().set_os_name(L"x");
    ExpectSame(context, expected);
}

TEST(JsonSerialize, ScalarsWhereTextIsExpectedAreReadAsText) {
    ZEL::ItemEvent event;
    ASSERT_TRUE(JsonSerialize::DeSerialize(
        L"{\"item_id\":42,\"item_name\":1.5,\"schema_ver\":true,\"dataset_id\":-7,\"item_time\":null,"
        L"\"source_component\":false,\"dataset_name\":18446744073709551615,"
        L"\"item_data\":{\"n\":3,\"b\":true,\"z\":null},\"unknown\":{\"x\":[1]}}",
        &event));
    EXPECT_EQ(event.item_id(), L"42");
    EXPECT_EQ(event.item_name(), L"1.5");
    EXPECT_EQ(event.schema_ver(), L"true");
    EXPECT_EQ(event.dataset_id(), L"-7");
    EXPECT_EQ(event.item_time(), L"");
    EXPECT_EQ(event.source_component(), L"false");
    EXPECT_EQ(event.dataset_name(), L"18446744073709551615");
    EXPECT_EQ(event.item_data(), (ZEL::StringMap{{L"n", L"3"}, {L"b", L"true"}, {L"z", L""}}));

    ZEL::DeviceContext context;
    ASSERT_TRUE(
        JsonSerialize::DeSerialize(L"{\"device_info\":{\"device_extensionkeyvalue\":[1,\"a\"]}}", &context));
    EXPECT_EQ(context.device_info().device_extensionkeyvalue(), (ZEL::StringList{L"1", L"a"}));
}

TEST(JsonSerialize, AnythingButOneObjectFails) {
    for (const std::wstring json :
         {L"", L"   ", L"[]", L"[{}]", L"5", L"\"text\"", L"null", L"true", L"{", L"{\"item_id\":\"x\"",
          L"{} trailing", L"{}{}", L"{\"item_id\":'x'}", L"not json"}) {
        ZEL::ItemEvent event;
        EXPECT_FALSE(JsonSerialize::DeSerialize(json, &event)) << ZEL::String::UTF16ToUTF8(json);
        ZEL::ItemContext context;
        EXPECT_FALSE(JsonSerialize::DeSerializeForSync(json, &context));
        ZEL::DeviceContext device;
        EXPECT_FALSE(JsonSerialize::DeSerialize(json, &device));
    }
    EXPECT_FALSE(JsonSerialize::DeSerialize(L"{}", static_cast<ZEL::ItemEvent*>(nullptr)));
    // Nesting past the parser's limit is refused, not a crash.
    ZEL::DatasetContext deep;
    EXPECT_FALSE(JsonSerialize::DeSerialize(
        L"{\"a\":" + std::wstring(5000, L'[') + std::wstring(5000, L']') + L"}", &deep));
}

TEST(JsonSerialize, MembersOfTheWrongShapeFail) {
    for (const std::wstring json :
         {L"{\"item_id\":{}}", L"{\"item_id\":[\"x\"]}", L"{\"item_data\":\"x\"}", L"{\"item_data\":[]}",
          L"{\"item_data\":{\"k\":{}}}", L"{\"item_data\":{\"k\":[1]}}"}) {
        ZEL::ItemEvent event;
        EXPECT_FALSE(JsonSerialize::DeSerialize(json, &event)) << ZEL::String::UTF16ToUTF8(json);
    }
    for (const std::wstring json :
         {L"{\"device_info\":5}", L"{\"device_info\":[]}", L"{\"region_info\":\"x\"}",
          L"{\"schema_info\":{\"extension_keyvalue\":[]}}",
          L"{\"zel_info\":{\"zel_installed_packages\":\"x\"}}",
          L"{\"device_info\":{\"device_extensionkeyvalue\":\"x\"}}",
          L"{\"device_info\":{\"device_extensionkeyvalue\":[{}]}}",
          L"{\"region_info\":{\"region_name\":{}}}"}) {
        ZEL::DeviceContext context;
        EXPECT_FALSE(JsonSerialize::DeSerialize(json, &context)) << ZEL::String::UTF16ToUTF8(json);
    }
}

TEST(JsonSerialize, ConvertMapToJsonArrayListsPairsInKeyOrder) {
    Json::Value array(Json::objectValue);
    array["stale"] = 1;
    JsonSerialize::ConvertMapToJsonArray({{L"b", L"2"}, {L"a", L"\u00e9"}, {L"", L""}}, array);
    ASSERT_TRUE(array.isArray());
    ASSERT_EQ(array.size(), 3u);
    EXPECT_EQ(array[0]["key"].asString(), "");
    EXPECT_EQ(array[1]["key"].asString(), "a");
    EXPECT_EQ(array[1]["value"].asString(), "\xC3\xA9");
    EXPECT_EQ(array[2]["key"].asString(), "b");
    EXPECT_EQ(array[2]["value"].asString(), "2");
    EXPECT_EQ(array[2].size(), 2u);

    JsonSerialize::ConvertMapToJsonArray({}, array);
    EXPECT_TRUE(array.isArray());
    EXPECT_EQ(array.size(), 0u);
}

}  // namespace
