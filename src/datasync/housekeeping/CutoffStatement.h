// The retention cutoff in SQL: the condition that picks the rows of a telemetry table whose
// logtime lies before a cutoff, and the DELETE statement built from it. logtime is local time
// "%Y-%m-%dT%H:%M:%S..." as the writers store it; only its first 19 characters are compared.
//
// Thread safety: free functions without state; callable from any thread.
#pragma once

#include <chrono>
#include <string>

namespace ZEL {
namespace QueryBuilderUtility {

// "logtime has the form": the GLOB condition true for a logtime that starts with
// "%Y-%m-%dT%H:%M:%S". Only such a logtime can be compared with a cutoff.
std::string LogtimeHasTheForm();

// The rows whose logtime (local time, first 19 characters compared) lies before the cutoff
// (`inclusive`: at or before its second): "substr(logtime, 1, 19) < '<cutoff, local
// %Y-%m-%dT%H:%M:%S>' AND <logtime has the form>". A row whose logtime does not start with that
// form (empty, another format) is never matched: a cutoff cannot be compared with it. Empty when
// the cutoff cannot be formatted.
std::string BuildCutoffCondition(const std::chrono::system_clock::time_point& cutoff, bool inclusive);
// "DELETE FROM <table> WHERE " + BuildCutoffCondition(cutoff, false). Empty when `table` is empty
// or not a plain identifier ([A-Za-z_][A-Za-z0-9_]*).
std::string BuildDeleteQueryForCutoff(const std::string& table,
                                      const std::chrono::system_clock::time_point& cutoff);

}  // namespace QueryBuilderUtility
}  // namespace ZEL
