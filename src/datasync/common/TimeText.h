// Time texts of the agent: the Unix-second clocks read from the installed Clock, the parsing of
// "%Y-%m-%dT%H:%M:%S" texts with their zones, and the local-time texts written into records and
// requests. The local zone is the process's TZ (localtime_r / mktime).
//
// Thread safety: every function may be called from any thread (the C library's zone data is
// read only). Results are values; nothing is kept between calls.
#pragma once

#include <cstdint>
#include <string>

namespace ZEL {
namespace DateTimeUtility {

// Unix seconds of the installed clock (both are UTC-based).
std::int64_t GetCurrentDatetime();
std::int64_t GetCurrentGmtDatetime();
// Parses "%Y-%m-%dT%H:%M:%S" with an optional fraction and an optional "Z" or "+hh:mm"/"-hh:mm"
// (local time without an offset) into Unix seconds; -1 when the text cannot be parsed.
std::int64_t GetGmtTimeStamp(const std::string& text);
// a - b in seconds.
double CompareDateTime(const std::int64_t& a, const std::int64_t& b);

// Local time of Unix seconds `unixSeconds` as "%Y-%m-%dT%H:%M:%S" (19 characters), followed by
// "+hh:mm"/"-hh:mm" when `withOffset`. Empty when the time cannot be formatted.
std::string LocalTimeText(std::int64_t unixSeconds, bool withOffset);

}  // namespace DateTimeUtility

namespace System {

// Local time "%Y-%m-%dT%H:%M:%S+hh:mm" (25 characters): now, or of Unix seconds `unixSeconds`.
std::wstring GetTime();
std::wstring GetTime(std::int64_t unixSeconds);

}  // namespace System
}  // namespace ZEL
