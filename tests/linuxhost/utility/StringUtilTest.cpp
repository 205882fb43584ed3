// UTF-8 and wide text: ASCII runs, every encoded length, and broken input replaced, not dropped.
#include <gtest/gtest.h>

#include <string>

#include "datasync/host/StringUtil.h"

namespace {

using ZEL::String::UTF16ToUTF8;
using ZEL::String::UTF8ToUTF16;

TEST(StringUtil, TextConvertsBothWaysAndBrokenInputIsReplaced) {
    const struct {
        std::string utf8;
        std::wstring wide;
    } both[] = {{"", L""},
                {"plain ascii", L"plain ascii"},
                {"caf\xC3\xA9 \xE2\x82\xAC", L"caf\u00E9 \u20AC"},
                {"ascii first, then \xF0\x9F\x98\x80 and ascii again", L"ascii first, then \U0001F600 and ascii again"},
                {"\xC3\xA9 leads", L"\u00E9 leads"}};
    for (const auto& c : both) {
        EXPECT_EQ(UTF8ToUTF16(c.utf8), c.wide) << c.utf8;
        EXPECT_EQ(UTF16ToUTF8(c.wide), c.utf8) << c.utf8;
    }
    // A stray continuation byte and a cut sequence after ASCII; a lone surrogate in wide text.
    EXPECT_EQ(UTF8ToUTF16("ab\x80" "c"), L"ab\uFFFDc");
    EXPECT_EQ(UTF8ToUTF16("ab\xE2\x82"), L"ab\uFFFD");
    EXPECT_EQ(UTF16ToUTF8(std::wstring(L"ab") + static_cast<wchar_t>(0xD800)), "ab\xEF\xBF\xBD");
}

}  // namespace
