// Fault rules: the syntax (what is accepted, and that every mistake is reported with the rule
// and the reason), the order in which rules apply, counted rules running out, and replacement
// of the whole set.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datasync-collector/FaultRules.h"

namespace {

using collector::Fault;
using collector::FaultRule;
using collector::FaultRules;
using testing::ElementsAre;
using testing::HasSubstr;

FaultRule Parsed(const std::string& text) {
    FaultRule rule;
    std::string error;
    EXPECT_TRUE(FaultRules::Parse(text, rule, error)) << text << ": " << error;
    return rule;
}

std::string ParseError(const std::string& text) {
    FaultRule rule;
    std::string error;
    EXPECT_FALSE(FaultRules::Parse(text, rule, error)) << text << " was accepted";
    return error;
}

TEST(FaultRuleSyntax, StatusAloneAppliesUntilReplaced) {
    const FaultRule rule = Parsed("navs=429");
    EXPECT_EQ(rule.family, "navs");
    EXPECT_EQ(rule.status, 429);
    EXPECT_EQ(rule.remaining, -1);
    EXPECT_FALSE(rule.deviceMissing);
    EXPECT_EQ(rule.delayMs, 0);
}

TEST(FaultRuleSyntax, CountDeviceMissingAndDelayAreRead) {
    const FaultRule rule = Parsed("kta=403x3:devicemissing:delay=250");
    EXPECT_EQ(rule.family, "kta");
    EXPECT_EQ(rule.status, 403);
    EXPECT_EQ(rule.remaining, 3);
    EXPECT_TRUE(rule.deviceMissing);
    EXPECT_EQ(rule.delayMs, 250);
}

TEST(FaultRuleSyntax, OptionsInAnyOrderAndAnyCase) {
    const FaultRule rule = Parsed(" ALL=500X1:Delay=10:DeviceMissing ");
    EXPECT_EQ(rule.family, "all");
    EXPECT_EQ(rule.remaining, 1);
    EXPECT_TRUE(rule.deviceMissing);
    EXPECT_EQ(rule.delayMs, 10);
}

TEST(FaultRuleSyntax, CanonicalTextRoundTrips) {
    for (const std::string text : {"kta=503x2", "navs=429", "navp=200:delay=3000", "all=403x1:devicemissing"}) {
        EXPECT_EQ(Parsed(text).Text(), text);
    }
}

TEST(FaultRuleSyntax, MistakesNameTheRuleAndTheProblem) {
    EXPECT_THAT(ParseError("kta503"), HasSubstr("missing '='"));
    EXPECT_THAT(ParseError("ktx=503"), HasSubstr("unknown family \"ktx\""));
    EXPECT_THAT(ParseError("kta="), HasSubstr("STATUS must be a number from 200 to 599"));
    EXPECT_THAT(ParseError("kta=5O3"), HasSubstr("STATUS"));
    EXPECT_THAT(ParseError("kta=99"), HasSubstr("STATUS"));
    EXPECT_THAT(ParseError("kta=600"), HasSubstr("STATUS"));
    EXPECT_THAT(ParseError("kta=503x"), HasSubstr("COUNT"));
    EXPECT_THAT(ParseError("kta=503x0"), HasSubstr("COUNT"));
    EXPECT_THAT(ParseError("kta=503x-1"), HasSubstr("COUNT"));
    EXPECT_THAT(ParseError("kta=200:delay="), HasSubstr("delay"));
    EXPECT_THAT(ParseError("kta=200:delay=600001"), HasSubstr("delay"));
    EXPECT_THAT(ParseError("kta=200:slow"), HasSubstr("unknown option \"slow\""));
    EXPECT_THAT(ParseError("kta=200:delay=5x"), HasSubstr("\"kta=200:delay=5x\""));
    EXPECT_THAT(ParseError(""), HasSubstr("FAMILY=STATUS"));
}

TEST(FaultRuleUse, NoRulesMeansNoFault) {
    FaultRules rules;
    EXPECT_FALSE(rules.Take("kta").has_value());
}

TEST(FaultRuleUse, CountedRuleRunsOutAfterItsRequests) {
    FaultRules rules;
    std::string error;
    ASSERT_TRUE(rules.Replace({"kta=503x2"}, error)) << error;
    ASSERT_TRUE(rules.Take("kta").has_value());
    EXPECT_THAT(rules.Describe(), ElementsAre("kta=503x1"));
    const auto second = rules.Take("kta");
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->status, 503);
    EXPECT_TRUE(rules.Describe().empty());
    EXPECT_FALSE(rules.Take("kta").has_value());
}

TEST(FaultRuleUse, UncountedRuleNeverRunsOut) {
    FaultRules rules;
    std::string error;
    ASSERT_TRUE(rules.Replace({"navs=429"}, error));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(rules.Take("navs")->status, 429);
    EXPECT_THAT(rules.Describe(), ElementsAre("navs=429"));
}

TEST(FaultRuleUse, OnlyMatchingFamiliesAreAffected) {
    FaultRules rules;
    std::string error;
    ASSERT_TRUE(rules.Replace({"kta=503x1"}, error));
    EXPECT_FALSE(rules.Take("navs").has_value());
    EXPECT_FALSE(rules.Take("navp").has_value());
    EXPECT_EQ(rules.Take("kta")->status, 503);
}

TEST(FaultRuleUse, FirstMatchingRuleAppliesAndAllMatchesEveryFamily) {
    FaultRules rules;
    std::string error;
    ASSERT_TRUE(rules.Replace({"kta=503x1", "all=500x2", "kta=429"}, error));
    EXPECT_EQ(rules.Take("kta")->status, 503);
    EXPECT_EQ(rules.Take("kta")->status, 500);
    EXPECT_EQ(rules.Take("navp")->status, 500);
    EXPECT_EQ(rules.Take("kta")->status, 429);
    EXPECT_FALSE(rules.Take("navs").has_value());
}

TEST(FaultRuleUse, FaultCarriesDeviceMissingAndDelay) {
    FaultRules rules;
    std::string error;
    ASSERT_TRUE(rules.Replace({"kta=403x1:devicemissing:delay=7"}, error));
    const Fault fault = *rules.Take("kta");
    EXPECT_EQ(fault.status, 403);
    EXPECT_TRUE(fault.deviceMissing);
    EXPECT_EQ(fault.delayMs, 7);
}

TEST(FaultRuleReplacement, BadRuleLeavesTheCurrentSetAndNamesTheRule) {
    FaultRules rules;
    std::string error;
    ASSERT_TRUE(rules.Replace({"kta=503"}, error));
    EXPECT_FALSE(rules.Replace({"navs=429", "navp=abc"}, error));
    EXPECT_THAT(error, HasSubstr("\"navp=abc\""));
    EXPECT_THAT(rules.Describe(), ElementsAre("kta=503"));
}

TEST(FaultRuleReplacement, EmptyListClears) {
    FaultRules rules;
    std::string error;
    ASSERT_TRUE(rules.Replace({"kta=503", "navs=500x4"}, error));
    ASSERT_TRUE(rules.Replace({}, error));
    EXPECT_TRUE(rules.Describe().empty());
    EXPECT_FALSE(rules.Take("kta").has_value());
}

}  // namespace
