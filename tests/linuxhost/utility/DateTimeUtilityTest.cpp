// Clocks in Unix seconds and the parsing of time texts: texts written by System::GetTime read
// back to the clock's second in every zone, explicit zones ("Z", "+hh:mm", "+hhmm") do not
// depend on the process's TZ, texts without a zone are local time with daylight time applied by
// date, and anything malformed or out of range gives -1.
#include <gtest/gtest.h>

#include <climits>
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
using ZEL::DateTimeUtility::CompareDateTime;
using ZEL::DateTimeUtility::GetCurrentDatetime;
using ZEL::DateTimeUtility::GetCurrentGmtDatetime;
using ZEL::DateTimeUtility::GetGmtTimeStamp;

constexpr std::int64_t k2026Dec06T10Z = 1796551200;  // 2026-12-06T10:00:00Z
constexpr std::int64_t k2026Jul01T10Z = 1782900000;  // 2026-07-01T10:00:00Z
constexpr std::int64_t k2026Jan15T11Z = 1768474800;  // 2026-01-15T11:00:00Z

TEST(CurrentDatetime, IsTheInstalledClockInWholeSeconds) {
    ManualClock clock(FromUnixMillis(k2026Dec06T10Z * 1000 + 999));
    EXPECT_EQ(GetCurrentDatetime(), k2026Dec06T10Z);
    EXPECT_EQ(GetCurrentGmtDatetime(), k2026Dec06T10Z);
    clock.SetWall(FromUnixMillis(k2026Dec06T10Z * 1000 + 1000));
    EXPECT_EQ(GetCurrentDatetime(), k2026Dec06T10Z + 1);
}

TEST(CurrentDatetime, DoesNotDependOnTheTimeZone) {
    ManualClock clock(FromUnixMillis(k2026Jul01T10Z * 1000));
    for (const char* zone : {testsupport::kZoneUtc, testsupport::kZoneNepal, testsupport::kZoneUsEastern}) {
        ScopedTimeZone tz(zone);
        EXPECT_EQ(GetCurrentGmtDatetime(), k2026Jul01T10Z) << zone;
    }
}

TEST(CurrentDatetime, RoundsDownBeforeTheEpoch) {
    ManualClock clock(FromUnixMillis(-1500));
    EXPECT_EQ(GetCurrentDatetime(), -2);
}

// The agent writes local texts with System::GetTime and reads them back with GetGmtTimeStamp.
class TimeTextRoundTrip : public ::testing::TestWithParam<const char*> {};

