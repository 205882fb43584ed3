#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "datasync/common/StringUtil.h"
#include "datasync/store/RecordCodec.h"
#include "datasync/store/Records.h"

namespace {

using ZEL::JsonSerialize;
using ZEL::String::UTF16ToUTF8;
using ZEL::String::UTF8ToUTF16;

// An object (or string map) with a distinct text per member, with the characters a codec gets wrong first.
Json::Value Members(std::initializer_list<const char*> names) {
    Json::Value object(Json::objectValue);
    for (const char* name : names)
        object[name] = std::string(name) + ": caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80 \"q\" \\ / \t\n\x01 end";
    return object;
}

Json::Value Parse(const std::wstring& text) {
    const std::string utf8 = UTF16ToUTF8(text);
    Json::Value value;
    EXPECT_TRUE(Json::Reader().parse(utf8, value)) << utf8;
    return value;
}

// Decodes `full` with each decoder the record kind has and encodes it again: the same value, compact.
template <typename Record>
void ExpectRoundTrip(const Json::Value& full) {
    const std::wstring text = UTF8ToUTF16(Json::writeString(Json::StreamWriterBuilder(), full));
    for (bool forSync : {true, false}) {
        SCOPED_TRACE(forSync ? "DeSerializeForSync" : "DeSerialize");
        Record record;
        if constexpr (std::is_same_v<Record, ZEL::ItemContext>) {  // which has no DeSerialize
            if (!forSync) continue;
            ASSERT_TRUE(JsonSerialize::DeSerializeForSync(text, &record));
        } else ASSERT_TRUE(forSync ? JsonSerialize::DeSerializeForSync(text, &record) : JsonSerialize::DeSerialize(text, &record));
        std::wstring json;
        ASSERT_TRUE(JsonSerialize::Serialize(record, json));
        EXPECT_EQ(json.find(L'\n'), std::wstring::npos) << "compact output";
        EXPECT_EQ(Parse(json), full) << UTF16ToUTF8(json);
    }
}

TEST(JsonSerialize, EveryFieldOfEveryRecordKindSurvivesARoundTrip) {
    Json::Value event = Members({"dataset_id", "dataset_name", "device_context_id", "dataset_context_id", "item_id",
        "item_context_id", "item_name", "item_time", "schema_ver", "source_component", "item_data_encrypted",
        "item_data_encryption_key_id"});
    event["item_data"] = Members({"item", "", "n"});
    ExpectRoundTrip<ZEL::ItemEvent>(event);
    Json::Value item = Members({"dataset_id", "item_context_id", "item_id", "item_name", "item_time"});
    item["item_data"] = Members({"ctx", "", "n"});
    ExpectRoundTrip<ZEL::ItemContext>(item);
    Json::Value dataset = Members({"dataset_id", "dataset_name", "dataset_type", "dataset_context_id",
        "dataset_context_datetime", "device_context_id", "schema_ver", "source_component"});
    dataset["item_data"] = Members({"ds", "", "n"});
    ExpectRoundTrip<ZEL::DatasetContext>(dataset);
    Json::Value device = Members({"device_id", "device_context_id", "device_context_datetime", "dataset_id",
        "schema_ver", "source_component"});
    device["device_info"] = Members({"device_id", "device_id2", "device_name", "device_brand", "device_subbrand",
        "device_family", "device_modeltype", "device_manufacturer", "device_biosversion", "device_ecversion",
        "device_smbiosversion", "device_enclosuretype", "device_path", "device_subscription", "device_info_datetime",
        "os_name", "os_version", "os_language", "os_country", "os_updatetitle", "os_updatedescription"});
    for (const char* entry : {"z=1", "\xc3\xa9=\"", "", "z=1", "a=2"})  // order and repeats kept
        device["device_info"]["device_extensionkeyvalue"].append(entry);
    device["region_info"] = Members({"region_name", "country_name", "country_code", "language_name", "language_code",
        "region_info_datetime"});
    device["schema_info"]["extension_keyvalue"] = Members({"schema", "", "n"});
    device["zel_info"] = Members({"zel_id", "zel_name", "zel_key", "zel_version", "zel_channel", "zel_datetime",
        "anonymous_data_collection_preference"});
    device["zel_info"]["zel_installed_packages"] = Members({"pkg", "", "n"});
    ExpectRoundTrip<ZEL::DeviceContext>(device);
}

TEST(JsonSerialize, OutputIsCompactSortedUtf8AndEmptyRecordsKeepTheirShape) {
    ZEL::ItemContext record;
    record.set_item_id(L"\u00e9\U0001F600");
    record.mutable_item_data()[L"k"] = L"v";
    record.set_row_id(77);
    std::wstring json;
    ASSERT_TRUE(JsonSerialize::Serialize(record, json));
    EXPECT_EQ(json, L"{\"dataset_id\":\"\",\"item_context_id\":\"\",\"item_data\":{\"k\":\"v\"},"
              L"\"item_id\":\"\u00e9\U0001F600\",\"item_name\":\"\",\"item_time\":\"\"}");
    ASSERT_TRUE(JsonSerialize::Serialize(ZEL::DeviceContext(), json));
    for (const wchar_t* member : {L"\"schema_info\":{\"extension_keyvalue\":{}}", L"\"device_extensionkeyvalue\":[]",
                                  L"\"zel_installed_packages\":{}"})
        EXPECT_THAT(json, testing::HasSubstr(member));
    ExpectRoundTrip<ZEL::DeviceContext>(Parse(json));
}

TEST(JsonSerialize, MissingMembersDecodeAsEmptyAndScalarsAsText) {
    ZEL::ItemEvent event;
    event.set_dataset_name(L"stale");
    event.set_row_id(5);
    ASSERT_TRUE(JsonSerialize::DeSerialize(L"{\"item_id\":42,\"item_name\":1.5,\"schema_ver\":true,\"item_time\":null,"
        L"\"dataset_id\":18446744073709551615,\"item_data\":{\"n\":3,\"b\":false,\"z\":null},\"unknown\":{\"x\":[1]}}", &event));
    EXPECT_EQ(event.item_id() + L"|" + event.item_name() + L"|" + event.schema_ver() + L"|" +
                  event.item_time() + L"|" + event.dataset_id() + L"|" + event.dataset_name(),
              L"42|1.5|true||18446744073709551615|");
    EXPECT_EQ(event.item_data(), (ZEL::StringMap{{L"n", L"3"}, {L"b", L"false"}, {L"z", L""}}));
    EXPECT_EQ(event.row_id(), 5) << "the row id is not part of the data";
    ZEL::DeviceContext context;
    context.set_device_id(L"stale");
    ASSERT_TRUE(JsonSerialize::DeSerializeForSync(
        L" {\n \"device_info\" : {\"os_name\": \"x\", \"device_extensionkeyvalue\":[1,\"a\"]}, \"zel_info\": null }\n", &context));
    EXPECT_EQ(context.device_id(), L"");
    EXPECT_EQ(context.device_info().device_extensionkeyvalue(), (ZEL::StringList{L"1", L"a"}));
}

TEST(JsonSerialize, AnythingButOneObjectOfTheRightShapeFails) {
    for (const std::wstring json : {L"", L"[{}]", L"null", L"{} trailing", L"{\"item_id\":'x'}", L"{\"item_id\":{}}",
                                    L"{\"item_data\":{\"k\":[1]}}"}) {
        ZEL::ItemEvent event;
        ZEL::ItemContext context;
        EXPECT_FALSE(JsonSerialize::DeSerialize(json, &event) || JsonSerialize::DeSerializeForSync(json, &context)) << UTF16ToUTF8(json);
    }
    for (const std::wstring json : {L"{\"device_info\":5}", L"{\"device_info\":{\"device_extensionkeyvalue\":[{}]}}"})
        EXPECT_FALSE(JsonSerialize::DeSerialize(json, std::make_unique<ZEL::DeviceContext>().get())) << UTF16ToUTF8(json);
}

// The stores hand the codec a row's text as stored: decoding it must give what decoding its wide
// conversion gives, non-ASCII, escapes, bytes that are not UTF-8 and failures alike.
TEST(JsonSerialize, ARowsUtf8TextDecodesAsItsWideConversionDoes) {
    for (const std::string& text : {std::string(R"({"item_id":"i-1","item_data":{"cpu":"42","n":7}})"),
                                   std::string("{\"item_name\":\"caf\xc3\xa9 \xe2\x82\xac\"}"),
                                   std::string(R"({"item_name":"\u00e9\"q\""})"),
                                   std::string("{\"item_name\":\"bad \xff byte\"}"), std::string("{} trailing"),
                                   std::string(R"({"item_id":{}})")}) {
        ZEL::ItemEvent fromText, fromWide;
        const bool textDecoded = JsonSerialize::DeSerialize(text, &fromText);
        ASSERT_EQ(textDecoded, JsonSerialize::DeSerialize(UTF8ToUTF16(text), &fromWide)) << text;
        if (!textDecoded) continue;
        std::wstring a, b;
        JsonSerialize::Serialize(fromText, a);
        JsonSerialize::Serialize(fromWide, b);
        EXPECT_EQ(a, b) << text;
    }
}

}  // namespace
