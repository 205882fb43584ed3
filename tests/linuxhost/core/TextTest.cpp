// The host's text helpers: UTF-8 <-> wide conversions exact for every code point and replacing
// every invalid sequence with U+FFFD without losing the valid text around it; ASCII-only case
// handling, trimming and splitting at their edges; local time texts with the zone's own offset;
// and the retention delete statement, which refuses table names that are not plain identifiers.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "datasync/host/StringUtil.h"
#include "datasync/host/Utility.h"
#include "support/ScopedTimeZone.h"
#include "support/TextShape.h"

namespace {

using ZEL::String::CaseInsesitiveEqual;
using ZEL::String::Split;
using ZEL::String::UTF16ToUTF8;
using ZEL::String::UTF8ToUTF16;
using Pieces = std::vector<std::wstring>;

constexpr wchar_t kReplacement = 0xFFFD;

TEST(Utf8, EveryScalarValueSurvivesBothWaysWithExactLengthEdges) {
    const std::pair<wchar_t, const char*> edges[] = {
        {0x7F, "\x7f"}, {0x80, "\xc2\x80"}, {0x800, "\xe0\xa0\x80"}, {0x10000, "\xf0\x90\x80\x80"}};
    for (const auto& [codePoint, utf8] : edges) {
        EXPECT_EQ(UTF16ToUTF8(std::wstring(1, codePoint)), utf8) << codePoint;
        EXPECT_EQ(UTF8ToUTF16(utf8), std::wstring(1, codePoint)) << codePoint;
    }
    EXPECT_EQ(UTF8ToUTF16(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));  // embedded NUL kept
    std::wstring all;
    for (char32_t cp = 1; cp <= 0x10FFFF; ++cp) {
        if (cp < 0xD800 || cp > 0xDFFF) all.push_back(static_cast<wchar_t>(cp));
    }
    const std::string utf8 = UTF16ToUTF8(all);
    // 127 one-byte, 1920 two-byte, 61440 three-byte (without surrogates), 1048576 four-byte.
    EXPECT_EQ(utf8.size(), 127u + 1920u * 2 + 61440u * 3 + 1048576u * 4);
    EXPECT_EQ(UTF8ToUTF16(utf8), all);
}

// An invalid piece between two valid letters: only replacement characters come out for it,
// and both letters survive.
TEST(Utf8, InvalidSequencesBecomeReplacementCharactersBetweenIntactText) {
    const char* invalid[] = {"\xc0\xaf", "\xf0\x8f\xbf\xbf",  // overlong
                             "\xf0\x9f\x98",                   // truncated
                             "\xed\xa0\x80",                   // a surrogate
                             "\xf4\x90\x80\x80", "\xff", "\x80"};  // out of range, stray
    for (const char* piece : invalid) {
        const std::wstring decoded = UTF8ToUTF16(std::string("a") + piece + "b");
        ASSERT_GE(decoded.size(), 3u);
        EXPECT_EQ(decoded.front(), L'a');
        EXPECT_EQ(decoded.back(), L'b');
        for (size_t i = 1; i + 1 < decoded.size(); ++i) EXPECT_EQ(decoded[i], kReplacement) << i;
    }
    EXPECT_EQ(UTF8ToUTF16("ok\xe2\x82"), std::wstring(L"ok") + kReplacement);
    // The byte that breaks a sequence is read again as itself: the 'A' and the euro sign survive.
    EXPECT_EQ(UTF8ToUTF16("\xe2\x82" "A"), std::wstring(1, kReplacement) + L"A");
    EXPECT_EQ(UTF8ToUTF16("\xf0\x9f" "\xe2\x82\xac"), std::wstring(1, kReplacement) + L"\u20ac");
}

TEST(CaseHandling, OnlyAsciiLettersFormCasePairs) {
    EXPECT_TRUE(CaseInsesitiveEqual(L"SendTelemetry", L"sendtelemetry"));
    EXPECT_FALSE(CaseInsesitiveEqual(L"abc", L"abcd"));
    // Characters 0x20 apart that are not letters: a bit-twiddling fold would equate them.
    for (const wchar_t* pair : {L"[{", L"@`", L"^~", L"1\x11", L"\u00c4\u00e4"})
        EXPECT_FALSE(CaseInsesitiveEqual(std::wstring(1, pair[0]), std::wstring(1, pair[1]))) << pair[0];
    EXPECT_EQ(ZEL::String::ToLower(L"Hello, World! [Z] @A \u00c4\u0130"), L"hello, world! [z] @a \u00c4\u0130");
    EXPECT_EQ(ZEL::String::ToUpper(L"hello, world! {z} `a \u00e4\u00df"), L"HELLO, WORLD! {Z} `A \u00e4\u00df");
}

// trim works in place; Split keeps empty pieces and never lets two separators overlap.
TEST(TrimAndSplit, TrimsBothEndsAndSplitsAtEverySeparator) {
    std::wstring text = L" \t\r\n a b \n\t ", blanks = L" \t \r\n", quoted = L"\"'name'\"";
    EXPECT_EQ(&ZEL::String::trim(text), &text);
    EXPECT_EQ(text, L"a b");
    EXPECT_EQ(ZEL::String::trim(blanks), L"");
    EXPECT_EQ(ZEL::String::trim(quoted, L"\"'"), L"name");
    EXPECT_EQ(Split(L"a,,b", L","), (Pieces{L"a", L"", L"b"}));
    EXPECT_EQ(Split(L",", L","), (Pieces{L"", L""}));
    EXPECT_EQ(Split(L"a::b::", L"::"), (Pieces{L"a", L"b", L""}));
    EXPECT_EQ(Split(L"aaa", L"aa"), (Pieces{L"", L"a"}));
}

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
