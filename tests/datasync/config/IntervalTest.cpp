#include <gtest/gtest.h>

#include "datasync/common/StringUtil.h"
#include "datasync/config/Interval.h"
#include "support/LogCapture.h"

namespace {

using testsupport::LogCapture;
using ZEL::String::UTF16ToUTF8;

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

}  // namespace
