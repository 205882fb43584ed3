#include <gtest/gtest.h>

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
        const SyncEP parsed(c.text);
        EXPECT_EQ(std::tuple(parsed.IsEnabled(SyncEP::SyncEP_KTA), parsed.isNAVSEnabled(), parsed.isNAVPEnabled()),
                  std::tuple(c.kta, c.navs, c.navp)) << "syncEPs \"" << std::wstring(c.text) << "\"";
    }
}

}  // namespace
