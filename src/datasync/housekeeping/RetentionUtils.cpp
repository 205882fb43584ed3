// Retention texts.
#include "datasync/housekeeping/RetentionUtils.h"

#include <climits>
#include <cwctype>

namespace TelemetryUtils {

int RetentionUtils::ParseRetentionDays(const std::wstring& text, int defaultDays, int maxDays, bool* overflowed) {
    if (overflowed != nullptr) *overflowed = false;
    if (text.size() < 2) return defaultDays;
    const wchar_t unit = text.back();
    if (unit != L'd' && unit != L'D') return defaultDays;
    long long days = 0;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c < L'0' || c > L'9') return defaultDays;
        if (days <= INT_MAX) days = days * 10 + (c - L'0');
    }
    if (days > INT_MAX) {
        if (overflowed != nullptr) *overflowed = true;
        return maxDays;
    }
    if (days == 0) return defaultDays;
    return days < maxDays ? static_cast<int>(days) : maxDays;
}

std::wstring RetentionUtils::ToUpper(const std::wstring& text) {
    std::wstring upper = text;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return upper;
}

bool RetentionUtils::ends_with(const std::wstring& text, const std::wstring& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace TelemetryUtils
