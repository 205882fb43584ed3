// Policy files the agent must refuse: without a policy in force, each bad input makes
// ReadTelemetryPolicy return false, leaves the caller's record alone and writes exactly one error
// line in host.log naming the file and the offending member; with one in force, that policy stays.
// A bad dataset id or a missing include list only drops its dataset.
#include <gtest/gtest.h>

#include <string>

#include "linuxhost/services/PolicyTestFixture.h"

namespace {

using servicestest::kIdLower;
using servicestest::kIdUpper;

class PolicyRejection : public servicestest::PolicyTest {
protected:
    // Writes `content` (unless null: no file) and expects the refusal described above.
    void ExpectRejected(const char* content, const std::string& fragment) {
        SCOPED_TRACE(content ? content : "<no file>");
        if (content != nullptr) Write(content);
        ZEL::TelemetryPolicy policy;
        policy.telemetryScope = L"untouched";
        EXPECT_FALSE(agent.ReadTelemetryPolicy(policy));
        EXPECT_EQ(policy.telemetryScope, L"untouched");
        ExpectOneErrorLine(fragment);
    }
};

TEST_F(PolicyRejection, MissingFileFolderOrNoneConfigured) {
    ExpectRejected(nullptr, "No such file or directory");
    servicestest::UsePolicyFile(temp.sub("folder"));
    path = temp.path() + "folder/";
    ExpectRejected(nullptr, "not a regular file");
    servicestest::UsePolicyFile("");
    path = "";
    ExpectRejected(nullptr, "no policy file is configured");
}

TEST_F(PolicyRejection, TextThatIsNotOneJsonObjectOrMembersOfTheWrongType) {
    const std::pair<const char*, const char*> cases[] = {
        {" \n\t ", "is empty"},
        {"{\"telemetry_scope\": \"full\"", "is not valid JSON"},
        {"{} {}", "is not valid JSON"},
        {"// note\n{}", "is not valid JSON"},
        {"{\"auth_mode\":\"a\",\"auth_mode\":\"b\"}", "is not valid JSON"},
        {"[{\"telemetry_scope\": \"full\"}]", "root: expected an object, found an array"},
        {"{\"primary_url\": null}", "primary_url: expected a string, found null"},
        {"{\"sync_options\": \"x\"}", "sync_options: expected a list of strings, found a string"},
        {"{\"datasets\": {}}", "datasets: expected a list of objects, found an object"},
        {"{\"sync_options\": [\"a\", 2]}", "sync_options[1]: expected a string, found a number"},
        {"{\"sync_endpoint_urls\": {\"KTA_syncEP_url\": true}}",
         "sync_endpoint_urls.KTA_syncEP_url: expected a string, found a boolean"},
        {"{\"datasets\": [{\"dataset_enable\": \"true\"}]}",
         "datasets[0].dataset_enable: expected a boolean, found a string"},
        {"{\"datasets\": [{\"dataset_settings\": {\"Retention\": 30}}]}",
         "datasets[0].dataset_settings.Retention: expected a string, found a number"},
        // a dataset id of the wrong type refuses the whole file, not only its dataset
        {"{\"datasets\": [{\"dataset_id\": 17}]}", "datasets[0].dataset_id: expected a string, found a number"},
        // odd member names are quoted and escaped, so that they cannot forge log lines
        {"{\"sync_endpoint_urls\": {\"a b\\nFAKE\": 1}}", "sync_endpoint_urls[\"a b\\x0aFAKE\"]: expected a string"},
        // several problems still give one line, naming the first
        {"{\"telemetry_scope\": 1, \"auth_mode\": 2, \"navs_url\": 3}",
         "telemetry_scope: expected a string, found a number (and 2 more problem(s))"}};
    for (const auto& c : cases) ExpectRejected(c.first, c.second);
}

// A dataset id names files: anything but a 36-character id of hex digits and dashes drops its
// dataset (and only it) with one short line naming the bad id.
TEST_F(PolicyRejection, BadOrMissingDatasetIdsDropOnlyTheirDataset) {
    // The middle dataset's id member as JSON text, and what the line says about it.
    const auto bad = [](const std::string& id) {
        return std::make_pair("\"dataset_id\":\"" + id + "\",", "\"" + id + "\" is not a dataset id");
    };
    const std::pair<std::string, std::string> cases[] = {
        bad("../" + std::string(33, '0')),           // 36 characters
        bad("6F1C2D3E-0000-4000-8000-00000000001"),  // 35 characters
        bad("6G1C2D3E-0000-4000-8000-000000000001"),
        bad(""),
        {"", "missing; dataset left out"},
        {"\"dataset_id\":\"" + std::string(5000, 'A') + "\",", "\"AAAA"},  // cut short in the line
        {"\"dataset_id\":\"abc\\nFAKE ERROR\\u0007\",", "\"abc\\x0aFAKE ERROR\\x07\""}};  // cannot forge log lines
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first.substr(0, 60));
        const std::string events = "\"include_events\":[\"ALL\"]";
        Write(std::string("{\"datasets\":[{\"dataset_id\":\"") + kIdUpper + "\",\"dataset_name\":\"A\"," + events +
              "},{" + c.first + "\"dataset_name\":\"Bad\"," + events + "},{\"dataset_id\":\"" + kIdLower +
              "\",\"dataset_name\":\"C\"," + events + "}]}");
        ZEL::TelemetryPolicy policy;
        ASSERT_TRUE(agent.ReadTelemetryPolicy(policy));
        ASSERT_EQ(policy.datasets.size(), 2u);
        EXPECT_EQ(policy.datasets.front().dataset_name(), L"A");
        EXPECT_EQ(policy.datasets.back().dataset_name(), L"C");
        ExpectOneErrorLine("datasets[1].dataset_id: " + c.second);
    }
}

