// Parsing a dataset's endpoint-family list: the comma is the only separator, each name is
// trimmed and compared ignoring case, unknown names are ignored.
#include <gtest/gtest.h>

#include <string>

#include "datasync/config/SyncEP.h"

namespace {

TEST(SyncEPParsing, CommaSeparatedNamesAreTrimmedAndMatchedInAnyCase) {
    const struct { const wchar_t* text; bool kta, navs, navp; } cases[] = {
        {L" Kta,\tnAvS ,  NaVp ", true, true, true}, {L",,NAVP,", false, false, true},
        {L"\r\nKTA\r\n", true, false, false},        {L"KTA,CUSTOM,navs", true, true, false},
        {L"KTA;NAVS", false, false, false},          {L"KTA NAVS", false, false, false},
        {L"KTAX", false, false, false},              {L" \t ", false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "syncEPs \"" << std::wstring(c.text) << "\"");
        const SyncEP parsed(c.text);
        EXPECT_EQ(parsed.IsEnabled(SyncEP::SyncEP_KTA), c.kta);
        EXPECT_EQ(parsed.isNAVSEnabled(), c.navs);
        EXPECT_EQ(parsed.isNAVPEnabled(), c.navp);
    }
}

}  // namespace
