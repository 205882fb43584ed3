// The parts of telemetry retention that need no state: the retention period of a policy text
// and two text helpers.
#pragma once

#include <string>

namespace TelemetryUtils {

class RetentionUtils {
public:
    // "<digits>d" or "<digits>D" (the whole text) gives that many days, at most `maxDays`; 0 days,
    // an empty text or any other form gives `defaultDays`. Digits too many for an int give
    // `maxDays`, and `overflowed` (when given) is set.
    static int ParseRetentionDays(const std::wstring& text, int defaultDays, int maxDays, bool* overflowed = nullptr);
    // Every character through towupper.
    static std::wstring ToUpper(const std::wstring& text);
    static bool ends_with(const std::wstring& text, const std::wstring& suffix);
};

}  // namespace TelemetryUtils