TEST_F(PolicyRejection, ADatasetWithoutAnIncludeListIsLeftOutAndNamed) {
    Write(std::string("{\"datasets\":[{\"dataset_id\":\"") + kIdUpper + "\",\"dataset_name\":\"A\"}]}");
    ZEL::TelemetryPolicy policy;
    ASSERT_TRUE(agent.ReadTelemetryPolicy(policy));
    EXPECT_TRUE(policy.datasets.empty()) << "rows wait rather than being filtered out on a guess";
    ExpectOneErrorLine("datasets[0].include_events: missing");
}

TEST_F(PolicyRejection, QueriesFailOnAnUnusablePolicyAndABadReadingKeepsThePolicyInForce) {
    Write("{\"settings\": 1}");
    ZEL::ZelSettings settings;
    settings.channel_mode = L"untouched";
    ZEL::ZelPolicy zelPolicy;
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(agent.QuerySettings(settings));
        EXPECT_FALSE(agent.QueryPolicy(zelPolicy));
    }
    EXPECT_EQ(settings.channel_mode, L"untouched");
    ExpectOneErrorLine("settings: expected an object, found a number");

    Write("{\"settings\": {\"channel_mode\": \"nomqtt\"}}");
    EXPECT_TRUE(agent.QuerySettings(settings));
    EXPECT_EQ(settings.channel_mode, L"nomqtt");
    EXPECT_EQ(agent.CurrentStatus().problem, "");

    // Caught half-written, or broken: the policy read before stays in force, and says why.
    Write("{\"settings\": ");
    settings.channel_mode.clear();
    EXPECT_TRUE(agent.QuerySettings(settings));
    EXPECT_EQ(settings.channel_mode, L"nomqtt");
    ZEL::TelemetryPolicy policy;
    EXPECT_TRUE(agent.ReadTelemetryPolicy(policy));
    EXPECT_TRUE(agent.CurrentStatus().inForce);
    EXPECT_NE(agent.CurrentStatus().problem.find("is not valid JSON"), std::string::npos);
    ExpectOneErrorLine("the policy read before stays in force");
}

}  // namespace
