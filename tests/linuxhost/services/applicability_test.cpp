// The attribute applicability evaluator: single values, lists, case, missing attributes, empty
// filters, values of the wrong type, the details it reports and concurrent use.
#include <gtest/gtest.h>

#include <json/json.h>

#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "datasync/host/StringUtil.h"
#include "linuxhost/device/AttributeApplicabilityEvaluator.h"
#include "linuxhost/services/ServicesTestSupport.h"

namespace {

using ZEL::KeyValuePair;

ZEL::ApplicabilityFilter Filter(const std::string& json) {
    Json::Value rules;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    EXPECT_TRUE(reader->parse(json.data(), json.data() + json.size(), &rules, &errors)) << json;
    ZEL::ApplicabilityFilter filter;
    filter.rules = rules;
    return filter;
}

class Applicability : public ::testing::Test {
protected:
    void SetUp() override {
        ZEL::linuxhost::UpdateDeviceState([](ZEL::linuxhost::DeviceState& device) {
            device.attributes = {{"os_name", "Linux"}, {"os_version", "6.1"}, {"Edition", "Server"}};
        });
    }

    struct Outcome {
        bool applies;
        std::list<KeyValuePair> details;
        std::wstring reason;
    };

    Outcome Evaluate(const std::string& json) {
        Outcome outcome{false, {}, L"<unset>"};
        outcome.applies = evaluator.Evaluate(Filter(json), nullptr, outcome.details, outcome.reason);
        return outcome;
    }

    servicestest::HostStateGuard stateGuard;
    ZEL::linuxhost::AttributeApplicabilityEvaluator evaluator;
};

TEST_F(Applicability, EmptyOrMissingFilterAppliesToEveryDevice) {
    EXPECT_TRUE(Evaluate("{}").applies);
    std::list<KeyValuePair> details;
    std::wstring reason = L"<unset>";
    EXPECT_TRUE(evaluator.Evaluate(ZEL::ApplicabilityFilter{}, nullptr, details, reason));
    EXPECT_TRUE(evaluator.Evaluate(ZEL::ApplicabilityFilter{Json::Value()}, nullptr, details, reason));
    EXPECT_EQ(reason, L"<unset>");
    EXPECT_TRUE(details.empty());
}

TEST_F(Applicability, SingleValueMatchesIgnoringCase) {
    const Outcome match = Evaluate(R"({"os_name": "linux"})");
    EXPECT_TRUE(match.applies);
    EXPECT_EQ(match.reason, L"<unset>") << "the reason is left alone when the filter matches";
    EXPECT_EQ(match.details, (std::list<KeyValuePair>{{L"os_name", L"Linux"}}));

    const Outcome mismatch = Evaluate(R"({"os_name": "Windows"})");
    EXPECT_FALSE(mismatch.applies);
    EXPECT_NE(mismatch.reason.find(L"os_name"), std::wstring::npos);
    EXPECT_NE(mismatch.reason.find(L"Windows"), std::wstring::npos);
    EXPECT_EQ(mismatch.details, (std::list<KeyValuePair>{{L"os_name", L"Linux"}}));
}

TEST_F(Applicability, ListMatchesWhenAnyValueMatches) {
    EXPECT_TRUE(Evaluate(R"({"os_name": ["Windows", "LINUX"]})").applies);
    EXPECT_FALSE(Evaluate(R"({"os_name": ["Windows", "macOS"]})").applies);
}

TEST_F(Applicability, AttributeNamesAreMatchedIgnoringCase) {
    const Outcome outcome = Evaluate(R"({"OS_NAME": "Linux", "edition": "server"})");
    EXPECT_TRUE(outcome.applies) << ZEL::String::UTF16ToUTF8(outcome.reason);
}

TEST_F(Applicability, EveryMemberMustMatch) {
    EXPECT_TRUE(Evaluate(R"({"os_name": "Linux", "os_version": ["6.0", "6.1"]})").applies);
    const Outcome outcome = Evaluate(R"({"os_name": "Linux", "os_version": "5.10"})");
    EXPECT_FALSE(outcome.applies);
    EXPECT_NE(outcome.reason.find(L"os_version"), std::wstring::npos);
    EXPECT_EQ(outcome.details.size(), 2u);
}

TEST_F(Applicability, AttributeTheDeviceLacksDoesNotMatch) {
    const Outcome outcome = Evaluate(R"({"gpu_vendor": "any"})");
    EXPECT_FALSE(outcome.applies);
    EXPECT_NE(outcome.reason.find(L"gpu_vendor"), std::wstring::npos);
    EXPECT_TRUE(outcome.details.empty());
}

TEST_F(Applicability, ValuesOfTheWrongTypeDoNotMatchAndSaySo) {
    const char* const filters[] = {
        R"({"os_name": 1})",          R"({"os_name": true})",         R"({"os_name": null})",
        R"({"os_name": {"a": "b"}})", R"({"os_name": ["Linux", 2]})", R"({"os_name": []})",
    };
    for (const char* json : filters) {
        const Outcome outcome = Evaluate(json);
        EXPECT_FALSE(outcome.applies) << json;
        EXPECT_NE(outcome.reason.find(L"os_name"), std::wstring::npos) << json;
        EXPECT_NE(outcome.reason.find(L"string"), std::wstring::npos) << json;
    }
}

TEST_F(Applicability, FilterThatIsNotAnObjectDoesNotMatch) {
    EXPECT_FALSE(Evaluate(R"(["os_name"])").applies);
    EXPECT_FALSE(Evaluate(R"("Linux")").applies);
}

TEST_F(Applicability, FollowsAttributeChangesAtRunTime) {
    EXPECT_TRUE(Evaluate(R"({"os_name": "Linux"})").applies);
    ZEL::linuxhost::UpdateDeviceState(
        [](ZEL::linuxhost::DeviceState& device) { device.attributes["os_name"] = "FreeBSD"; });
    EXPECT_FALSE(Evaluate(R"({"os_name": "Linux"})").applies);
}

TEST_F(Applicability, ConcurrentCallsMayShareTheEvaluatorsReasonText) {
    const ZEL::ApplicabilityFilter failing = Filter(R"({"os_name": "Windows"})");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                std::list<KeyValuePair> details;
                EXPECT_FALSE(evaluator.Evaluate(failing, nullptr, details, evaluator.SetDiscardedReason()));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_NE(evaluator.SetDiscardedReason().find(L"os_name"), std::wstring::npos);
}

}  // namespace
