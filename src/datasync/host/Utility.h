// Host utilities the stores rely on: database roots, local time texts and the retention
// delete statement.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace ZEL {
namespace utility {

// The root folder of a telemetry or SyncPoint file.
enum EGetDBPathMethod {
    DB_PATH_DEFAULT = 0,      // "default": the service's telemetry folder
    DB_PATH_INTERNAL = 1,     // "internal/DB": the service's telemetry folder
    DB_PATH_USER_SHARED = 2,  // "user/SharedDB": the logged-on user's shared folder
    DB_PATH_LOCAL = 3,        // "LocalDB": reserved
};

// The folder of `method`, ending with '/', so that file names are appended directly. Empty when
// the host has not configured that folder.
std::wstring GetDBPath(EGetDBPathMethod method);

// The label the agent logs for a method: "default", "internal/DB", "user/SharedDB", "LocalDB".
const wchar_t* DBPathMethodLabel(EGetDBPathMethod method);

}  // namespace utility

namespace System {

// Local time "%Y-%m-%dT%H:%M:%S+hh:mm" (25 characters): now, or of Unix seconds `unixSeconds`.
std::wstring GetTime();
std::wstring GetTime(std::int64_t unixSeconds);

}  // namespace System

namespace QueryBuilderUtility {

// "DELETE FROM <table> WHERE substr(logtime, 1, 19) < '<cutoff, local %Y-%m-%dT%H:%M:%S>'":
// deletes the rows whose logtime (local time, first 19 characters compared) lies before the
// cutoff. Empty when `table` is empty or not a plain identifier ([A-Za-z_][A-Za-z0-9_]*).
std::string BuildDeleteQueryForCutoff(const std::string& table,
                                      const std::chrono::system_clock::time_point& cutoff);

}  // namespace QueryBuilderUtility
}  // namespace ZEL
