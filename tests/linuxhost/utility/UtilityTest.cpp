// The host utilities: retry delays and jitter, clocks, time texts read back in every zone, frequency texts, fileExists.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <set>

#include "datasync/common/StringUtil.h"
#include "datasync/host/Utility.h"
#include "support/LogCapture.h"
#include "support/ManualClock.h"
#include "support/ScopedTimeZone.h"
#include "support/TempDir.h"

namespace {

using namespace testsupport;
using ZEL::ApiUtility::GetRandomJitterInSeconds;
using ZEL::ApiUtility::SetRandomSource;
using ZEL::DateTimeUtility::GetGmtTimeStamp;
using ZEL::String::UTF16ToUTF8;

TEST(SleepDuration, IsStartTimesTwoToTheCountCappedInMillis) {
    const struct { int count, startSeconds, capSeconds; std::int64_t millis; } cases[] = {
                 {0, 2, 60, 2000}, {4, 2, 60, 32000}, {5, 2, 64, 64000} /* exactly the cap */, {5, 2, 60, 60000},
                 {0, 100, 60, 60000},  // start above the cap
                 // counts at and past the width of the intermediate values give the cap, not a wrapped value
                 {30, 1, INT_MAX, (std::int64_t{1} << 30) * 1000}, {31, INT_MAX, INT_MAX, std::int64_t{INT_MAX} * 1000},
                 {32, 1, 600, 600000}, {INT_MAX, 1, 100, 100000},
                 {INT_MIN, 2, 60, 2000}, {3, -2, 60, 0}, {3, 2, -60, 0}};  // negative count, start, cap
    for (const auto& c : cases)
        EXPECT_EQ(ZEL::ApiUtility::GetSleepDurationInMillis(c.count, c.startSeconds, c.capSeconds), c.millis)
            << c.count << " " << c.startSeconds << " " << c.capSeconds;
}

struct Jitter : ::testing::Test {
    void TearDown() override { SetRandomSource(nullptr); }
};

TEST_F(Jitter, AsksTheInstalledSourceForWholeSecondsOfTheSpanAndClampsItsAnswer) {
    std::vector<std::pair<unsigned, unsigned>> asked;
    SetRandomSource([&asked](unsigned lo, unsigned hi) { return asked.emplace_back(lo, hi), hi + 7; });
    EXPECT_EQ(GetRandomJitterInSeconds(5999), 5u);
    EXPECT_EQ(GetRandomJitterInSeconds(999), 0u);
    EXPECT_EQ(GetRandomJitterInSeconds(UINT_MAX), UINT_MAX / 1000);
    EXPECT_EQ(asked, (std::vector<std::pair<unsigned, unsigned>>{{0, 5}, {0, 0}, {0, UINT_MAX / 1000}}));
    SetRandomSource([](unsigned, unsigned) { return 3u; });
    EXPECT_EQ(GetRandomJitterInSeconds(10000), 3u);
}

TEST_F(Jitter, DefaultGeneratorCoversTheWholeSpanAndNoMore) {
    SetRandomSource([](unsigned, unsigned) { return 0u; });
    SetRandomSource(nullptr);  // back to the default
    std::set<unsigned> seen;
    for (int i = 0; i < 4000; ++i) seen.insert(GetRandomJitterInSeconds(3999));
    // Missing one of four values in 4000 uniform draws has a probability below 1e-400.
    EXPECT_EQ(seen, (std::set<unsigned>{0, 1, 2, 3}));
    for (int i = 0; i < 1000; ++i) ASSERT_LE(GetRandomJitterInSeconds(UINT_MAX), UINT_MAX / 1000);
}

constexpr std::int64_t k2026Dec06T10Z = 1796551200;  // 2026-12-06T10:00:00Z
constexpr std::int64_t k2026Jul01T10Z = 1782900000;  // 2026-07-01T10:00:00Z
constexpr std::int64_t k2026Jan15T11Z = 1768474800;  // 2026-01-15T11:00:00Z

TEST(CurrentDatetime, IsTheInstalledClockInWholeSecondsWhateverTheZone) {
    ManualClock clock(FromUnixMillis(k2026Dec06T10Z * 1000 + 999));
    for (const char* zone : {kZoneUtc, kZoneNepal}) {
        ScopedTimeZone tz(zone);
        EXPECT_EQ(ZEL::DateTimeUtility::GetCurrentDatetime(), k2026Dec06T10Z) << zone;
        EXPECT_EQ(ZEL::DateTimeUtility::GetCurrentGmtDatetime(), k2026Dec06T10Z) << zone;
    }
    clock.SetWall(FromUnixMillis(-1500));
    EXPECT_EQ(ZEL::DateTimeUtility::GetCurrentDatetime(), -2);  // rounds down before the epoch
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

// A text without a zone is local time with daylight time by date; anything malformed gives -1.
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

TEST(Interval, ValidTextsConvertAndInvalidOnesFallBackToOneDayWithOneWarningNamingThem) {
    using ZEL::utility::GetIntervalInMilliseconds;
    const std::pair<const wchar_t*, std::uint64_t> cases[] = {
        {L"45s", 45000}, {L"15M", 900000}, {L"2h", 7200000}, {L"3D", 259200000}, {L"0s", 0}, {L"007m", 420000},
        {L"\t2h\r\n", 7200000}, {L"  PT15M ", 900000}, {L"P1DT2H", 93600000}, {L"PT1H30M", 5400000},
        {L"P1W2D", 777600000}, {L"P1DT1H1M1S", 90061000}, {L"p1dT2h", 93600000},
        // the largest values that fit, to the millisecond
        {L"18446744073709551s", 18446744073709551000u}, {L"213503982334d", 213503982334u * 86400000u}};
    LogCapture capture;
    for (const auto& c : cases) EXPECT_EQ(GetIntervalInMilliseconds(c.first), c.second) << UTF16ToUTF8(c.first);
    EXPECT_TRUE(capture.Lines().empty());
    for (const wchar_t* text : {L"", L"15", L"-5m", L"1.5h", L"15m5s", L"\x0661\x0665m",  // suffix form
                                L"P", L"P1DT", L"P1H", L"PT1D", L"PT1M1H", L"PT1H1H", L"PT0.5S",  // ISO form
                                L"P1Y", L"P1M",  // years and months have no fixed length
                                L"18446744073709551616s", L"18446744073709552s", L"213503982335d",
                                L"PT1H18446744073709551S"}) {
        capture.Clear();
        EXPECT_EQ(GetIntervalInMilliseconds(text), 86400000u) << UTF16ToUTF8(text);
        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(std::make_pair(lines[0].file, lines[0].level), std::make_pair(std::string("host.log"), ZEL::LogLevel::Warning));
        EXPECT_NE(lines[0].text.find("[" + UTF16ToUTF8(text) + "]"), std::string::npos) << lines[0].text;
    }
    capture.Clear();
    EXPECT_EQ(GetIntervalInMilliseconds(L"1\n5m"), 86400000u);
    EXPECT_EQ(capture.Lines().at(0).text.find('\n'), std::string::npos) << "a line break stays out of the line";
}

TEST(FileExists, CountsRegularFilesAlsoThroughLinksAndNothingElse) {
    TempDir temp;
    std::ofstream(temp.path() + "Ger\xc3\xa4te.sqlite3") << "x";
    std::ofstream(temp.path() + "empty");
    for (const auto& [target, link] : {std::pair{temp.path() + "empty", "link-to-file"}, {temp.path(), "link-to-folder"},
                                       {temp.path() + "nowhere", "dangling"}})
        ASSERT_EQ(::symlink(target.c_str(), (temp.path() + link).c_str()), 0);
    const std::pair<std::wstring, bool> cases[] = {
        {L"Ger\u00e4te.sqlite3", true}, {L"empty", true}, {L"link-to-file", true}, {L"missing", false}, {L"", false},
        {L"link-to-folder", false}, {L"dangling", false}};
    for (const auto& c : cases) EXPECT_EQ(ZEL::FileSystem::fileExists(temp.wpath() + c.first), c.second) << UTF16ToUTF8(c.first);
    EXPECT_FALSE(ZEL::FileSystem::fileExists(L"/dev/null"));
}

}  // namespace
