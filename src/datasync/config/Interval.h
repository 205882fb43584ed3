// The frequency texts of the dataset policies ("15m", "PT15M", ...) in milliseconds.
//
// Thread safety: callable from any thread; the warning goes through a Log bound at the time of
// the call, so a test's capture or the host's log folder installed later is honoured.
#pragma once

#include <cstdint>
#include <string>

namespace ZEL {
namespace utility {

// A frequency text to milliseconds: "<n>s|m|h|d" (any case) or an ISO-8601 duration ("PT15M",
// "P1D", "P1DT2H"). Anything else gives one day (86 400 000) and one warning in host.log.
std::uint64_t GetIntervalInMilliseconds(const std::wstring& interval);

}  // namespace utility
}  // namespace ZEL
