// The host's string helpers: UTF-8 <-> wide conversions exact for every code point and
// replacing every invalid sequence with U+FFFD without losing the valid text around it, and
// the ASCII-only case handling, trimming and splitting at their edges.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datasync/host/StringUtil.h"

namespace {

using ZEL::String::CaseInsesitiveEqual;
using ZEL::String::Split;
using ZEL::String::ToLower;
using ZEL::String::ToUpper;
using ZEL::String::trim;
using ZEL::String::UTF16ToUTF8;
using ZEL::String::UTF8ToUTF16;

constexpr wchar_t kReplacement = 0xFFFD;
const std::string kReplacementUtf8 = "\xef\xbf\xbd";

struct Encoding {
    char32_t codePoint;
    const char* utf8;
};

void PrintTo(const Encoding& e, std::ostream* out) {
    *out << "U+" << std::hex << static_cast<unsigned>(e.codePoint);
}

class Utf8Boundaries : public ::testing::TestWithParam<Encoding> {};

TEST_P(Utf8Boundaries, EncodeAndDecodeExactly) {
    const std::wstring wide(1, static_cast<wchar_t>(GetParam().codePoint));
    EXPECT_EQ(UTF16ToUTF8(wide), GetParam().utf8);
    EXPECT_EQ(UTF8ToUTF16(GetParam().utf8), wide);
}

INSTANTIATE_TEST_SUITE_P(LengthEdges, Utf8Boundaries,
                         ::testing::Values(Encoding{0x41, "A"}, Encoding{0x7F, "\x7f"},
                                           Encoding{0x80, "\xc2\x80"}, Encoding{0x7FF, "\xdf\xbf"},
                                           Encoding{0x800, "\xe0\xa0\x80"}, Encoding{0xD7FF, "\xed\x9f\xbf"},
                                           Encoding{0xE000, "\xee\x80\x80"}, Encoding{0xFFFD, "\xef\xbf\xbd"},
                                           Encoding{0xFFFF, "\xef\xbf\xbf"},
                                           Encoding{0x10000, "\xf0\x90\x80\x80"},
                                           Encoding{0x10FFFF, "\xf4\x8f\xbf\xbf"}));

TEST(Utf8RoundTrip, EveryScalarValueSurvivesBothWays) {
    std::wstring all;
    for (char32_t cp = 1; cp <= 0x10FFFF; ++cp) {
        if (cp < 0xD800 || cp > 0xDFFF) all.push_back(static_cast<wchar_t>(cp));
    }
    const std::string utf8 = UTF16ToUTF8(all);
    // 127 one-byte, 1920 two-byte, 61440 three-byte (without surrogates), 1048576 four-byte.
    EXPECT_EQ(utf8.size(), 127u + 1920u * 2 + 61440u * 3 + 1048576u * 4);
    EXPECT_EQ(UTF8ToUTF16(utf8), all);
}

TEST(Utf8RoundTrip, EmbeddedNulIsKept) {
    const std::wstring wide(L"a\0b", 3);
    EXPECT_EQ(UTF16ToUTF8(wide), std::string("a\0b", 3));
    EXPECT_EQ(UTF8ToUTF16(std::string("a\0b", 3)), wide);
}

TEST(Utf8RoundTrip, EmptyStaysEmpty) {
    EXPECT_EQ(UTF16ToUTF8(L""), "");
    EXPECT_EQ(UTF8ToUTF16(""), L"");
}

// An invalid piece between two valid letters: only replacement characters come out for it,
// and both letters survive.
class InvalidUtf8 : public ::testing::TestWithParam<const char*> {};

TEST_P(InvalidUtf8, BecomesReplacementCharactersBetweenIntactText) {
    const std::wstring decoded = UTF8ToUTF16(std::string("a") + GetParam() + "b");
    ASSERT_GE(decoded.size(), 3u);
    EXPECT_EQ(decoded.front(), L'a');
    EXPECT_EQ(decoded.back(), L'b');
    for (size_t i = 1; i + 1 < decoded.size(); ++i) EXPECT_EQ(decoded[i], kReplacement) << i;
}

INSTANTIATE_TEST_SUITE_P(Overlong, InvalidUtf8,
                         ::testing::Values("\xc0\xaf", "\xc1\xbf", "\xe0\x80\xaf", "\xe0\x9f\xbf",
                                           "\xf0\x80\x80\xaf", "\xf0\x8f\xbf\xbf"));
INSTANTIATE_TEST_SUITE_P(Truncated, InvalidUtf8,
                         ::testing::Values("\xc3", "\xe2\x82", "\xe2", "\xf0\x9f\x98", "\xf0\x9f", "\xf0"));
INSTANTIATE_TEST_SUITE_P(Surrogates, InvalidUtf8,
                         ::testing::Values("\xed\xa0\x80", "\xed\xbf\xbf", "\xed\xa0\xbd\xed\xb8\x80"));
INSTANTIATE_TEST_SUITE_P(OutOfRangeOrStray, InvalidUtf8,
                         ::testing::Values("\xf4\x90\x80\x80", "\xf7\xbf\xbf\xbf", "\xf8\x88\x80\x80\x80",
                                           "\xfe", "\xff", "\x80", "\xbf\x80"));

TEST(InvalidUtf8Sequences, TruncatedSequenceAtTheEndGivesOneReplacement) {
    EXPECT_EQ(UTF8ToUTF16("ok\xe2\x82"), std::wstring(L"ok") + kReplacement);
}

TEST(InvalidUtf8Sequences, ByteThatBreaksASequenceIsReadAgainAsItself) {
    // The 'A' and the complete euro sign after the broken starts must not be swallowed.
    EXPECT_EQ(UTF8ToUTF16("\xe2\x82"
                          "A"),
              std::wstring(1, kReplacement) + L"A");
    EXPECT_EQ(UTF8ToUTF16("\xf0\x9f"
                          "\xe2\x82\xac"),
              std::wstring(1, kReplacement) + L"\u20ac");
}

TEST(InvalidWideText, SurrogatesAndValuesPastUnicodeBecomeReplacement) {
    for (wchar_t c : {static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0xDFFF),
                      static_cast<wchar_t>(0x110000), static_cast<wchar_t>(-1)}) {
        EXPECT_EQ(UTF16ToUTF8(std::wstring(L"x") + c + L"y"), "x" + kReplacementUtf8 + "y")
            << static_cast<long>(c);
    }
}

