// The KTA/NAVS body layouts. Keys and nesting are the endpoints' contract; the member order is
// jsoncpp's (sorted by key), so callers and tests can compare whole texts.
#include "datasync/upload/JsonFormater.h"

#include <json/json.h>

#include <exception>
#include <memory>

#include "datasync/common/CompactJson.h"
#include "datasync/common/StringUtil.h"
#include "datasync/host/Log.h"
#include "datasync/store/RecordCodec.h"

namespace ZEL {
namespace DataSync {
namespace {

const wchar_t* const kFunction = L"ZEL::DataSync::JsonFormater::JsonSerializer";

void SetLastIncluded(std::int64_t* lastIncludedId, std::int64_t value) {
    if (lastIncludedId != nullptr) *lastIncludedId = value;
}

// The serialisers are static, so each call binds its own handle to the agent's log.
void BindLog(Log& log) { utility::InitLog(log, L"DataSync.log", 4); }

// Item data as an object of plain strings.
Json::Value StringObject(const StringMap& map) {
    Json::Value object(Json::objectValue);
    for (const auto& entry : map)
        object[String::UTF16ToUTF8(entry.first)] = String::UTF16ToUTF8(entry.second);
    return object;
}

// Item-event data: a value that is wholly one JSON text ("5", "[1,2]", "{...}") goes out as that
// JSON value, anything else as a string. failIfExtra keeps "5 apples" a string instead of 5.
Json::Value ItemDataObject(const StringMap& map) {
    static const Json::CharReaderBuilder builder = [] {
        Json::CharReaderBuilder settings;
        settings["failIfExtra"] = true;
        return settings;
    }();
    // Making a reader costs more than the values of a batch: each thread keeps its own (a reader
    // is not shared between threads, and each parse starts afresh).
    thread_local const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value object(Json::objectValue);
    for (const auto& entry : map) {
        const std::string text = String::UTF16ToUTF8(entry.second);
        Json::Value parsed;
        std::string errors;
        if (reader->parse(text.data(), text.data() + text.size(), &parsed, &errors))
            object[String::UTF16ToUTF8(entry.first)] = std::move(parsed);
        else
            object[String::UTF16ToUTF8(entry.first)] = text;
    }
    return object;
}

void LogException(const std::exception& error) {
    Log log;
    BindLog(log);
    log.e(L"%s: Exception caught %s", kFunction, String::UTF8ToUTF16(error.what()));
}

}  // namespace

int JsonFormater::JsonSerializer(const std::list<DatasetContext>& records, const std::wstring& deviceId,
                                 const std::wstring& /*deviceContextId*/, std::string& body,
                                 std::int64_t* lastIncludedId) {
    SetLastIncluded(lastIncludedId, -1);
    try {
        const std::wstring reference = records.empty() ? std::wstring() : records.front().device_context_id();
        Json::Value root(Json::objectValue);
        root["device_id"] = String::UTF16ToUTF8(deviceId);
        root["device_context_id"] = String::UTF16ToUTF8(reference);

        Json::Value contexts;  // null for an empty batch
        std::int64_t last = -1;
        for (const DatasetContext& record : records) {
            if (record.device_context_id() != reference) break;
            Json::Value element(Json::objectValue);
            element["schema_ver"] = String::UTF16ToUTF8(record.schema_ver());
            element["dataset_id"] = String::UTF16ToUTF8(record.dataset_id());
            element["dataset_name"] = String::UTF16ToUTF8(record.dataset_name());
            element["dataset_context_id"] = String::UTF16ToUTF8(record.dataset_context_id());
            element["dataset_context_datetime"] = String::UTF16ToUTF8(record.dataset_context_datetime());
            element["dataset_type"] = String::UTF16ToUTF8(record.dataset_type());
            element["item_data"] = StringObject(record.item_data());
            contexts.append(std::move(element));
            last = record.row_id();
        }
        const int included = static_cast<int>(contexts.size());
        root["dataset_contexts"] = std::move(contexts);

        body = CompactJson(root);
        SetLastIncluded(lastIncludedId, last);
        return included;
    } catch (const std::exception& error) {
        LogException(error);
        return 0;
    }
}

int JsonFormater::JsonSerializer(const std::list<ItemContext>& records, const std::wstring& deviceId,
                                 const std::wstring& deviceContextId, std::string& body,
                                 std::int64_t* lastIncludedId) {
    SetLastIncluded(lastIncludedId, -1);
    try {
        Json::Value root(Json::objectValue);
        root["device_id"] = String::UTF16ToUTF8(deviceId);
        root["device_context_id"] = String::UTF16ToUTF8(deviceContextId);

        Json::Value contexts;
        std::int64_t last = -1;
        for (const ItemContext& record : records) {
            Json::Value element(Json::objectValue);
            element["dataset_id"] = String::UTF16ToUTF8(record.dataset_id());
            element["item_id"] = String::UTF16ToUTF8(record.item_id());
            element["item_context_id"] = String::UTF16ToUTF8(record.item_context_id());
            element["item_name"] = String::UTF16ToUTF8(record.item_name());
            element["item_time"] = String::UTF16ToUTF8(record.item_time());
            element["item_data"] = record.item_data().empty() ? Json::Value() : StringObject(record.item_data());
            contexts.append(std::move(element));
            last = record.row_id();
        }
        const int included = static_cast<int>(contexts.size());
        root["item_contexts"] = std::move(contexts);

        body = CompactJson(root);
        SetLastIncluded(lastIncludedId, last);
        return included;
    } catch (const std::exception& error) {
        LogException(error);
        return 0;
    }
}

int JsonFormater::JsonSerializer(const std::list<ItemEvent>& records, const std::wstring& deviceId,
                                 const std::wstring& deviceContextId, std::string& body,
                                 std::int64_t* lastIncludedId) {
    SetLastIncluded(lastIncludedId, -1);
    try {
        Log log;
        BindLog(log);

        std::wstring reference = records.empty() ? std::wstring() : records.front().device_context_id();
        // Rows written before the device context was known carry none: they are sent under the
        // current one, and cutting at the first row that has one would only delay it.
        const bool cut = !(reference.empty() && !deviceContextId.empty());
        if (!cut) reference = deviceContextId;

        Json::Value root(Json::objectValue);
        root["device_id"] = String::UTF16ToUTF8(deviceId);
        root["device_context_id"] = String::UTF16ToUTF8(reference);

        log.d(L"%s: Serializing payload for sending, included item events are", kFunction);
        Json::Value itemsLog;
        std::int64_t last = -1;
        for (const ItemEvent& record : records) {
            if (cut && record.device_context_id() != reference) break;

            Json::Value item(Json::objectValue);
            item["item_id"] = String::UTF16ToUTF8(record.item_id());
            item["item_context_id"] = String::UTF16ToUTF8(record.item_context_id());
            item["schema_ver"] = String::UTF16ToUTF8(record.schema_ver());
            item["item_name"] = String::UTF16ToUTF8(record.item_name());
            item["item_time"] = String::UTF16ToUTF8(record.item_time());
            const bool encrypted = record.dataset_id() == kEncryptedItemDatasetId;
            if (encrypted && record.item_data().empty())
                item["item_data"] = Json::Value();
            else
                item["item_data"] = ItemDataObject(record.item_data());
            if (encrypted) {
                item["item_data_encrypted"] = String::UTF16ToUTF8(record.item_data_encrypted());
                item["item_data_encryption_key_id"] =
                    String::UTF16ToUTF8(record.item_data_encryption_key_id());
            }

            Json::Value element(Json::objectValue);
            element["dataset_id"] = String::UTF16ToUTF8(record.dataset_id());
            element["dataset_name"] = String::UTF16ToUTF8(record.dataset_name());
            element["dataset_context_id"] = String::UTF16ToUTF8(record.dataset_context_id());
            element["item_events_log"].append(std::move(item));
            itemsLog.append(std::move(element));
            last = record.row_id();

            log.d(L"%s: DatasetId:%s, ID: %s, rowId: %d, Timestamp: %s", kFunction, record.dataset_id(),
                  record.item_id(), record.row_id(), record.item_time());
        }
        const int included = static_cast<int>(itemsLog.size());
        root["dataset_items_log"] = std::move(itemsLog);

        body = CompactJson(root);
        SetLastIncluded(lastIncludedId, last);
        return included;
    } catch (const std::exception& error) {
        LogException(error);
        return 0;
    }
}

int JsonFormater::JsonSerializer(const std::list<DeviceContext>& records, const std::wstring& /*deviceId*/,
                                 const std::wstring& /*deviceContextId*/, std::string& body,
                                 std::int64_t* lastIncludedId) {
    SetLastIncluded(lastIncludedId, -1);
    if (records.empty()) return 0;
    std::wstring text;
    if (!JsonSerialize::Serialize(records.back(), text)) return 0;
    body = String::UTF16ToUTF8(text);
    SetLastIncluded(lastIncludedId, records.back().row_id());
    return 1;
}

}  // namespace DataSync
}  // namespace ZEL
