// Clocks in Unix seconds and the parsing of time texts: texts written by System::GetTime read
// back to the clock's second in every zone, explicit zones ("Z", "+hh:mm", "+hhmm") do not
// depend on the process's TZ, texts without a zone are local time with daylight time applied by
// date, and anything malformed or out of range gives -1.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "datasync/host/StringUtil.h"
#include "datasync/host/Utility.h"
#include "support/ManualClock.h"
#include "support/ScopedTimeZone.h"

namespace {

using testsupport::FromUnixMillis;
using testsupport::ManualClock;
using testsupport::ScopedTimeZone;
using ZEL::DateTimeUtility::GetCurrentDatetime;
using ZEL::DateTimeUtility::GetCurrentGmtDatetime;
using ZEL::DateTimeUtility::GetGmtTimeStamp;

constexpr std::int64_t k2026Dec06T10Z = 1796551200;  // 2026-12-06T10:00:00Z
constexpr std::int64_t k2026Jul01T10Z = 1782900000;  // 2026-07-01T10:00:00Z
constexpr std::int64_t k2026Jan15T11Z = 1768474800;  // 2026-01-15T11:00:00Z

TEST(CurrentDatetime, IsTheInstalledClockInWholeSecondsWhateverTheZone) {
    ManualClock clock(FromUnixMillis(k2026Dec06T10Z * 1000 + 999));
    for (const char* zone : {testsupport::kZoneUtc, testsupport::kZoneNepal}) {
        ScopedTimeZone tz(zone);
        EXPECT_EQ(GetCurrentDatetime(), k2026Dec06T10Z) << zone;
        EXPECT_EQ(GetCurrentGmtDatetime(), k2026Dec06T10Z) << zone;
    }
    clock.SetWall(FromUnixMillis(-1500));
    EXPECT_EQ(GetCurrentDatetime(), -2);  // rounds down before the epoch
}

// The agent writes local texts with System::GetTime and reads them back with GetGmtTimeStamp.
TEST(GmtTimeStamp, ReadsBackTheTextsOfGetTimeInEveryZone) {
    for (const char* zone : {testsupport::kZoneUtc, testsupport::kZoneNepal, testsupport::kZoneCentralEurope,
                             testsupport::kZoneUsEastern}) {
        ScopedTimeZone tz(zone);
        for (std::int64_t instant : {k2026Dec06T10Z, k2026Jul01T10Z, k2026Jan15T11Z + 1234, std::int64_t{0}}) {
            ManualClock clock(FromUnixMillis(instant * 1000 + 250));
            const std::string text = ZEL::String::UTF16ToUTF8(ZEL::System::GetTime());
            EXPECT_EQ(GetGmtTimeStamp(text), instant) << zone << " " << text;
        }
    }
}

TEST(GmtTimeStamp, ExplicitZoneGivesTheSameInstantWhateverTheLocalZone) {
    const std::pair<const char*, std::int64_t> cases[] = {
        {"2026-12-06T10:00:00Z", k2026Dec06T10Z},      {"2026-12-06T06:30:00-0330", k2026Dec06T10Z},
        {"2026-12-07T09:59:00+23:59", k2026Dec06T10Z}, {"2027-01-01T00:30:00+01:00", 1798759800},
        {"2026-12-06T11:00:00.5+01:00", k2026Dec06T10Z}, {"1969-12-31T23:59:59Z", -1},
        {"2024-02-29T12:00:00Z", 1709208000},          {"2038-01-19T03:14:08Z", 2147483648}};
    for (const char* zone : {testsupport::kZoneUtc, testsupport::kZoneNepal, testsupport::kZoneCentralEurope}) {
        ScopedTimeZone tz(zone);
        for (const auto& c : cases) EXPECT_EQ(GetGmtTimeStamp(c.first), c.second) << zone << " " << c.first;
    }
}

TEST(GmtTimeStamp, TextWithoutZoneIsLocalTimeWithDaylightTimeByDate) {
    const struct {
        const char *zone, *text;
        std::int64_t instant;
    } cases[] = {{testsupport::kZoneNepal, "2026-12-06T15:45:00.900", k2026Dec06T10Z},
                 {testsupport::kZoneCentralEurope, "2026-07-01T12:00:00", k2026Jul01T10Z},  // CEST, +02:00
                 {testsupport::kZoneCentralEurope, "2026-01-15T12:00:00", k2026Jan15T11Z},  // CET, +01:00
                 {testsupport::kZoneUsEastern, "2026-07-01T06:00:00", k2026Jul01T10Z},      // EDT, -04:00
                 {testsupport::kZoneUsEastern, "2026-01-15T06:00:00", k2026Jan15T11Z}};     // EST, -05:00
    for (const auto& c : cases) {
        ScopedTimeZone tz(c.zone);
        EXPECT_EQ(GetGmtTimeStamp(c.text), c.instant) << c.zone << " " << c.text;
    }
}

TEST(GmtTimeStamp, MalformedOrOutOfRangeTextGivesMinusOne) {
    ScopedTimeZone tz(testsupport::kZoneUtc);
    for (const char* text : {
             "", "2026-12-06 10:00:00", "2026-1-06T10:00:00", "2026-12-06T10:00:0",       // shape
             "2026-12-06T10:00:00Zjunk", " 2026-12-06T10:00:00", "2026-12-06T10:00:00.Z",  // trailing text
             "2026-12-06T10:00:00+01", "2026-12-06T10:00:00+24:00", "2026-12-06T10:00:00UTC",  // zone
             "2026-04-31T10:00:00Z", "2100-02-29T10:00:00Z", "2026-12-06T24:00:00Z",
             "2026-02-30T10:00:00"}) {  // range
        EXPECT_EQ(GetGmtTimeStamp(text), -1) << text;
    }
}

}  // namespace
