// Local time texts of the host (System::GetTime) with the zone's own offset, and the retention
// delete statement with table names refused unless they are plain identifiers.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "datasync/host/StringUtil.h"
#include "datasync/host/Utility.h"
#include "support/ScopedTimeZone.h"
#include "support/TextShape.h"

namespace {

using testsupport::ScopedTimeZone;
using ZEL::QueryBuilderUtility::BuildDeleteQueryForCutoff;
using ZEL::System::GetTime;

constexpr std::int64_t k2026Dec06T10Z = 1796551200;  // 2026-12-06T10:00:00Z
constexpr std::int64_t k2026Jul01T10Z = 1782900000;  // 2026-07-01T10:00:00Z

std::chrono::system_clock::time_point At(std::int64_t seconds, int millis = 0) {
    return std::chrono::system_clock::time_point(std::chrono::seconds(seconds) +
                                                 std::chrono::milliseconds(millis));
}

TEST(GetTime, WritesLocalTimeAndTheZonesOffset) {
    EXPECT_TRUE(testsupport::HasShape(ZEL::String::UTF16ToUTF8(GetTime()), "9999-99-99T99:99:99S99:99"));
    const struct {
        const char* zone;
        std::int64_t seconds;
        const wchar_t* text;
    } cases[] = {{testsupport::kZoneUtc, k2026Dec06T10Z, L"2026-12-06T10:00:00+00:00"},
                 {testsupport::kZoneNepal, k2026Dec06T10Z, L"2026-12-06T15:45:00+05:45"},
                 {"<-0330>3:30", k2026Dec06T10Z, L"2026-12-06T06:30:00-03:30"},
                 {testsupport::kZoneUsEastern, k2026Dec06T10Z, L"2026-12-06T05:00:00-05:00"},
                 {testsupport::kZoneUsEastern, k2026Jul01T10Z, L"2026-07-01T06:00:00-04:00"},
                 {"<-12>12", 0, L"1969-12-31T12:00:00-12:00"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " @" + std::to_string(c.seconds));
        ScopedTimeZone tz(c.zone);
        EXPECT_EQ(GetTime(c.seconds), c.text);
    }
}

// Table names go into the statement as they are: anything but a plain identifier is refused.
TEST(BuildDeleteQueryForCutoff, NamesAPlainIdentifierTableAndTheWholeSecondLocalCutoff) {
    ScopedTimeZone tz(testsupport::kZoneNepal);
    EXPECT_EQ(BuildDeleteQueryForCutoff("KTA_Events", At(k2026Dec06T10Z, 999)),
              "DELETE FROM KTA_Events WHERE substr(logtime, 1, 19) < '2026-12-06T15:45:00' AND logtime GLOB "
              "'[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]:[0-9][0-9]*'");
    for (const char* table : {"_", "z9"}) EXPECT_FALSE(BuildDeleteQueryForCutoff(table, At(0)).empty()) << table;
    for (const std::string& table : {std::string(""), std::string("1table"), std::string("a b"),
                                     std::string("t;DROP TABLE x"), std::string("tbl-name"), std::string("t.x"),
                                     std::string("\"t\""), std::string("t'"), std::string("Ger\xc3\xa4te"),
                                     std::string("t\0x", 3)})
        EXPECT_EQ(BuildDeleteQueryForCutoff(table, At(k2026Dec06T10Z)), "") << table;
}

}  // namespace
