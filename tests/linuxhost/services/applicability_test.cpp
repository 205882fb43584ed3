// The attribute applicability evaluator: single values, lists, case, missing attributes, empty
// filters, values of the wrong type, the details it reports and concurrent use.
#include <gtest/gtest.h>
#include <json/json.h>

#include <list>
#include <sstream>
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
    std::istringstream(json) >> rules;  // throws on a text that is not JSON
    return ZEL::ApplicabilityFilter{rules};
}

TEST(Applicability, EveryMemberMustMatchOneOfItsStringValuesIgnoringCase) {
    servicestest::HostStateGuard stateGuard;
    ZEL::linuxhost::UpdateDeviceState([](ZEL::linuxhost::DeviceState& device) {
        device.attributes = {{"os_name", "Linux"}, {"os_version", "6.1"}, {"Edition", "Server"}};
    });
    ZEL::linuxhost::AttributeApplicabilityEvaluator evaluator;
    const struct {
        const char* filter;
        bool applies;
        const wchar_t* reasonNames;  // what the reason names when the filter does not apply
    } cases[] = {{"{}", true, L"<unset>"},
                 {R"({"OS_NAME": "linux", "edition": "server"})", true, L"<unset>"},
                 {R"({"os_name": "Linux", "os_version": ["6.0", "6.1"]})", true, L"<unset>"},
                 {R"({"os_name": ["Windows", "macOS"]})", false, L"os_name"},
                 {R"({"os_name": "Linux", "os_version": "5.10"})", false, L"os_version"},
                 {R"({"gpu_vendor": "any"})", false, L"gpu_vendor"},
                 {R"({"os_name": 1})", false, L"string"},
                 {R"({"os_name": ["Linux", 2]})", false, L"string"},
                 {R"({"os_name": []})", false, L"string"},
                 {R"(["os_name"])", false, L""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.filter);
        std::list<KeyValuePair> details;
        std::wstring reason = L"<unset>";  // left alone on a match
        EXPECT_EQ(evaluator.Evaluate(Filter(c.filter), nullptr, details, reason), c.applies);
        EXPECT_NE(reason.find(c.reasonNames), std::wstring::npos) << ZEL::String::UTF16ToUTF8(reason);
    }
    std::list<KeyValuePair> details;
    std::wstring reason;
    EXPECT_TRUE(evaluator.Evaluate(ZEL::ApplicabilityFilter{}, nullptr, details, reason));  // no filter at all
    // The details list the device's values of the attributes the filter names; the device state
    // is read at each call.
    const ZEL::ApplicabilityFilter windows = Filter(R"({"os_name": "Windows"})");
    EXPECT_FALSE(evaluator.Evaluate(windows, nullptr, details, reason));
    EXPECT_EQ(details, (std::list<KeyValuePair>{{L"os_name", L"Linux"}}));
    ZEL::linuxhost::UpdateDeviceState(
        [](ZEL::linuxhost::DeviceState& device) { device.attributes["os_name"] = "Windows"; });
    EXPECT_TRUE(evaluator.Evaluate(windows, nullptr, details, reason));
}

TEST(Applicability, ConcurrentCallsMayShareTheEvaluatorsReasonText) {
    servicestest::HostStateGuard stateGuard;
    ZEL::linuxhost::AttributeApplicabilityEvaluator evaluator;
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