TEST_P(TimeTextRoundTrip, ReadsBackTheClockSecond) {
    ScopedTimeZone tz(GetParam());
    const std::int64_t instants[] = {k2026Dec06T10Z, k2026Jul01T10Z, k2026Jan15T11Z + 1234, 0,
                                     951782400 /*2000-02-29*/};
    for (std::int64_t instant : instants) {
        ManualClock clock(FromUnixMillis(instant * 1000 + 250));
        const std::string text = ZEL::String::UTF16ToUTF8(ZEL::System::GetTime());
        EXPECT_EQ(GetGmtTimeStamp(text), instant) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(Zones, TimeTextRoundTrip,
                         ::testing::Values(testsupport::kZoneUtc, testsupport::kZoneNepal,
                                           testsupport::kZoneCentralEurope, testsupport::kZoneUsEastern));

struct Stamp {
    const char* text;
    std::int64_t seconds;
};

void PrintTo(const Stamp& s, std::ostream* out) {
    *out << s.text;
}

class ExplicitZone : public ::testing::TestWithParam<Stamp> {};

TEST_P(ExplicitZone, GivesTheSameInstantWhateverTheLocalZone) {
    for (const char* zone :
         {testsupport::kZoneUtc, testsupport::kZoneNepal, testsupport::kZoneCentralEurope}) {
        ScopedTimeZone tz(zone);
        EXPECT_EQ(GetGmtTimeStamp(GetParam().text), GetParam().seconds) << zone;
    }
}

INSTANTIATE_TEST_SUITE_P(Offsets, ExplicitZone,
                         ::testing::Values(Stamp{"2026-12-06T10:00:00Z", k2026Dec06T10Z},
                                           Stamp{"2026-12-06T10:00:00+00:00", k2026Dec06T10Z},
                                           Stamp{"2026-12-06T10:00:00-00:00", k2026Dec06T10Z},
                                           Stamp{"2026-12-06T11:00:00+01:00", k2026Dec06T10Z},
                                           Stamp{"2026-12-06T11:00:00+0100", k2026Dec06T10Z},
                                           Stamp{"2026-12-06T05:00:00-05:00", k2026Dec06T10Z},
                                           Stamp{"2026-12-06T15:45:00+05:45", k2026Dec06T10Z},
                                           Stamp{"2026-12-06T06:30:00-0330", k2026Dec06T10Z},
                                           Stamp{"2026-12-07T09:59:00+23:59", k2026Dec06T10Z},
                                           // a change of day, month and year through the offset
                                           Stamp{"2027-01-01T00:30:00+01:00", 1798759800},
                                           Stamp{"2026-12-31T23:30:00Z", 1798759800}));

INSTANTIATE_TEST_SUITE_P(Fractions, ExplicitZone,
                         ::testing::Values(Stamp{"2026-12-06T10:00:00.999Z", k2026Dec06T10Z},
                                           Stamp{"2026-12-06T10:00:00.0Z", k2026Dec06T10Z},
                                           Stamp{"2026-12-06T10:00:00.123456789+00:00", k2026Dec06T10Z},
                                           Stamp{"2026-12-06T11:00:00.5+01:00", k2026Dec06T10Z}));

INSTANTIATE_TEST_SUITE_P(
    Calendar, ExplicitZone,
    ::testing::Values(Stamp{"1970-01-01T00:00:00Z", 0}, Stamp{"1969-12-31T23:59:59Z", -1},
                      Stamp{"1960-01-01T00:00:00Z", -315619200}, Stamp{"2000-02-29T00:00:00Z", 951782400},
                      Stamp{"2024-02-29T12:00:00Z", 1709208000}, Stamp{"2038-01-19T03:14:08Z", 2147483648},
                      Stamp{"9999-12-31T23:59:59Z", 253402300799}));

TEST(LocalTimeText, IsReadInTheProcessZone) {
    {
        ScopedTimeZone tz(testsupport::kZoneUtc);
        EXPECT_EQ(GetGmtTimeStamp("2026-12-06T10:00:00"), k2026Dec06T10Z);
    }
    {
        ScopedTimeZone tz(testsupport::kZoneNepal);
        EXPECT_EQ(GetGmtTimeStamp("2026-12-06T15:45:00"), k2026Dec06T10Z);
        EXPECT_EQ(GetGmtTimeStamp("2026-12-06T15:45:00.900"), k2026Dec06T10Z);
    }
}

TEST(LocalTimeText, AppliesDaylightTimeByDate) {
    {
        ScopedTimeZone tz(testsupport::kZoneCentralEurope);
        EXPECT_EQ(GetGmtTimeStamp("2026-07-01T12:00:00"), k2026Jul01T10Z);  // CEST, +02:00
        EXPECT_EQ(GetGmtTimeStamp("2026-01-15T12:00:00"), k2026Jan15T11Z);  // CET, +01:00
    }
    {
        ScopedTimeZone tz(testsupport::kZoneUsEastern);
        EXPECT_EQ(GetGmtTimeStamp("2026-07-01T06:00:00"), k2026Jul01T10Z);  // EDT, -04:00
        EXPECT_EQ(GetGmtTimeStamp("2026-01-15T06:00:00"), k2026Jan15T11Z);  // EST, -05:00
    }
}

class MalformedTimeText : public ::testing::TestWithParam<const char*> {};

TEST_P(MalformedTimeText, GivesMinusOne) {
    ScopedTimeZone tz(testsupport::kZoneUtc);
    EXPECT_EQ(GetGmtTimeStamp(GetParam()), -1);
}

INSTANTIATE_TEST_SUITE_P(Shape, MalformedTimeText,
                         ::testing::Values("", "2026-12-06", "2026-12-06T10:00", "2026-12-06 10:00:00",
                                           "2026/12/06T10:00:00", "20261206T100000Z", "2026-1-06T10:00:00",
                                           "2026-12-6T10:00:00", "26-12-06T10:00:00", "abcd-12-06T10:00:00Z",
                                           "-026-12-06T10:00:00Z", "2026-12-06T1a:00:00",
                                           "2026-12-06T10:00:0"));

INSTANTIATE_TEST_SUITE_P(TrailingText, MalformedTimeText,
                         ::testing::Values("2026-12-06T10:00:00Zjunk", "2026-12-06T10:00:00 ",
                                           " 2026-12-06T10:00:00", "2026-12-06T10:00:00+01:00x",
                                           "2026-12-06T10:00:00+01:00:00", "2026-12-06T10:00:00ZZ",
                                           "2026-12-06T10:00:00.", "2026-12-06T10:00:00.Z",
                                           "2026-12-06T10:00:00.5.5Z", "2026-12-06T10:00:00,5Z"));

INSTANTIATE_TEST_SUITE_P(BadZone, MalformedTimeText,
                         ::testing::Values("2026-12-06T10:00:00+", "2026-12-06T10:00:00-",
                                           "2026-12-06T10:00:00+1:00", "2026-12-06T10:00:00+01:0",
                                           "2026-12-06T10:00:00+01", "2026-12-06T10:00:00+24:00",
                                           "2026-12-06T10:00:00+01:60", "2026-12-06T10:00:00 +01:00",
                                           "2026-12-06T10:00:00UTC"));

INSTANTIATE_TEST_SUITE_P(OutOfRange, MalformedTimeText,
                         ::testing::Values("2026-00-06T10:00:00Z", "2026-13-06T10:00:00Z",
                                           "2026-12-00T10:00:00Z", "2026-12-32T10:00:00Z",
                                           "2026-04-31T10:00:00Z", "2023-02-29T10:00:00Z",
                                           "2100-02-29T10:00:00Z", "2026-12-06T24:00:00Z",
                                           "2026-12-06T10:60:00Z", "2026-12-06T10:00:60Z",
                                           "2026-12-06T10:00:60", "2026-02-30T10:00:00"));

TEST(CompareDateTime, IsTheFirstMinusTheSecond) {
    EXPECT_EQ(CompareDateTime(100, 40), 60.0);
    EXPECT_EQ(CompareDateTime(40, 100), -60.0);
    EXPECT_EQ(CompareDateTime(k2026Dec06T10Z, k2026Dec06T10Z), 0.0);
}

TEST(CompareDateTime, IsExactForLargeNeighbouringValues) {
    const std::int64_t big = (std::int64_t{1} << 60) + 1;
    EXPECT_EQ(CompareDateTime(big, big - 1), 1.0);  // both round to the same double
}

TEST(CompareDateTime, StaysFiniteAtTheExtremes) {
    EXPECT_GT(CompareDateTime(INT64_MAX, INT64_MIN), 1.8e19);
    EXPECT_LT(CompareDateTime(INT64_MIN, INT64_MAX), -1.8e19);
}

}  // namespace
