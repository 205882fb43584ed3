// The file-level steps of the device-path purge and of the messaging retention: finding a
// database file in a root's folder, and naming it as a table of the store.
//
// The store leaves every file it changed consistent for other processes (TelemetryTables::Release):
// no step ever deletes a "-wal" or "-shm" file, as a writer in another process may have the
// database open and its committed rows may still be in the WAL.
//
// Thread safety: free functions.
#pragma once

#include <string>

#include "datasync/host/TelemetryTables.h"

namespace ZEL {

// Telemetry database file names (whole name, ignoring case); the group is the dataset id.
inline constexpr const wchar_t* kDatasetContextPattern = L"([0-9A-Fa-f\\-]{36})_DatasetContext\\.sqlite3$";
inline constexpr const wchar_t* kItemEventPattern = L"([0-9A-Fa-f\\-]{36})_ItemEvent\\.sqlite3$";
inline constexpr const wchar_t* kItemContextPattern = L"([0-9A-Fa-f\\-]{36})_ItemContext\\.sqlite3$";

// The table of kind `kind` ("ItemEvent") of dataset `datasetId` in the file `path` of `root`'s
// folder (the file as found, whatever the case of its name).
DataSync::TableRef TableInFile(const std::wstring& datasetId, const std::wstring& kind,
                               utility::EGetDBPathMethod root, const std::wstring& path);

}  // namespace ZEL
