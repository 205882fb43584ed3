// NAVP event layouts. Key names are the NAVP endpoint's contract; jsoncpp writes object members
// sorted by key.
#include "datasync/upload/NavpBody.h"

#include <json/json.h>

#include <exception>

#include "datasync/common/StringUtil.h"
#include "datasync/host/Transport.h"

namespace ZEL {
namespace DataSync {
namespace navp {
namespace {

std::string HostDeviceId() {
    std::wstring deviceId;
    if (CoreUtility* core = CoreUtility::GetInstance()) core->GetDeviceId(deviceId);
    return String::UTF16ToUTF8(deviceId);
}

void AddItemData(const StringMap& itemData, Json::Value& data) {
    for (const auto& entry : itemData)
        data[String::UTF16ToUTF8(entry.first)] = String::UTF16ToUTF8(entry.second);
}

// Fixed keys win over item data of the same name.
Json::Value Event(const DatasetContext& record, const std::string& deviceId) {
    Json::Value data(Json::objectValue);
    AddItemData(record.item_data(), data);
    data["device_id"] = deviceId;
    data["device_context_id"] = String::UTF16ToUTF8(record.device_context_id());
    data["dataset_id"] = String::UTF16ToUTF8(record.dataset_id());
    data["schema_ver"] = String::UTF16ToUTF8(record.schema_ver());
    data["dataset_type"] = String::UTF16ToUTF8(record.dataset_type());

    Json::Value event(Json::objectValue);
    event["e_cat"] = String::UTF16ToUTF8(record.dataset_name());
    event["e_name"] = String::UTF16ToUTF8(record.dataset_name() + L" context updated");
    event["e_subcat"] = String::UTF16ToUTF8(record.dataset_context_id());
    event["e_time"] = String::UTF16ToUTF8(record.dataset_context_datetime());
    event["e_data"] = std::move(data);
    return event;
}

// Item data wins over fixed keys of the same name.
Json::Value Event(const ItemEvent& record, const std::string& deviceId) {
    Json::Value data(Json::objectValue);
    data["device_id"] = deviceId;
    data["device_context_id"] = String::UTF16ToUTF8(record.device_context_id());
    data["dataset_id"] = String::UTF16ToUTF8(record.dataset_id());
    data["item_id"] = String::UTF16ToUTF8(record.item_id());
    data["item_context_id"] = String::UTF16ToUTF8(record.item_context_id());
    data["schema_ver"] = String::UTF16ToUTF8(record.schema_ver());
    AddItemData(record.item_data(), data);

    Json::Value event(Json::objectValue);
    event["e_name"] = String::UTF16ToUTF8(record.item_name());
    event["e_cat"] = String::UTF16ToUTF8(record.dataset_name());
    event["e_subcat"] = String::UTF16ToUTF8(record.dataset_context_id());
    event["e_time"] = String::UTF16ToUTF8(record.item_time());
    event["e_data"] = std::move(data);
    return event;
}

template <typename T>
bool BuildEventsBody(NavpHeader& header, const std::list<T>& records, std::wstring& body) {
    if (records.empty()) return false;
    try {
        Json::Value root(Json::objectValue);
        std::wstring appName = records.back().source_component();
        if (!header.FillNavpHead(root, appName)) return false;
        const std::string deviceId = HostDeviceId();
        Json::Value events(Json::arrayValue);
        for (const T& record : records) events.append(Event(record, deviceId));
        root["events"] = std::move(events);
        body = NavpHeader::BodyText(root);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

bool BuildBody(NavpHeader& header, const std::list<ItemEvent>& records, std::wstring& body) {
    return BuildEventsBody(header, records, body);
}

bool BuildBody(NavpHeader& header, const std::list<DatasetContext>& records, std::wstring& body) {
    return BuildEventsBody(header, records, body);
}

bool BuildBody(NavpHeader& header, const std::list<DeviceContext>& records, std::wstring& body) {
    return header.BuildDeviceContextBody(records, body);
}

}  // namespace navp
}  // namespace DataSync
}  // namespace ZEL
