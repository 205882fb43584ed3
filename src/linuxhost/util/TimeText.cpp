// Local time texts and the retention delete statement.
#include <ctime>
#include <cstdio>
#include <string>

#include "datasync/host/Clock.h"
#include "datasync/common/StringUtil.h"
#include "datasync/host/Utility.h"

namespace ZEL {
namespace {

std::string FormatLocal(std::time_t seconds, bool withOffset) {
    std::tm local{};
    if (::localtime_r(&seconds, &local) == nullptr) return std::string();
    char text[40];
    size_t length = std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &local);
    if (length == 0) return std::string();
    std::string result(text, length);
    if (withOffset) {
        const long offset = local.tm_gmtoff;
        const long magnitude = offset < 0 ? -offset : offset;
        char zone[48];
        std::snprintf(zone, sizeof(zone), "%c%02ld:%02ld", offset < 0 ? '-' : '+', magnitude / 3600,
                      (magnitude % 3600) / 60);
        result += zone;
    }
    return result;
}

bool IsIdentifier(const std::string& text) {
    if (text.empty()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
        const bool digit = c >= '0' && c <= '9';
        if (!(letter || (digit && i > 0))) return false;
    }
    return true;
}

}  // namespace

namespace System {

std::wstring GetTime() {
    return GetTime(static_cast<std::int64_t>(std::chrono::system_clock::to_time_t(Clock::GetInstance()->WallNow())));
}

std::wstring GetTime(std::int64_t unixSeconds) {
    return String::UTF8ToUTF16(FormatLocal(static_cast<std::time_t>(unixSeconds), true));
}

}  // namespace System

namespace QueryBuilderUtility {

std::string BuildCutoffCondition(const std::chrono::system_clock::time_point& cutoff, bool inclusive) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(cutoff);
    const std::string when = FormatLocal(seconds, false);
    if (when.empty()) return std::string();
    // The comparison first: SQLite stops at it for the rows it keeps (most of them), and the
    // pattern, far dearer per row, only checks the shape of those it would delete.
    return "substr(logtime, 1, 19) " + std::string(inclusive ? "<=" : "<") + " '" + when +
           "' AND logtime GLOB '[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]:[0-9][0-9]*'";
}

std::string BuildDeleteQueryForCutoff(const std::string& table, const std::chrono::system_clock::time_point& cutoff) {
    if (!IsIdentifier(table)) return std::string();
    const std::string condition = BuildCutoffCondition(cutoff, false);
    if (condition.empty()) return std::string();
    return "DELETE FROM " + table + " WHERE " + condition;
}

}  // namespace QueryBuilderUtility
}  // namespace ZEL
