// Parsing a dataset's endpoint-family list: the comma is the only separator, each name is
// trimmed and compared ignoring case, unknown names are ignored.
#include <gtest/gtest.h>

#include <string>

#include "datasync/config/SyncEP.h"

namespace {

struct Expected {
    const wchar_t* text;
    bool kta;
    bool navs;
    bool navp;
};

void ExpectFamilies(const Expected& expected) {
    const SyncEP parsed(expected.text);
    SCOPED_TRACE(testing::Message() << "syncEPs \"" << std::wstring(expected.text) << "\"");
    EXPECT_EQ(parsed.isKTAEnabled(), expected.kta);
    EXPECT_EQ(parsed.isNAVSEnabled(), expected.navs);
    EXPECT_EQ(parsed.isNAVPEnabled(), expected.navp);
    EXPECT_EQ(parsed.IsEnabled(SyncEP::SyncEP_KTA), expected.kta);
    EXPECT_EQ(parsed.IsEnabled(SyncEP::SyncEP_NAVS), expected.navs);
    EXPECT_EQ(parsed.IsEnabled(SyncEP::SyncEP_NAVP), expected.navp);
    EXPECT_EQ(parsed.isValid(), expected.kta || expected.navs || expected.navp);
    EXPECT_EQ(parsed.isKTAOnlyEnabled(), expected.kta && !expected.navs && !expected.navp);
    EXPECT_EQ(parsed.isNAVSOnlyEnabled(), expected.navs && !expected.kta && !expected.navp);
    EXPECT_EQ(parsed.isNAVPOnlyEnabled(), expected.navp && !expected.kta && !expected.navs);
}

TEST(SyncEPParsing, CommaSeparatedNamesAreTrimmedAndMatchedInAnyCase) {
    const Expected cases[] = {
        {L"KTA", true, false, false},
        {L"kta , NAVS", true, true, false},
        {L"\tnavp\t", false, false, true},
        {L" Kta,\tnAvS ,  NaVp ", true, true, true},
        {L"NAVS,NAVS", false, true, false},
        {L",,NAVP,", false, false, true},
        {L"\r\nKTA\r\n", true, false, false},
    };
    for (const Expected& expected : cases) ExpectFamilies(expected);
}

TEST(SyncEPParsing, OtherSeparatorsAndUnknownNamesEnableNothing) {
    const Expected cases[] = {
        {L"KTA;NAVS", false, false, false},
        {L"KTA NAVS", false, false, false},
        {L"KTA|NAVP", false, false, false},
        {L"K TA", false, false, false},
        {L"KTAX", false, false, false},
        {L"NAV", false, false, false},
        {L"KTA,CUSTOM,navs", true, true, false},
        {L"CUSTOM", false, false, false},
    };
    for (const Expected& expected : cases) ExpectFamilies(expected);
}

TEST(SyncEPParsing, EmptyOrBlankTextEnablesNothing) {
    const Expected cases[] = {
        {L"", false, false, false},
        {L" \t ", false, false, false},
        {L",", false, false, false},
    };
    for (const Expected& expected : cases) ExpectFamilies(expected);
}

TEST(SyncEPParsing, KeepsTheTextItWasGivenAndCopiesCarryTheFamilies) {
    const SyncEP original(L" kta ,NAVP");
    EXPECT_EQ(original.SyncEPs(), L" kta ,NAVP");
    SyncEP copy(L"NAVS");
    copy = original;
    EXPECT_TRUE(copy.isKTAEnabled());
    EXPECT_FALSE(copy.isNAVSEnabled());
    EXPECT_TRUE(copy.isNAVPEnabled());
}

}  // namespace
