// Small host utilities: database roots, intervals, the registry, clocks and time texts,
// back-off delays, file queries and the retention delete statement.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/KernelObjects.h"

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

// A frequency text to milliseconds: "<n>s|m|h|d" (any case) or an ISO-8601 duration ("PT15M",
// "P1D", "P1DT2H"). Anything else gives one day (86 400 000) and one warning in the host log.
std::uint64_t GetIntervalInMilliseconds(const std::wstring& interval);

// Stores a named value in the host's registry file (written to a temporary file and renamed).
void WriteErrorToRegistry(std::wstring& name, long value);
// Reads a value written before; false when there is none.
bool ReadRegistryValue(const std::wstring& name, long& value);

}  // namespace utility

namespace DateTimeUtility {

// Unix seconds of the installed clock (both are UTC-based).
std::int64_t GetCurrentDatetime();
std::int64_t GetCurrentGmtDatetime();
// Parses "%Y-%m-%dT%H:%M:%S" with an optional fraction and an optional "Z" or "+hh:mm"/"-hh:mm"
// (local time without an offset) into Unix seconds; -1 when the text cannot be parsed.
std::int64_t GetGmtTimeStamp(const std::string& text);
// a - b in seconds.
double CompareDateTime(const std::int64_t& a, const std::int64_t& b);

}  // namespace DateTimeUtility

namespace ApiUtility {

// A uniform random whole number of seconds in [0, spanMs / 1000].
unsigned GetRandomJitterInSeconds(unsigned spanMs);
// min(start * 2^count, cap) seconds, in milliseconds (never overflows).
std::int64_t GetSleepDurationInMillis(const int& count, const int& startSeconds, const int& capSeconds);
// Replaces the random source of GetRandomJitterInSeconds: (lo, hi) -> a value in [lo, hi].
// An empty function restores the default generator.
void SetRandomSource(std::function<unsigned(unsigned lo, unsigned hi)> source);

}  // namespace ApiUtility

namespace FileSystem {
bool fileExists(const std::wstring& path);
}  // namespace FileSystem

namespace System {

// Local time "%Y-%m-%dT%H:%M:%S+hh:mm" (25 characters): now, or of Unix seconds `unixSeconds`.
std::wstring GetTime();
std::wstring GetTime(std::int64_t unixSeconds);

// Security descriptors of named objects: who besides the service may use a named event. On this
// host that is the logged-on user (logon_user), through its primary group, whatever
// `allowUserAccess` says: its agent must wait on the notify events and set the acks alike. Without
// a logged-on user the events are the service's alone. Always succeeds.
struct SECURITY_ATTRIBUTES {
    bool inheritHandle = false;
    platform::NamedEventAccess access;
};
bool InitializeSecurityAttributes(SECURITY_ATTRIBUTES* attributes, bool allowUserAccess);
void FreeSecurityAttribute(SECURITY_ATTRIBUTES* attributes);

}  // namespace System

namespace QueryBuilderUtility {

// The rows whose logtime (local time, first 19 characters compared) lies before the cutoff
// (`inclusive`: at or before its second): "<logtime has the form> AND substr(logtime, 1, 19) <
// '<cutoff, local %Y-%m-%dT%H:%M:%S>'". A row whose logtime does not start with that form
// (empty, another format) is never matched: a cutoff cannot be compared with it. Empty when the
// cutoff cannot be formatted.
std::string BuildCutoffCondition(const std::chrono::system_clock::time_point& cutoff, bool inclusive);
// "DELETE FROM <table> WHERE " + BuildCutoffCondition(cutoff, false). Empty when `table` is empty
// or not a plain identifier ([A-Za-z_][A-Za-z0-9_]*).
std::string BuildDeleteQueryForCutoff(const std::string& table,
                                      const std::chrono::system_clock::time_point& cutoff);

}  // namespace QueryBuilderUtility
}  // namespace ZEL
