// What the KTA/NAVS and the NAVP uploaders ask alike: the URL of a record kind, and whether rows
// of a table wait for a family ("is anything unsent", "is it due").
#pragma once

#include <cstdint>
#include <string>

#include "datasync/common/DbRoots.h"
#include "datasync/host/TelemetryTables.h"
#include "datasync/upload/BatchPipeline.h"

namespace ZEL {
namespace DataSync {
namespace upload {

// `base` and `suffix` joined with exactly one "/" ("https://h/kta" + "events-data" and
// "https://h/kta/" + "events-data" both give "https://h/kta/events-data").
std::wstring JoinUrl(const std::wstring& base, const std::wstring& suffix);

// The table whose bookmarks one HaveUnsentRows question reads.
struct BookmarkedTable {
    const wchar_t* function;      // for the log lines
    std::wstring syncPointFile;   // opened under the root of `method` (1, else 2)
    std::wstring datasetId;
    int syncType;                 // a SyncTypes value; others are logged and answer false
};

// Whether rows at or after the bookmark exist (true when the last id cannot be read). A
// bookmark of 0, or none, means that the next row to send is row 1.
bool HaveUnsentRows(const UploadServices& stores, const BookmarkedTable& table, utility::EGetDBPathMethod method);

// HaveUnsentRows, and `frequency` seconds passed since the bookmark's last write, or without a
// usable bookmark since the newest row was logged. `logtime` receives the time text used.
bool HaveUnsentRowsDue(const UploadServices& stores, const BookmarkedTable& table, utility::EGetDBPathMethod method,
                       std::uint32_t frequency, std::string& logtime);

// Whether `frequency` seconds passed since the newest row of the table was logged.
bool IsFrequencyElapsedSinceNewestRow(TelemetryTables& tables, const std::wstring& datasetId, const std::wstring& table,
                                      utility::EGetDBPathMethod method, std::uint32_t frequency,
                                      std::string& logtime);

}  // namespace upload
}  // namespace DataSync
}  // namespace ZEL
