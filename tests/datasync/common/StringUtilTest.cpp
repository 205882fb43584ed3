#include <gtest/gtest.h>

#include "datasync/common/StringUtil.h"

namespace {

using namespace ZEL::String;
using Pieces = std::vector<std::wstring>;
constexpr wchar_t kReplacement = 0xFFFD;

// The exact total length pins each encoding width to its range; the round trip pins the bits.
TEST(Utf8, EveryScalarValueSurvivesBothWaysAtItsExactLength) {
    EXPECT_EQ(UTF8ToUTF16(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));  // embedded NUL kept
    EXPECT_EQ(UTF16ToUTF8({static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000)}), "\xef\xbf\xbd\xef\xbf\xbd");
    std::wstring all;
    for (char32_t cp = 1; cp <= 0x10FFFF; ++cp)
        if (cp < 0xD800 || cp > 0xDFFF) all.push_back(static_cast<wchar_t>(cp));
    const std::string utf8 = UTF16ToUTF8(all);
    // 127 one-byte, 1920 two-byte, 61440 three-byte (without surrogates), 1048576 four-byte.
    EXPECT_EQ(utf8.size(), 127u + 1920u * 2 + 61440u * 3 + 1048576u * 4);
    EXPECT_EQ(UTF8ToUTF16(utf8), all);
}

TEST(Utf8, InvalidSequencesBecomeReplacementCharactersBetweenIntactText) {
    for (const char* piece : {"\xc0\xaf", "\xf0\x8f\xbf\xbf", "\xf0\x9f\x98", "\xed\xa0\x80",  // overlong,
                              "\xf4\x90\x80\x80", "\xff", "\x80"}) {  // truncated, surrogate, range, stray
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

// Case folds ASCII letters only; trim works in place; Split keeps empty pieces, separators never overlap.
TEST(TextHelpers, CaseTrimAndSplitAtTheirEdges) {
    EXPECT_TRUE(CaseInsesitiveEqual(L"SendTelemetry", L"sendtelemetry"));
    EXPECT_FALSE(CaseInsesitiveEqual(L"abc", L"abcd"));
    // Characters 0x20 apart that are not letters: a bit-twiddling fold would equate them.
    for (const wchar_t* pair : {L"[{", L"@`", L"^~", L"1\x11", L"\u00c4\u00e4"})
        EXPECT_FALSE(CaseInsesitiveEqual(std::wstring(1, pair[0]), std::wstring(1, pair[1]))) << pair[0];
    EXPECT_EQ(ToLower(L"Hello, World! [Z] @A \u00c4\u0130"), L"hello, world! [z] @a \u00c4\u0130");
    EXPECT_EQ(ToUpper(L"hello, world! {z} `a \u00e4\u00df"), L"HELLO, WORLD! {Z} `A \u00e4\u00df");
    std::wstring text = L" \t\r\n a b \n\t ", blanks = L" \t \r\n", quoted = L"\"'name'\"";
    EXPECT_EQ(&trim(text), &text);  // in place
    EXPECT_EQ(text, L"a b");
    EXPECT_EQ(trim(blanks), L"");
    EXPECT_EQ(trim(quoted, L"\"'"), L"name");
    EXPECT_EQ(Split(L"a,,b", L","), (Pieces{L"a", L"", L"b"}));
    EXPECT_EQ(Split(L",", L","), (Pieces{L"", L""}));
    EXPECT_EQ(Split(L"a::b::", L"::"), (Pieces{L"a", L"b", L""}));
    EXPECT_EQ(Split(L"aaa", L"aa"), (Pieces{L"", L"a"}));
}

}  // namespace
