// The NAVP header and device-context body. Key names are the NAVP endpoint's contract; jsoncpp
// writes object members sorted by key.
#include "datasync/upload/NavpHeader.h"

#include <exception>

#include "datasync/common/CompactJson.h"
#include "datasync/common/DbRoots.h"
#include "datasync/common/StringUtil.h"
#include "datasync/common/TimeText.h"
#include "datasync/host/Log.h"
#include "datasync/store/RecordCodec.h"
#include "datasync/upload/InstalledStores.h"

namespace ZEL {
namespace {

void FillHeaderFrom(const DeviceContext& context, const std::wstring& appName, Json::Value& header) {
    const DeviceInfo& device = context.device_info();
    const ZELInfo& zel = context.zel_info();

    Json::Value deviceInfo(Json::objectValue);
    deviceInfo["d_os"] = String::UTF16ToUTF8(device.os_name());
    deviceInfo["d_osver"] = String::UTF16ToUTF8(device.os_version());
    deviceInfo["d_lang"] = String::UTF16ToUTF8(device.os_language());
    deviceInfo["d_geo"] = String::UTF16ToUTF8(device.os_country());
    deviceInfo["d_brand"] = String::UTF16ToUTF8(device.device_brand());
    deviceInfo["d_subbrand"] = String::UTF16ToUTF8(device.device_subbrand());
    deviceInfo["d_fam"] = String::UTF16ToUTF8(device.device_family());
    deviceInfo["d_mtm"] = String::UTF16ToUTF8(device.device_modeltype());
    deviceInfo["d_id"] =
        String::UTF16ToUTF8(device.device_id2());  // the endpoint identifies devices by the second id
    deviceInfo["d_time"] = String::UTF16ToUTF8(device.device_info_datetime());

    const UserInfo user;  // this host reports no user identity: the class's defaults
    Json::Value userInfo(Json::objectValue);
    userInfo["u_uid"] = String::UTF16ToUTF8(user.user_uid());
    userInfo["u_lid"] = String::UTF16ToUTF8(user.user_lid());
    userInfo["u_sid"] = String::UTF16ToUTF8(user.user_sid());

    AppInfo app;
    app.set_app_key(zel.zel_key());
    app.set_app_version(zel.zel_version());
    app.set_app_name(appName);
    app.set_app_channel(zel.zel_channel());
    Json::Value appInfo(Json::objectValue);
    appInfo["a_key"] = String::UTF16ToUTF8(app.app_key());
    appInfo["a_ver"] = String::UTF16ToUTF8(app.app_version());
    appInfo["a_name"] = String::UTF16ToUTF8(app.app_name());
    appInfo["a_channel"] = String::UTF16ToUTF8(app.app_channel());

    header["device_info"] = std::move(deviceInfo);
    header["user_info"] = std::move(userInfo);
    header["app_info"] = std::move(appInfo);
    header["sdk_ver"] = String::UTF16ToUTF8(zel.zel_version());
}

Json::Value EventData(const DeviceContext& record) {
    const RegionInfo& region = record.region_info();
    const DeviceInfo& device = record.device_info();
    const ZELInfo& zel = record.zel_info();

    Json::Value data(Json::objectValue);
    data["region_name"] = String::UTF16ToUTF8(region.region_name());
    data["country_name"] = String::UTF16ToUTF8(region.country_name());
    data["country_code"] = String::UTF16ToUTF8(region.country_code());
    data["time_zone"] = String::UTF16ToUTF8(NavpHeader::TimeZoneFromLocalTime(System::GetTime()));
    data["language_name"] = String::UTF16ToUTF8(region.language_name());
    data["language_code"] = String::UTF16ToUTF8(region.language_code());
    data["region_info_datetime"] = String::UTF16ToUTF8(region.region_info_datetime());
    data["dataset_id"] = String::UTF16ToUTF8(record.dataset_id());
    data["device_id"] = String::UTF16ToUTF8(device.device_id());
    data["device_id2"] = String::UTF16ToUTF8(device.device_id2());
    data["device_context_id"] = String::UTF16ToUTF8(record.device_context_id());
    data["schema_ver"] = String::UTF16ToUTF8(record.schema_ver());
    data["device_name"] = String::UTF16ToUTF8(device.device_name());
    data["device_manufacturer"] = String::UTF16ToUTF8(device.device_manufacturer());
    data["device_brand"] = String::UTF16ToUTF8(device.device_brand());
    data["device_subbrand"] = String::UTF16ToUTF8(device.device_subbrand());
    data["device_family"] = String::UTF16ToUTF8(device.device_family());
    data["device_modeltype"] = String::UTF16ToUTF8(device.device_modeltype());
    data["device_enclosuretype"] = String::UTF16ToUTF8(device.device_enclosuretype());
    data["device_bios_version"] = String::UTF16ToUTF8(device.device_biosversion());
    data["device_image_info"] =
        String::UTF16ToUTF8(device.device_subbrand());  // the endpoint reads the image from the sub-brand
    data["device_ec_version"] = String::UTF16ToUTF8(device.device_ecversion());
    data["device_smbios_version"] = String::UTF16ToUTF8(device.device_smbiosversion());
    data["os_name"] = String::UTF16ToUTF8(device.os_name());
    data["os_version"] = String::UTF16ToUTF8(device.os_version());
    data["os_language"] = String::UTF16ToUTF8(device.os_language());
    data["os_country"] = String::UTF16ToUTF8(device.os_country());
    data["os_update_title"] = String::UTF16ToUTF8(device.os_updatetitle());
    data["os_update_description"] = String::UTF16ToUTF8(device.os_updatedescription());
    data["device_info_datetime"] = String::UTF16ToUTF8(device.device_info_datetime());
    if (!device.device_extensionkeyvalue().empty()) {
        Json::Value extensions(Json::arrayValue);
        for (const std::wstring& entry : device.device_extensionkeyvalue())
            extensions.append(String::UTF16ToUTF8(entry));
        data["device_extension_keyvalue"] = std::move(extensions);
    }
    data["zel_id"] = String::UTF16ToUTF8(zel.zel_id());
    data["zel_name"] = String::UTF16ToUTF8(zel.zel_name());
    data["zel_version"] = String::UTF16ToUTF8(zel.zel_version());
    data["zel_info_datetime"] = String::UTF16ToUTF8(zel.zel_datetime());
    data["device_path"] = String::UTF16ToUTF8(device.device_path());
    data["device_subscription"] = String::UTF16ToUTF8(device.device_subscription());
    data["zel_channel"] = String::UTF16ToUTF8(zel.zel_channel());
    data["zel_key"] = String::UTF16ToUTF8(zel.zel_key());
    data["zel_anonymous_data_collection_preference"] =
        String::UTF16ToUTF8(zel.anonymous_data_collection_preference());
    Json::Value packages;
    JsonSerialize::ConvertMapToJsonArray(zel.zel_installed_packages(), packages);
    data["zel_installed_packages"] = std::move(packages);
    return data;
}

}  // namespace

NavpHeader::NavpHeader(DataSync::TelemetryTables* dataStore)
    : m_deviceContext(std::make_shared<const DeviceContext>()), m_dataStore(dataStore) {}

NavpHeader::NavpHeader(const NavpHeader& other) : m_dataStore(other.m_dataStore) {
    std::lock_guard<std::mutex> lock(other.m_mutex);
    m_deviceContext = other.m_deviceContext;
    m_loaded = other.m_loaded;
}

NavpHeader& NavpHeader::operator=(const NavpHeader& other) {
    if (this == &other) return *this;
    std::shared_ptr<const DeviceContext> context;
    bool loaded;
    {
        std::lock_guard<std::mutex> lock(other.m_mutex);
        context = other.m_deviceContext;
        loaded = other.m_loaded;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_deviceContext = std::move(context);
    m_loaded = loaded;
    m_dataStore = other.m_dataStore;
    return *this;
}

NavpHeader* NavpHeader::GetInstance() {
    static NavpHeader instance(nullptr);
    return &instance;
}

bool NavpHeader::LoadDeviceContext() {
    // Read into a fresh record outside the lock: readers keep using the previous context while
    // the store is queried, and never see a half-decoded one.
    auto loaded = std::make_shared<DeviceContext>();
    DataSync::TelemetryTables* const tables = m_dataStore != nullptr ? m_dataStore : DataSync::InstalledStores().tables;
    if (tables != nullptr && tables->NewestDeviceContext(*loaded)) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_deviceContext = std::move(loaded);
        m_loaded = true;
        return true;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_loaded = false;
    }
    Log log;
    utility::InitLog(log, L"DataSync.log", 4);
    log.w(L"%s: Init GetLastDeviceContext no data", L"ZEL::NavpHeader::LoadDeviceContext");
    return false;
}

std::shared_ptr<const DeviceContext> NavpHeader::Cached() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_loaded ? m_deviceContext : nullptr;
}

