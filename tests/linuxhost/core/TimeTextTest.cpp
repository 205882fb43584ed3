// Local time texts of the host (System::GetTime) and the retention delete statement: the
// 25-character form with the zone's own offset (also negative and non-whole-hour ones, and
// daylight time by date), the installed clock as "now", and the statement's exact text with
// table names refused unless they are plain identifiers.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "datasync/host/StringUtil.h"
#include "datasync/host/Utility.h"
#include "support/ManualClock.h"
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

TEST(GetTime, IsTwentyFiveCharactersWithAnOffset) {
    const std::wstring now = GetTime();
    EXPECT_EQ(now.size(), 25u);
    EXPECT_TRUE(testsupport::HasShape(ZEL::String::UTF16ToUTF8(now), "9999-99-99T99:99:99S99:99"))
        << ZEL::String::UTF16ToUTF8(now);
}

struct ZoneText {
    const char* zone;
    std::int64_t seconds;
    const wchar_t* text;
};

void PrintTo(const ZoneText& z, std::ostream* out) {
    *out << z.zone << " @" << z.seconds;
}

class GetTimeInZone : public ::testing::TestWithParam<ZoneText> {};

TEST_P(GetTimeInZone, WritesLocalTimeAndTheZonesOffset) {
    ScopedTimeZone tz(GetParam().zone);
    EXPECT_EQ(GetTime(GetParam().seconds), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Zones, GetTimeInZone,
    ::testing::Values(ZoneText{testsupport::kZoneUtc, k2026Dec06T10Z, L"2026-12-06T10:00:00+00:00"},
                      ZoneText{testsupport::kZoneNepal, k2026Dec06T10Z, L"2026-12-06T15:45:00+05:45"},
                      ZoneText{"<-0330>3:30", k2026Dec06T10Z, L"2026-12-06T06:30:00-03:30"},
                      ZoneText{testsupport::kZoneUsEastern, k2026Dec06T10Z, L"2026-12-06T05:00:00-05:00"},
                      ZoneText{testsupport::kZoneUsEastern, k2026Jul01T10Z, L"2026-07-01T06:00:00-04:00"},
                      ZoneText{testsupport::kZoneCentralEurope, k2026Jul01T10Z, L"2026-07-01T12:00:00+02:00"},
                      ZoneText{testsupport::kZoneCentralEurope, k2026Dec06T10Z, L"2026-12-06T11:00:00+01:00"},
                      ZoneText{"<+14>-14", 0, L"1970-01-01T14:00:00+14:00"},
                      ZoneText{"<-12>12", 0, L"1969-12-31T12:00:00-12:00"}));

TEST(GetTime, NowComesFromTheInstalledClock) {
    ScopedTimeZone tz(testsupport::kZoneNepal);
    testsupport::ManualClock clock(At(k2026Dec06T10Z, 999));
    EXPECT_EQ(GetTime(), L"2026-12-06T15:45:00+05:45");
    clock.SetWall(At(k2026Dec06T10Z + 1));
    EXPECT_EQ(GetTime(), L"2026-12-06T15:45:01+05:45");
}

TEST(BuildDeleteQueryForCutoff, NamesTableAndLocalCutoff) {
    ScopedTimeZone tz(testsupport::kZoneNepal);
    EXPECT_EQ(BuildDeleteQueryForCutoff("KTA_Events", At(k2026Dec06T10Z)),
              "DELETE FROM KTA_Events WHERE substr(logtime, 1, 19) < '2026-12-06T15:45:00'");
}

TEST(BuildDeleteQueryForCutoff, CutoffIsLocalTimeOfTheProcessZone) {
    {
        ScopedTimeZone tz(testsupport::kZoneUtc);
        EXPECT_EQ(BuildDeleteQueryForCutoff("t", At(k2026Jul01T10Z)),
                  "DELETE FROM t WHERE substr(logtime, 1, 19) < '2026-07-01T10:00:00'");
    }
    {
        ScopedTimeZone tz(testsupport::kZoneCentralEurope);
        EXPECT_EQ(BuildDeleteQueryForCutoff("t", At(k2026Jul01T10Z)),
                  "DELETE FROM t WHERE substr(logtime, 1, 19) < '2026-07-01T12:00:00'");
    }
}

TEST(BuildDeleteQueryForCutoff, DropsFractionsOfTheCutoffSecond) {
    ScopedTimeZone tz(testsupport::kZoneUtc);
    EXPECT_EQ(BuildDeleteQueryForCutoff("t", At(k2026Dec06T10Z, 999)),
              "DELETE FROM t WHERE substr(logtime, 1, 19) < '2026-12-06T10:00:00'");
}

TEST(BuildDeleteQueryForCutoff, AcceptsPlainIdentifiers) {
    ScopedTimeZone tz(testsupport::kZoneUtc);
    for (const char* table : {"_", "_t1", "A", "Table_2026", "z9"})
        EXPECT_FALSE(BuildDeleteQueryForCutoff(table, At(0)).empty()) << table;
}

class RefusedTableName : public ::testing::TestWithParam<std::string> {};

TEST_P(RefusedTableName, GivesAnEmptyStatement) {
    EXPECT_EQ(BuildDeleteQueryForCutoff(GetParam(), At(k2026Dec06T10Z)), "");
}

INSTANTIATE_TEST_SUITE_P(Names, RefusedTableName,
                         ::testing::Values("", "1table", "9", "a b", "t;DROP TABLE x", "t--", "tbl-name",
                                           "t.x", "\"t\"", "[t]", "t'", "Ger\xc3\xa4te",
                                           std::string("t\0x", 3), " t", "t "));

}  // namespace
