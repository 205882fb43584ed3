// The retention cutoff condition and delete statement.
#include "datasync/housekeeping/CutoffStatement.h"

#include <cstdint>

#include "datasync/common/TimeText.h"

namespace ZEL {
namespace QueryBuilderUtility {
namespace {

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

std::string LogtimeHasTheForm() {
    return "logtime GLOB '[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]:[0-9][0-9]*'";
}

std::string BuildCutoffCondition(const std::chrono::system_clock::time_point& cutoff, bool inclusive) {
    const std::int64_t seconds = static_cast<std::int64_t>(std::chrono::system_clock::to_time_t(cutoff));
    const std::string when = DateTimeUtility::LocalTimeText(seconds, false);
    if (when.empty()) return std::string();
    // The comparison first: SQLite stops at it for the rows it keeps (most of them), and the
    // pattern, far dearer per row, only checks the shape of those it would delete.
    return "substr(logtime, 1, 19) " + std::string(inclusive ? "<=" : "<") + " '" + when + "' AND " +
           LogtimeHasTheForm();
}

std::string BuildDeleteQueryForCutoff(const std::string& table,
                                      const std::chrono::system_clock::time_point& cutoff) {
    if (!IsIdentifier(table)) return std::string();
    const std::string condition = BuildCutoffCondition(cutoff, false);
    if (condition.empty()) return std::string();
    return "DELETE FROM " + table + " WHERE " + condition;
}

}  // namespace QueryBuilderUtility
}  // namespace ZEL