bool NavpHeader::FillNavpHead(Json::Value& header, std::wstring& appName) {
    std::shared_ptr<const DeviceContext> context = Cached();
    if (!context) {
        // Another thread's failed reload may clear the flag between the two steps: then there is
        // no context to report, as for any failed load.
        if (!LoadDeviceContext()) return false;
        context = Cached();
        if (!context) return false;
    }
    FillHeaderFrom(*context, appName, header);
    return true;
}

bool NavpHeader::BuildDeviceContextBody(const std::list<DeviceContext>& records, std::wstring& body) {
    if (records.empty()) return false;
    try {
        const DeviceContext& record = records.back();
        std::wstring appName = record.source_component();

        Json::Value event(Json::objectValue);
        event["e_name"] = "DeviceContext updated";
        event["e_cat"] = "DeviceContext";
        event["e_subcat"] = String::UTF16ToUTF8(record.device_context_id());
        event["e_time"] = String::UTF16ToUTF8(record.device_context_datetime());
        event["e_data"] = EventData(record);
        Json::Value events(Json::arrayValue);
        events.append(std::move(event));

        Json::Value root(Json::objectValue);
        if (!FillNavpHead(root, appName)) return false;
        root["events"] = std::move(events);
        body = BodyText(root);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::wstring NavpHeader::BodyText(const Json::Value& root) {
    return L"json=" + String::UTF8ToUTF16(DataSync::CompactJson(root));
}

std::wstring NavpHeader::TimeZoneFromLocalTime(const std::wstring& localTime) {
    if (localTime.size() >= 25) return L"UTC" + localTime.substr(19, 6);
    return localTime;
}

}  // namespace ZEL