TEST(CaseInsensitiveEqual, IgnoresAsciiLetterCase) {
    EXPECT_TRUE(CaseInsesitiveEqual(L"SendTelemetry", L"sendtelemetry"));
    EXPECT_TRUE(CaseInsesitiveEqual(L"", L""));
    EXPECT_FALSE(CaseInsesitiveEqual(L"abc", L"abcd"));
    EXPECT_FALSE(CaseInsesitiveEqual(L"abc", L"abd"));
}

TEST(CaseInsensitiveEqual, TreatsOnlyLettersAsCasePairs) {
    // Characters 0x20 apart that are not letters: a bit-twiddling fold would equate them.
    EXPECT_FALSE(CaseInsesitiveEqual(L"[", L"{"));
    EXPECT_FALSE(CaseInsesitiveEqual(L"@", L"`"));
    EXPECT_FALSE(CaseInsesitiveEqual(L"^", L"~"));
    EXPECT_FALSE(CaseInsesitiveEqual(L"1", L"\x11"));
}

TEST(CaseInsensitiveEqual, LeavesNonAsciiAlone) {
    EXPECT_FALSE(CaseInsesitiveEqual(L"\u00c4", L"\u00e4"));
    EXPECT_TRUE(CaseInsesitiveEqual(L"\u00c4x", L"\u00c4X"));
}

TEST(CaseConversion, ChangesAsciiLettersOnly) {
    EXPECT_EQ(ToLower(L"Hello, World! [Z] @A"), L"hello, world! [z] @a");
    EXPECT_EQ(ToUpper(L"hello, world! {z} `a"), L"HELLO, WORLD! {Z} `A");
    EXPECT_EQ(ToLower(L"\u00c4\u0130"), L"\u00c4\u0130");
    EXPECT_EQ(ToUpper(L"\u00e4\u00df"), L"\u00e4\u00df");
    EXPECT_EQ(ToLower(L""), L"");
}

TEST(Trim, RemovesBlanksAtBothEndsOnly) {
    std::wstring text = L" \t\r\n a b \n\t ";
    EXPECT_EQ(trim(text), L"a b");
    EXPECT_EQ(text, L"a b");
}

TEST(Trim, ReturnsTheSameObject) {
    std::wstring text = L"  x ";
    EXPECT_EQ(&trim(text), &text);
}

TEST(Trim, AllBlankOrEmptyBecomesEmpty) {
    std::wstring blanks = L" \t \r\n";
    EXPECT_EQ(trim(blanks), L"");
    std::wstring empty;
    EXPECT_EQ(trim(empty), L"");
}

TEST(Trim, UsesTheGivenCharacters) {
    std::wstring quoted = L"\"'name'\"";
    EXPECT_EQ(trim(quoted, L"\"'"), L"name");
    std::wstring unchanged = L" x ";
    EXPECT_EQ(trim(unchanged, L""), L" x ");
    std::wstring single = L"x";
    EXPECT_EQ(trim(single, L"x"), L"");
}

TEST(Split, KeepsEmptyPieces) {
    EXPECT_EQ(Split(L"a,,b", L","), (std::vector<std::wstring>{L"a", L"", L"b"}));
    EXPECT_EQ(Split(L",", L","), (std::vector<std::wstring>{L"", L""}));
    EXPECT_EQ(Split(L"", L","), (std::vector<std::wstring>{L""}));
    EXPECT_EQ(Split(L"a,", L","), (std::vector<std::wstring>{L"a", L""}));
}

TEST(Split, TextWithoutSeparatorIsOnePiece) {
    EXPECT_EQ(Split(L"abc", L","), (std::vector<std::wstring>{L"abc"}));
    EXPECT_EQ(Split(L"ab", L"abc"), (std::vector<std::wstring>{L"ab"}));
}

TEST(Split, MultiCharacterSeparatorsDoNotOverlap) {
    EXPECT_EQ(Split(L"a::b::", L"::"), (std::vector<std::wstring>{L"a", L"b", L""}));
    EXPECT_EQ(Split(L"aaa", L"aa"), (std::vector<std::wstring>{L"", L"a"}));
}

TEST(Split, EmptySeparatorGivesTheWholeText) {
    EXPECT_EQ(Split(L"a,b", L""), (std::vector<std::wstring>{L"a,b"}));
}

}  // namespace
