#include <gtest/gtest.h>

#include "datasync/common/StringUtil.h"
#include "datasync/common/TimeText.h"
#include "support/ManualClock.h"
#include "support/ScopedTimeZone.h"

namespace {

using namespace testsupport;
using ZEL::DateTimeUtility::GetGmtTimeStamp;
using ZEL::String::UTF16ToUTF8;
using ZEL::System::GetTime;

constexpr std::int64_t k2026Dec06T10Z = 1796551200;  // 2026-12-06T10:00:00Z
constexpr std::int64_t k2026Jul01T10Z = 1782900000;  // 2026-07-01T10:00:00Z
constexpr std::int64_t k2026Jan15T11Z = 1768474800;  // 2026-01-15T11:00:00Z

TEST(GetTime, WritesLocalTimeAndTheZonesOffset) {
    const struct { const char* zone; std::int64_t seconds; const wchar_t* text; } cases[] = {
                 {testsupport::kZoneUtc, k2026Dec06T10Z, L"2026-12-06T10:00:00+00:00"},
                 {testsupport::kZoneNepal, k2026Dec06T10Z, L"2026-12-06T15:45:00+05:45"},
                 {"<-0330>3:30", k2026Dec06T10Z, L"2026-12-06T06:30:00-03:30"},
                 {testsupport::kZoneUsEastern, k2026Dec06T10Z, L"2026-12-06T05:00:00-05:00"},
                 {testsupport::kZoneUsEastern, 1782900000, L"2026-07-01T06:00:00-04:00"},  // 2026-07-01T10Z
                 {"<-12>12", 0, L"1969-12-31T12:00:00-12:00"}};
    for (const auto& c : cases) EXPECT_EQ((ScopedTimeZone(c.zone), GetTime(c.seconds)), c.text) << c.zone << " @" << c.seconds;
}

// The agent writes local texts with System::GetTime and reads them back with GetGmtTimeStamp;
// an explicit zone gives the same instant whatever the local zone.
TEST(GmtTimeStamp, ReadsBackTheTextsOfGetTimeAndExplicitZonesInEveryZone) {
    const std::pair<const char*, std::int64_t> explicitZones[] = {
        {"2026-12-06T10:00:00Z", k2026Dec06T10Z},      {"2026-12-06T06:30:00-0330", k2026Dec06T10Z},
        {"2026-12-07T09:59:00+23:59", k2026Dec06T10Z}, {"2027-01-01T00:30:00+01:00", 1798759800},
        {"2026-12-06T11:00:00.5+01:00", k2026Dec06T10Z}, {"1969-12-31T23:59:59Z", -1},
        {"2024-02-29T12:00:00Z", 1709208000},          {"2038-01-19T03:14:08Z", 2147483648}};
    for (const char* zone : {kZoneUtc, kZoneNepal, kZoneCentralEurope, kZoneUsEastern}) {
        ScopedTimeZone tz(zone);
        for (std::int64_t instant : {k2026Dec06T10Z, k2026Jul01T10Z, k2026Jan15T11Z + 1234, std::int64_t{0}}) {
            ManualClock clock(FromUnixMillis(instant * 1000 + 250));
            const std::string text = UTF16ToUTF8(ZEL::System::GetTime());
            EXPECT_EQ(GetGmtTimeStamp(text), instant) << zone << " " << text;
        }
        for (const auto& c : explicitZones) EXPECT_EQ(GetGmtTimeStamp(c.first), c.second) << zone << " " << c.first;
    }
}

TEST(GmtTimeStamp, TextWithoutZoneIsLocalTimeAndMalformedOrOutOfRangeTextGivesMinusOne) {
    const struct { const char *zone, *text; std::int64_t instant; } cases[] = {{kZoneNepal, "2026-12-06T15:45:00.900", k2026Dec06T10Z},
                 {kZoneCentralEurope, "2026-07-01T12:00:00", k2026Jul01T10Z},  // CEST, +02:00
                 {kZoneCentralEurope, "2026-01-15T12:00:00", k2026Jan15T11Z},  // CET, +01:00
                 {kZoneUsEastern, "2026-07-01T06:00:00", k2026Jul01T10Z},      // EDT, -04:00
                 {kZoneUsEastern, "2026-01-15T06:00:00", k2026Jan15T11Z}};     // EST, -05:00
    for (const auto& c : cases) EXPECT_EQ((ScopedTimeZone(c.zone), GetGmtTimeStamp(c.text)), c.instant) << c.zone << " " << c.text;
    ScopedTimeZone tz(kZoneUtc);
    for (const char* text : {"", "2026-12-06 10:00:00", "2026-1-06T10:00:00", "2026-12-06T10:00:0",       // shape
                             "2026-12-06T10:00:00Zjunk", " 2026-12-06T10:00:00", "2026-12-06T10:00:00.Z",  // trailing
                             "2026-12-06T10:00:00+01", "2026-12-06T10:00:00+24:00", "2026-12-06T10:00:00UTC",  // zone
                             "2026-04-31T10:00:00Z", "2100-02-29T10:00:00Z", "2026-12-06T24:00:00Z",  // range
                             "2026-02-30T10:00:00"})
        EXPECT_EQ(GetGmtTimeStamp(text), -1) << text;
}

}  // namespace
