#include <gtest/gtest.h>

#include <chrono>

#include "datasync/housekeeping/CutoffStatement.h"
#include "support/ScopedTimeZone.h"

namespace {

using testsupport::ScopedTimeZone;
constexpr std::int64_t k2026Dec06T10Z = 1796551200;  // 2026-12-06T10:00:00Z

// Table names go into the statement as they are: anything but a plain identifier is refused.
TEST(BuildDeleteQueryForCutoff, NamesAPlainIdentifierTableAndTheWholeSecondLocalCutoff) {
    using ZEL::QueryBuilderUtility::BuildDeleteQueryForCutoff;
    const auto at = [](std::int64_t seconds, int millis = 0) {
        return std::chrono::system_clock::time_point(std::chrono::seconds(seconds) + std::chrono::milliseconds(millis));
    };
    ScopedTimeZone tz(testsupport::kZoneNepal);
    EXPECT_EQ(BuildDeleteQueryForCutoff("KTA_Events", at(k2026Dec06T10Z, 999)),
              "DELETE FROM KTA_Events WHERE substr(logtime, 1, 19) < '2026-12-06T15:45:00' AND logtime GLOB "
              "'[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]:[0-9][0-9]*'");
    for (const char* table : {"_", "z9"}) EXPECT_FALSE(BuildDeleteQueryForCutoff(table, at(0)).empty()) << table;
    for (const std::string& table : std::initializer_list<std::string>{"", "1table", "a b", "t;DROP TABLE x",
             "tbl-name", "t.x", "\"t\"", "t'", "Ger\xc3\xa4te", std::string("t\0x", 3)})
        EXPECT_EQ(BuildDeleteQueryForCutoff(table, at(k2026Dec06T10Z)), "") << table;
}

}  // namespace
