// Frequency texts to milliseconds: the "<n><unit>" form in any case, ISO-8601 durations with
// fixed-length components, and the one-day fallback with exactly one warning in host.log for
// everything else (malformed texts, calendar units, values past 64-bit milliseconds).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "datasync/host/Utility.h"
#include "support/LogCapture.h"

namespace {

using ZEL::utility::GetIntervalInMilliseconds;

constexpr std::uint64_t kOneDay = 86400000;

struct Case {
    const wchar_t* text;
    std::uint64_t milliseconds;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << ZEL::String::UTF16ToUTF8(c.text);
}

class ValidInterval : public ::testing::TestWithParam<Case> {
protected:
    testsupport::LogCapture capture;
};

TEST_P(ValidInterval, ConvertsWithoutWarning) {
    EXPECT_EQ(GetIntervalInMilliseconds(GetParam().text), GetParam().milliseconds);
    EXPECT_TRUE(capture.Lines().empty()) << capture.Lines().front().text;
}

INSTANTIATE_TEST_SUITE_P(SuffixForm, ValidInterval,
                         ::testing::Values(Case{L"45s", 45000}, Case{L"15m", 900000}, Case{L"2h", 7200000},
                                           Case{L"3d", 259200000}, Case{L"0s", 0}, Case{L"007m", 420000},
                                           Case{L"1440m", kOneDay}));

INSTANTIATE_TEST_SUITE_P(SuffixFormAnyCase, ValidInterval,
                         ::testing::Values(Case{L"45S", 45000}, Case{L"15M", 900000}, Case{L"2H", 7200000},
                                           Case{L"3D", 259200000}));

INSTANTIATE_TEST_SUITE_P(SurroundingBlanks, ValidInterval,
                         ::testing::Values(Case{L" 15m", 900000}, Case{L"15m  ", 900000},
                                           Case{L"\t2h\r\n", 7200000}, Case{L"  PT15M ", 900000}));

INSTANTIATE_TEST_SUITE_P(IsoDuration, ValidInterval,
                         ::testing::Values(Case{L"PT15M", 900000}, Case{L"P1D", kOneDay},
                                           Case{L"P1DT2H", 93600000}, Case{L"PT1H30M", 5400000},
                                           Case{L"PT45S", 45000}, Case{L"P2W", 1209600000},
                                           Case{L"P1W2D", 777600000}, Case{L"P1DT1H1M1S", 90061000},
                                           Case{L"PT0S", 0}, Case{L"pt15m", 900000},
                                           Case{L"p1dT2h", 93600000}));

// The largest value that fits, to the millisecond: 18446744073709551 s = 2^64 - 1 - 615 ms.
INSTANTIATE_TEST_SUITE_P(LargestValues, ValidInterval,
                         ::testing::Values(Case{L"18446744073709551s", 18446744073709551000u},
                                           Case{L"PT18446744073709551S", 18446744073709551000u},
                                           Case{L"213503982334d", 213503982334u * 86400000u}));

class InvalidInterval : public ::testing::TestWithParam<const wchar_t*> {
protected:
    testsupport::LogCapture capture;
};

TEST_P(InvalidInterval, FallsBackToOneDayWithOneWarningNamingTheText) {
    EXPECT_EQ(GetIntervalInMilliseconds(GetParam()), kOneDay);
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].file, "host.log");
    EXPECT_EQ(lines[0].level, ZEL::LogLevel::Warning);
    EXPECT_NE(lines[0].text.find("[" + ZEL::String::UTF16ToUTF8(GetParam()) + "]"), std::string::npos)
        << lines[0].text;
}

INSTANTIATE_TEST_SUITE_P(Empty, InvalidInterval, ::testing::Values(L"", L"   "));

INSTANTIATE_TEST_SUITE_P(MalformedSuffixForm, InvalidInterval,
                         ::testing::Values(L"15", L"m", L"15x", L"-5m", L"+5m", L"1.5h", L"15 m", L"15mm",
                                           L"15m5s", L"five m", L"1,5h", L"15ms", L"0x10s",
                                           L"\x0661\x0665m" /* Arabic-Indic digits */));

INSTANTIATE_TEST_SUITE_P(MalformedIsoDuration, InvalidInterval,
                         ::testing::Values(L"P", L"PT", L"P1DT", L"T1H", L"1P", L"P1H", L"PT1D", L"PT1W",
                                           L"PT1M1H", L"PT1H1H", L"P1D2W", L"PTT1H", L"P-1D", L"PT0.5S",
                                           L"PT15M junk", L"P 1D", L"PT15"));

// Years and months have no fixed length.
INSTANTIATE_TEST_SUITE_P(CalendarUnits, InvalidInterval, ::testing::Values(L"P1Y", L"P1M", L"P1Y2M3D"));

INSTANTIATE_TEST_SUITE_P(Overflow, InvalidInterval,
                         ::testing::Values(L"18446744073709551616s",  // the count itself past 2^64
                                           L"18446744073709552s",     // count * 1000 past 2^64
                                           L"213503982335d",          // count * 86 400 000 past 2^64
                                           L"P99999999999999999999D",
                                           L"PT1H18446744073709551S"  // the sum of fitting parts past 2^64
                                           ));

TEST(IntervalWarning, KeepsALineBreakInTheTextOutOfTheLine) {
    testsupport::LogCapture capture;
    EXPECT_EQ(GetIntervalInMilliseconds(L"1\n5m"), kOneDay);
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text.find('\n'), std::string::npos) << lines[0].text;
}

TEST(IntervalWarning, IsWrittenForEachInvalidText) {
    testsupport::LogCapture capture;
    GetIntervalInMilliseconds(L"bad-one");
    GetIntervalInMilliseconds(L"15m");
    GetIntervalInMilliseconds(L"bad-two");
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].text.find("bad-one"), std::string::npos);
    EXPECT_NE(lines[1].text.find("bad-two"), std::string::npos);
}

}  // namespace
