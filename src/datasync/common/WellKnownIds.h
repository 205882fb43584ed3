// The dataset ids and file names that the agent treats specially, in one place. Each component
// that gives one of them a meaning says so where it uses it.
#pragma once

#include <string>
#include <string_view>

namespace ZEL {
namespace DataSync {

// The device context: its one database is kDeviceContextFileName in the service folder, and its
// policy is found by the dataset name kDeviceContextDatasetName.
inline constexpr const wchar_t* kDeviceContextDatasetId = L"03D21916-F27E-41EB-B8B3-77372521FBC7";
inline constexpr const wchar_t* kDeviceContextDatasetName = L"DeviceContext";
inline constexpr const wchar_t* kDeviceContextFileName = L"DeviceContext.sqlite3";

// Device status (heartbeat telemetry): its records use the since-boot clock, its uploads start
// at the newest row, and it may be suppressed while the push channel is connected.
inline constexpr const wchar_t* kDeviceStatusDatasetId = L"1118F4A1-5F72-4175-8CCD-36F64DBE5133";

// Device location: item events whose item data is encrypted.
inline constexpr const wchar_t* kDeviceLocationDatasetId = L"5E2123BA-4203-475F-B733-A1EED2434D04";

// The messaging plugin's databases.
inline constexpr const wchar_t* kMessagingPluginDatasetId = L"7C1F9721-2D5C-44F7-AB64-FA4545A7BA0B";

// Duplicated by the user agent: its shared-folder files wait for acknowledged user writes.
inline constexpr const wchar_t* kUserAgentDatasetId = L"C4D1AFBD-F3E9-4242-8811-7C6C3904E9CA";

// The user agent's hand-shake (named events shared with the user-agent process): the agent
// signals the notify event of a record kind and waits for its ack event, which the user agent
// signals once it has duplicated the newest row.
inline constexpr const wchar_t* kNotifyDuplicateItemEvent = L"Global\\NotifyDuplicateItemEvent";
inline constexpr const wchar_t* kNotifyDuplicateDatasetContextEvent = L"Global\\NotifyDuplicateDatasetContextEvent";
inline constexpr const wchar_t* kAckItemDuplicateEvent = L"Global\\NotifyAckForItemDuplicateCompleteEvent";
inline constexpr const wchar_t* kAckDatasetContextDuplicateEvent = L"Global\\NotifyAckForDCDuplicateCompleteEvent";

// The datasets IsNullOrNoneDataSet answers true for, in their order.
inline constexpr const wchar_t* kNullOrNoneDatasetIds[] = {kDeviceStatusDatasetId,
                                                           L"FBCCBF01-BCB0-41B3-A360-2E8387AF6711",
                                                           L"837F9CAE-8AF1-4E88-A690-61DD550E32D9"};

// The shared folder's global context: never uploaded from the shared folder.
inline constexpr const wchar_t* kGlobalContextFileName = L"GlobalContext.sqlite3";

// A telemetry database: "<dataset id>_<kind>.sqlite3", or "<kind>.sqlite3" for an empty id (the
// device context's DeviceContext.sqlite3), in the service or the shared folder. `kind` is the
// record kind and the name of the file's one table ("ItemEvent", "DatasetContext", ...).
inline constexpr const wchar_t* kTelemetryFileExtension = L".sqlite3";
// Built at its exact length: the agent keeps a name per watched database for as long as it runs.
inline std::wstring TelemetryFileName(const std::wstring& datasetId, const std::wstring& kind) {
    const std::wstring_view extension(kTelemetryFileExtension);
    std::wstring name;
    name.reserve(datasetId.size() + 1 + kind.size() + extension.size());
    if (!datasetId.empty()) name.append(datasetId).append(1, L'_');
    return name.append(kind).append(extension);
}
// The same in UTF-8, for the programs that name files in UTF-8 (the ids and kinds are ASCII).
inline std::string TelemetryFileName(const std::string& datasetId, const std::string& kind) {
    return (datasetId.empty() ? kind : datasetId + "_" + kind) + ".sqlite3";
}

}  // namespace DataSync
}  // namespace ZEL
