// The header of every NAVP body (device, user and client application, from the newest device
// context of the data-store service) and the NAVP device-context body, which wraps one whole
// device context as a single event.
//
// The device context is cached: it is read from the store on first use and again only when
// LoadDeviceContext() is called, which the NAVP uploader does on the shared instance before each
// device-context post. Item-event and dataset-context bodies therefore carry the header of the
// device context as last loaded.
//
// Thread safety: all members may be called from any thread. The sync worker and the device-context
// thread share GetInstance(); a reload replaces the cached context as a whole, so every header is
// built from one context, either the previous or the new one, never a mix. Lifetime: the store
// passed in must outlive the object.
#pragma once

#include <json/json.h>

#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "datasync/store/Records.h"
#include "datasync/host/TelemetryTables.h"

namespace ZEL {

class NavpHeader {
public:
    // `tables` null: the tables installed at each load.
    explicit NavpHeader(DataSync::TelemetryTables* tables);
    // Copies take the other header's cached context as it is at that moment (shared, immutable).
    NavpHeader(const NavpHeader& other);
    NavpHeader& operator=(const NavpHeader& other);

    // The process-wide instance, created on first call; it loads from the tables installed at
    // that moment, so it never outlives the stores it reads.
    static NavpHeader* GetInstance();

    // Reads the newest device context from the store into the cache. False (logged, and the cache
    // marked not loaded) when the store has none.
    bool LoadDeviceContext();

    // Sets "device_info", "user_info", "app_info" and "sdk_ver" in `header`; other members stay.
    // Loads the device context first when none is loaded; false, with `header` untouched, when
    // there is none.
    bool FillNavpHead(Json::Value& header, std::wstring& appName);

    // "json=" + the compact header of the cached context (application name: the last record's
    // source component) with "events" holding one "DeviceContext updated" event built from the
    // last record of `records`. False, with `body` untouched, for an empty list, when no device
    // context is loaded or on a jsoncpp error.
    bool BuildDeviceContextBody(const std::list<DeviceContext>& records, std::wstring& body);

    // A NAVP body's text: "json=" followed by the compact JSON of `root`.
    static std::wstring BodyText(const Json::Value& root);

    // The "time_zone" value of a local time text "%Y-%m-%dT%H:%M:%S+hh:mm": "UTC" followed by the
    // offset (at most 6 characters from position 19) when the text has at least 25 characters,
    // otherwise the text itself.
    static std::wstring TimeZoneFromLocalTime(const std::wstring& localTime);

private:
    // The cached context when one is loaded; null otherwise.
    std::shared_ptr<const DeviceContext> Cached() const;

    // Guards m_deviceContext and m_loaded. Held only to swap or copy the pointer: the store is
    // read and JSON is built outside it, on an immutable snapshot.
    mutable std::mutex m_mutex;
    std::shared_ptr<const DeviceContext> m_deviceContext;
    bool m_loaded = false;
    DataSync::TelemetryTables* m_dataStore;  // null: the installed tables
};

}  // namespace ZEL
