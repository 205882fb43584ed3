// The KTA/NAVS body layouts. Keys and nesting are the endpoints' contract; the member order is
// jsoncpp's (sorted by key), so callers and tests can compare whole texts. The bodies are written
// member by member into one string (a body's tree of values cost more than its text); only the
// item data, whose keys come from the rows, is built as a value first.
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

// The members of one JSON object, written into `out` as they come. The caller gives them in
// jsoncpp's order (keys sorted bytewise), so the text is the one jsoncpp writes for the same
// object built whole, without building it.
class Members {
public:
    explicit Members(std::string& out) : m_out(out) { m_out += '{'; }

    // The key, then the caller writes its value into the returned text.
    std::string& Key(const char* key) {
        if (m_written++ > 0) m_out += ',';
        AppendJsonString(m_out, key);
        m_out += ':';
        return m_out;
    }
    Members& Text(const char* key, const std::wstring& value) {
        AppendJsonString(Key(key), String::UTF16ToUTF8(value));
        return *this;
    }
    Members& Value(const char* key, const Json::Value& value) {
        AppendCompactJson(Key(key), value);
        return *this;
    }
    std::string& Out() { return m_out; }
    void Close() { m_out += '}'; }

private:
    std::string& m_out;
    int m_written = 0;
};

// The elements of a body's record list; a list without one is written null, as jsoncpp writes
// the list member that never got an element.
class Elements {
public:
    // Where the next element goes.
    std::string& Next() {
        if (m_count++ > 0) m_text += ',';
        return m_text;
    }
    int Count() const { return m_count; }
    void WriteTo(std::string& out) const {
        if (m_count == 0) {
            out += "null";
            return;
        }
        out += '[';
        out += m_text;
        out += ']';
    }

private:
    std::string m_text;
    int m_count = 0;
};

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
        Elements contexts;
        std::int64_t last = -1;
        for (const DatasetContext& record : records) {
            if (record.device_context_id() != reference) break;
            Members element(contexts.Next());
            element.Text("dataset_context_datetime", record.dataset_context_datetime())
                .Text("dataset_context_id", record.dataset_context_id())
                .Text("dataset_id", record.dataset_id())
                .Text("dataset_name", record.dataset_name())
                .Text("dataset_type", record.dataset_type())
                .Value("item_data", StringObject(record.item_data()))
                .Text("schema_ver", record.schema_ver())
                .Close();
            last = record.row_id();
        }

        std::string text;
        Members root(text);
        contexts.WriteTo(root.Key("dataset_contexts"));
        root.Text("device_context_id", reference).Text("device_id", deviceId).Close();
        body = std::move(text);
        SetLastIncluded(lastIncludedId, last);
        return contexts.Count();
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
        Elements contexts;
        std::int64_t last = -1;
        for (const ItemContext& record : records) {
            Members element(contexts.Next());
            element.Text("dataset_id", record.dataset_id())
                .Text("item_context_id", record.item_context_id())
                .Value("item_data",
                       record.item_data().empty() ? Json::Value() : StringObject(record.item_data()))
                .Text("item_id", record.item_id())
                .Text("item_name", record.item_name())
                .Text("item_time", record.item_time())
                .Close();
            last = record.row_id();
        }

        std::string text;
        Members root(text);
        root.Text("device_context_id", deviceContextId).Text("device_id", deviceId);
        contexts.WriteTo(root.Key("item_contexts"));
        root.Close();
        body = std::move(text);
        SetLastIncluded(lastIncludedId, last);
        return contexts.Count();
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

        log.d(L"%s: Serializing payload for sending, included item events are", kFunction);
        Elements itemsLog;
        std::int64_t last = -1;
        for (const ItemEvent& record : records) {
            if (cut && record.device_context_id() != reference) break;

            Members element(itemsLog.Next());
            element.Text("dataset_context_id", record.dataset_context_id())
                .Text("dataset_id", record.dataset_id())
                .Text("dataset_name", record.dataset_name())
                .Key("item_events_log") += '[';
            const bool encrypted = record.dataset_id() == kEncryptedItemDatasetId;
            Members item(element.Out());
            item.Text("item_context_id", record.item_context_id())
                .Value("item_data", encrypted && record.item_data().empty()
                                        ? Json::Value()
                                        : ItemDataObject(record.item_data()));
            if (encrypted)
                item.Text("item_data_encrypted", record.item_data_encrypted())
                    .Text("item_data_encryption_key_id", record.item_data_encryption_key_id());
            item.Text("item_id", record.item_id())
                .Text("item_name", record.item_name())
                .Text("item_time", record.item_time())
                .Text("schema_ver", record.schema_ver())
                .Close();
            element.Out() += ']';
            element.Close();
            last = record.row_id();

            log.d(L"%s: DatasetId:%s, ID: %s, rowId: %d, Timestamp: %s", kFunction, record.dataset_id(),
                  record.item_id(), record.row_id(), record.item_time());
        }

        std::string text;
        Members root(text);
        itemsLog.WriteTo(root.Key("dataset_items_log"));
        root.Text("device_context_id", reference).Text("device_id", deviceId).Close();
        body = std::move(text);
        SetLastIncluded(lastIncludedId, last);
        return itemsLog.Count();
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
