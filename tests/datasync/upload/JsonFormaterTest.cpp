// KTA/NAVS bodies as whole texts (jsoncpp sorts members), the device-context cut, and the include filter.
#include <gtest/gtest.h>

#include "datasync/upload/CustomDataFilter.h"
#include "datasync/upload/JsonFormater.h"

namespace ZEL::DataSync {
namespace {

const wchar_t* const kEncrypted = L"5E2123BA-4203-475F-B733-A1EED2434D04";

DatasetContext MakeDatasetContext(const std::wstring& dcId, const std::wstring& ctxId, std::int64_t rowId,
                                  const StringMap& data) {
    DatasetContext record;
    record.set_schema_ver(L"1.0"), record.set_dataset_id(L"ds"), record.set_dataset_name(L"W\u00e4rme");
    record.set_dataset_context_id(ctxId), record.set_dataset_context_datetime(L"T" + ctxId);
    record.set_dataset_type(L"nrt"), record.set_device_context_id(dcId), record.set_item_data(data);
    record.set_row_id(rowId);
    return record;
}

ItemEvent MakeEvent(const std::wstring& datasetId, const std::wstring& dcId, const std::wstring& itemId,
                    std::int64_t rowId, const StringMap& data = {}) {
    ItemEvent event;
    event.set_dataset_id(datasetId), event.set_dataset_name(L"dn"), event.set_dataset_context_id(L"dsc");
    event.set_device_context_id(dcId), event.set_item_id(itemId), event.set_item_context_id(L"ic");
    event.set_schema_ver(L"2"), event.set_item_name(L"name-" + itemId);
    event.set_item_time(L"t" + std::to_wstring(rowId)), event.set_item_data(data), event.set_row_id(rowId);
    return event;
}

TEST(JsonFormaterTest, DatasetContextsStopAtAnotherDeviceContext) {
    const std::list<DatasetContext> records = {MakeDatasetContext(L"dc-1", L"c1", 11, {{L"k", L"5"}}),
                                               MakeDatasetContext(L"dc-1", L"c2", 12, {}),
                                               MakeDatasetContext(L"dc-2", L"c3", 13, {})};
    std::string body;
    std::int64_t last = 0;
    EXPECT_EQ(JsonFormater::JsonSerializer(records, L"dev", L"ignored", body, &last), 2);
    EXPECT_EQ(last, 12);
    // Item-data values stay strings here ("5"), an empty map is {}, non-ASCII stays UTF-8.
    EXPECT_EQ(body,
              "{\"dataset_contexts\":["
              "{\"dataset_context_datetime\":\"Tc1\",\"dataset_context_id\":\"c1\",\"dataset_id\":\"ds\","
              "\"dataset_name\":\"W\u00e4rme\",\"dataset_type\":\"nrt\",\"item_data\":{\"k\":\"5\"},"
              "\"schema_ver\":\"1.0\"},"
              "{\"dataset_context_datetime\":\"Tc2\",\"dataset_context_id\":\"c2\",\"dataset_id\":\"ds\","
              "\"dataset_name\":\"W\u00e4rme\",\"dataset_type\":\"nrt\",\"item_data\":{},\"schema_ver\":\"1.0\"}],"
              "\"device_context_id\":\"dc-1\",\"device_id\":\"dev\"}");
}

TEST(JsonFormaterTest, ItemEventsParseJsonValuesAndCarryEncryptionKeys) {
    ItemEvent encrypted = MakeEvent(kEncrypted, L"dc-1", L"loc", 22);
    encrypted.set_item_data_encrypted(L"ENC");
    encrypted.set_item_data_encryption_key_id(L"K1");
    const std::list<ItemEvent> records = {
        MakeEvent(L"ds-A", L"dc-1", L"i1", 21,
                  {{L"count", L"5"}, {L"note", L"abc"}, {L"list", L"[1,2]"}, {L"trail", L"5 apples"}}),
        encrypted, MakeEvent(L"ds-A", L"dc-2", L"i3", 23)};

    std::string body;
    std::int64_t last = 0;
    EXPECT_EQ(JsonFormater::JsonSerializer(records, L"dev", L"dc-arg", body, &last), 2);
    EXPECT_EQ(last, 22);
    EXPECT_EQ(body,
              "{\"dataset_items_log\":["
              "{\"dataset_context_id\":\"dsc\",\"dataset_id\":\"ds-A\",\"dataset_name\":\"dn\","
              "\"item_events_log\":[{\"item_context_id\":\"ic\","
              "\"item_data\":{\"count\":5,\"list\":[1,2],\"note\":\"abc\",\"trail\":\"5 apples\"},"
              "\"item_id\":\"i1\",\"item_name\":\"name-i1\",\"item_time\":\"t21\",\"schema_ver\":\"2\"}]},"
              "{\"dataset_context_id\":\"dsc\",\"dataset_id\":\"5E2123BA-4203-475F-B733-A1EED2434D04\","
              "\"dataset_name\":\"dn\",\"item_events_log\":[{\"item_context_id\":\"ic\",\"item_data\":null,"
              "\"item_data_encrypted\":\"ENC\",\"item_data_encryption_key_id\":\"K1\",\"item_id\":\"loc\","
              "\"item_name\":\"name-loc\",\"item_time\":\"t22\",\"schema_ver\":\"2\"}]}],"
              "\"device_context_id\":\"dc-1\",\"device_id\":\"dev\"}");

    // An encrypted-dataset event with data writes the object; an ordinary one with none writes {}.
    encrypted.set_item_data({{L"lat", L"1.5"}});
    EXPECT_EQ(JsonFormater::JsonSerializer(std::list<ItemEvent>{encrypted}, L"dev", L"", body, nullptr), 1);
    EXPECT_NE(body.find("\"item_data\":{\"lat\":1.5}"), std::string::npos) << body;
    JsonFormater::JsonSerializer(std::list<ItemEvent>{MakeEvent(L"ds-A", L"dc-1", L"i1", 1)}, L"dev", L"", body, nullptr);
    EXPECT_NE(body.find("\"item_data\":{},"), std::string::npos) << body;
}

TEST(JsonFormaterTest, ItemEventsWithoutDeviceContextTakeTheArgumentAndAreNotCut) {
    const std::list<ItemEvent> records = {MakeEvent(L"ds", L"", L"i1", 5), MakeEvent(L"ds", L"dc-9", L"i2", 6)};
    std::string body;
    std::int64_t last = 0;
    EXPECT_EQ(JsonFormater::JsonSerializer(records, L"dev", L"dc-arg", body, &last), 2);
    EXPECT_EQ(last, 6);
    EXPECT_NE(body.find("\"device_context_id\":\"dc-arg\",\"device_id\":\"dev\"}"), std::string::npos) << body;
}

TEST(JsonFormaterTest, ItemContextsUseTheArgumentAndWriteNullForEmptyData) {
    ItemContext first, second;
    first.set_dataset_id(L"ds"), first.set_item_id(L"i1"), first.set_item_context_id(L"ic1");
    first.set_item_name(L"n1"), first.set_item_time(L"t1"), first.set_item_data({{L"n", L"5"}});
    first.set_row_id(3);
    second = first;
    second.set_item_data({}), second.set_row_id(4);

    std::string body;
    std::int64_t last = 0;
    EXPECT_EQ(JsonFormater::JsonSerializer(std::list<ItemContext>{first, second}, L"dev", L"dc-arg", body, &last), 2);
    EXPECT_EQ(last, 4);
    EXPECT_EQ(body,
              "{\"device_context_id\":\"dc-arg\",\"device_id\":\"dev\",\"item_contexts\":["
              "{\"dataset_id\":\"ds\",\"item_context_id\":\"ic1\",\"item_data\":{\"n\":\"5\"},\"item_id\":\"i1\","
              "\"item_name\":\"n1\",\"item_time\":\"t1\"},"
              "{\"dataset_id\":\"ds\",\"item_context_id\":\"ic1\",\"item_data\":null,\"item_id\":\"i1\","
              "\"item_name\":\"n1\",\"item_time\":\"t1\"}]}");
}

// No record: the list member is null, as jsoncpp writes a list that never got an element.
TEST(JsonFormaterTest, EmptyBatchesWriteNullLists) {
    std::string body;
    EXPECT_EQ(JsonFormater::JsonSerializer(std::list<ItemEvent>{}, L"dev", L"dc", body, nullptr), 0);
    EXPECT_EQ(body, "{\"dataset_items_log\":null,\"device_context_id\":\"dc\",\"device_id\":\"dev\"}");
    EXPECT_EQ(JsonFormater::JsonSerializer(std::list<ItemContext>{}, L"dev", L"dc", body, nullptr), 0);
    EXPECT_EQ(body, "{\"device_context_id\":\"dc\",\"device_id\":\"dev\",\"item_contexts\":null}");
    EXPECT_EQ(JsonFormater::JsonSerializer(std::list<DatasetContext>{}, L"dev", L"dc", body, nullptr), 0);
    EXPECT_EQ(body, "{\"dataset_contexts\":null,\"device_context_id\":\"\",\"device_id\":\"dev\"}");
}

TEST(CustomDataFilterTest, IncludeListMatrix) {
    const std::list<ItemEvent> batch = {MakeEvent(L"ds", L"", L"a", 1), MakeEvent(L"ds", L"", L"all", 2),
                                        MakeEvent(L"ds", L"", L"ALL", 3), MakeEvent(L"ds", L"", L"b", 4)};
    const std::vector<std::wstring> everything = {L"a", L"all", L"ALL", L"b"};
    for (const auto& [include, kept] : {std::pair<std::list<std::wstring>, std::vector<std::wstring>>{{L"ALL"}, everything},
                                        {{L"x", L"ALL"}, everything}, {{L"all"}, {L"all"}}, {{}, {}},
                                        {{L"b", L"a"}, {L"a", L"b"}}, {{L"A", L"B"}, {}}}) {
        std::list<ItemEvent> events = batch;
        CustomDataFilter::FilterEvents(events, include);
        std::vector<std::wstring> ids;
        for (const ItemEvent& event : events) ids.push_back(event.item_id());
        EXPECT_EQ(ids, kept) << "include list of " << include.size();
    }
}

}  // namespace
}  // namespace ZEL::DataSync
