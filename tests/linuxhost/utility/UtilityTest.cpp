// The host utilities: retry delays (the capped doubling back-off and the jitter's bounds),
// clocks in Unix seconds and the parsing of time texts (texts of System::GetTime read back in
// every zone, explicit zones independent of TZ, zoneless texts local with daylight time by date,
// -1 for anything malformed), frequency texts to milliseconds (one-day fallback with one warning),
// and fileExists (regular files, also through links, and nothing else).
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "datasync/host/StringUtil.h"
#include "datasync/host/Utility.h"
#include "support/LogCapture.h"
#include "support/ManualClock.h"
#include "support/ScopedTimeZone.h"
#include "support/TempDir.h"

namespace {

using ZEL::ApiUtility::GetRandomJitterInSeconds;
using ZEL::ApiUtility::GetSleepDurationInMillis;
using ZEL::ApiUtility::SetRandomSource;

TEST(SleepDuration, IsStartTimesTwoToTheCountCappedInMillis) {
    const struct {
        const char* name;
        int count, startSeconds, capSeconds;
        std::int64_t millis;
    } cases[] = {
        {"first", 0, 2, 60, 2000},
        {"doubled", 4, 2, 60, 32000},
        {"exactly the cap", 5, 2, 64, 64000},
        {"capped", 5, 2, 60, 60000},
        {"start above the cap", 0, 100, 60, 60000},
        // counts at and past the width of the intermediate values give the cap, not a wrapped value
        {"30 doublings", 30, 1, INT_MAX, (std::int64_t{1} << 30) * 1000},
        {"31 doublings", 31, INT_MAX, INT_MAX, std::int64_t{INT_MAX} * 1000},
        {"32 doublings", 32, 1, 600, 600000},
        {"INT_MAX doublings", INT_MAX, 1, 100, 100000},
        {"negative count", INT_MIN, 2, 60, 2000},
        {"negative start", 3, -2, 60, 0},
        {"negative cap", 3, 2, -60, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(GetSleepDurationInMillis(c.count, c.startSeconds, c.capSeconds), c.millis) << c.name;
}

class Jitter : public ::testing::Test {
protected:
    void TearDown() override { SetRandomSource(nullptr); }
};

TEST_F(Jitter, AsksTheInstalledSourceForWholeSecondsOfTheSpanAndClampsItsAnswer) {
    std::vector<std::pair<unsigned, unsigned>> asked;
    SetRandomSource([&asked](unsigned lo, unsigned hi) {
        asked.emplace_back(lo, hi);
        return hi + 7;
    });
    EXPECT_EQ(GetRandomJitterInSeconds(5999), 5u);
    EXPECT_EQ(GetRandomJitterInSeconds(999), 0u);
    EXPECT_EQ(GetRandomJitterInSeconds(UINT_MAX), UINT_MAX / 1000);
    EXPECT_EQ(asked, (std::vector<std::pair<unsigned, unsigned>>{{0, 5}, {0, 0}, {0, UINT_MAX / 1000}}));
    SetRandomSource([](unsigned, unsigned) { return 3u; });
    EXPECT_EQ(GetRandomJitterInSeconds(10000), 3u);
}

// The default source, also drawn from while other threads replace the source.
TEST_F(Jitter, DefaultGeneratorCoversTheWholeSpanAndNoMore) {
    SetRandomSource([](unsigned, unsigned) { return 0u; });
    SetRandomSource(nullptr);  // back to the default
    std::set<unsigned> seen;
    std::thread replacer([] {
        for (int i = 0; i < 200; ++i) {
            SetRandomSource([](unsigned, unsigned hi) { return hi; });
            SetRandomSource(nullptr);
        }
    });
    for (int i = 0; i < 4000; ++i) {
        const unsigned value = GetRandomJitterInSeconds(3999);
        ASSERT_LE(value, 3u);
        seen.insert(value);
    }
    replacer.join();
    SetRandomSource(nullptr);
    for (int i = 0; i < 4000; ++i) seen.insert(GetRandomJitterInSeconds(3999));
    // Missing one of four values in 4000 uniform draws has a probability below 1e-400.
    EXPECT_EQ(seen, (std::set<unsigned>{0, 1, 2, 3}));
    for (int i = 0; i < 1000; ++i) ASSERT_LE(GetRandomJitterInSeconds(UINT_MAX), UINT_MAX / 1000);
}

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

using ZEL::utility::GetIntervalInMilliseconds;

constexpr std::uint64_t kOneDay = 86400000;

TEST(Interval, ValidTextsConvertWithoutWarning) {
    const std::pair<const wchar_t*, std::uint64_t> cases[] = {
        {L"45s", 45000}, {L"15M", 900000}, {L"2h", 7200000}, {L"3D", 259200000}, {L"0s", 0}, {L"007m", 420000},
        {L"\t2h\r\n", 7200000}, {L"  PT15M ", 900000}, {L"P1DT2H", 93600000}, {L"PT1H30M", 5400000},
        {L"P1W2D", 777600000}, {L"P1DT1H1M1S", 90061000}, {L"p1dT2h", 93600000},
        // the largest values that fit, to the millisecond
        {L"18446744073709551s", 18446744073709551000u}, {L"213503982334d", 213503982334u * 86400000u}};
    testsupport::LogCapture capture;
    for (const auto& c : cases)
        EXPECT_EQ(GetIntervalInMilliseconds(c.first), c.second) << ZEL::String::UTF16ToUTF8(c.first);
    EXPECT_TRUE(capture.Lines().empty());
}

TEST(Interval, InvalidTextFallsBackToOneDayWithOneWarningNamingIt) {
    for (const wchar_t* text : {
             L"", L"15", L"-5m", L"1.5h", L"15m5s", L"\x0661\x0665m",             // suffix form
             L"P", L"P1DT", L"P1H", L"PT1D", L"PT1M1H", L"PT1H1H", L"PT0.5S",  // ISO form
             L"P1Y", L"P1M",  // years and months have no fixed length
             L"18446744073709551616s", L"18446744073709552s", L"213503982335d", L"PT1H18446744073709551S"}) {
        SCOPED_TRACE(ZEL::String::UTF16ToUTF8(text));
        testsupport::LogCapture capture;
        EXPECT_EQ(GetIntervalInMilliseconds(text), kOneDay);
        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].file, "host.log");
        EXPECT_EQ(lines[0].level, ZEL::LogLevel::Warning);
        EXPECT_NE(lines[0].text.find("[" + ZEL::String::UTF16ToUTF8(text) + "]"), std::string::npos)
            << lines[0].text;
    }
    testsupport::LogCapture capture;
    EXPECT_EQ(GetIntervalInMilliseconds(L"1\n5m"), kOneDay);
    ASSERT_EQ(capture.Lines().size(), 1u);
    EXPECT_EQ(capture.Lines()[0].text.find('\n'), std::string::npos) << "a line break stays out of the line";
}

TEST(FileExists, CountsRegularFilesAlsoThroughLinksAndNothingElse) {
    testsupport::TempDir temp;
    const std::string file = temp.path() + "Ger\xc3\xa4te.sqlite3";
    std::ofstream(file) << "x";
    std::ofstream(temp.path() + "empty");
    ASSERT_EQ(::symlink(file.c_str(), (temp.path() + "link-to-file").c_str()), 0);
    ASSERT_EQ(::symlink(temp.path().c_str(), (temp.path() + "link-to-folder").c_str()), 0);
    ASSERT_EQ(::symlink((temp.path() + "nowhere").c_str(), (temp.path() + "dangling").c_str()), 0);
    std::wstring withNul = ZEL::String::UTF8ToUTF16(file);
    withNul += std::wstring(1, L'\0') + L"suffix";  // must not be shortened to the file's path

    const std::pair<std::wstring, bool> cases[] = {
        {temp.wpath() + L"Ger\u00e4te.sqlite3", true}, {temp.wpath() + L"empty", true},
        {temp.wpath() + L"link-to-file", true},        {temp.wpath() + L"missing", false},
        {temp.wpath(), false},                         {temp.wpath() + L"link-to-folder", false},
        {temp.wpath() + L"dangling", false},           {L"/dev/null", false},
        {L"", false},                                  {withNul, false}};
    for (const auto& c : cases)
        EXPECT_EQ(ZEL::FileSystem::fileExists(c.first), c.second) << ZEL::String::UTF16ToUTF8(c.first);
}

}  // namespace
