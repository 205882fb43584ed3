// Policy files the agent must refuse: each bad input makes ReadTelemetryPolicy return false,
// leaves the caller's record alone and writes exactly one error line in host.log naming the
// file and the offending member. Bad dataset ids only drop their dataset.
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
        if (content != nullptr) Write(content);
        ZEL::TelemetryPolicy policy;
        policy.telemetryScope = L"untouched";
        EXPECT_FALSE(agent.ReadTelemetryPolicy(policy)) << (content ? content : "<no file>");
        EXPECT_EQ(policy.telemetryScope, L"untouched");
        ExpectOneErrorLine(fragment);
    }
};

TEST_F(PolicyRejection, MissingFile) {
    ExpectRejected(nullptr, "No such file or directory");
}

TEST_F(PolicyRejection, NoPolicyFileConfigured) {
    servicestest::UsePolicyFile("");
    ZEL::TelemetryPolicy policy;
    EXPECT_FALSE(agent.ReadTelemetryPolicy(policy));
    const auto lines = HostLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].text.find("no policy file is configured"), std::string::npos) << lines[0].text;
}

TEST_F(PolicyRejection, FolderInsteadOfFile) {
    servicestest::UsePolicyFile(temp.sub("folder"));
    path = temp.path() + "folder/";
    ExpectRejected(nullptr, "not a regular file");
}

TEST_F(PolicyRejection, EmptyOrBlankFile) {
    ExpectRejected("", "is empty");
    ExpectRejected(" \n\t ", "is empty");
}

TEST_F(PolicyRejection, MalformedJson) {
    ExpectRejected("{\"telemetry_scope\": }", "is not valid JSON");
    ExpectRejected("{\"telemetry_scope\": \"full\"", "is not valid JSON");
}

TEST_F(PolicyRejection, TrailingGarbageAfterTheObject) {
    ExpectRejected("{\"telemetry_scope\": \"full\"} x", "is not valid JSON");
    ExpectRejected("{} {}", "is not valid JSON");
}

TEST_F(PolicyRejection, CommentsAndDuplicateKeysAreNotJson) {
    ExpectRejected("// note\n{}", "is not valid JSON");
    ExpectRejected("{\"auth_mode\":\"a\",\"auth_mode\":\"b\"}", "is not valid JSON");
}

TEST_F(PolicyRejection, RootThatIsNotAnObject) {
    ExpectRejected("[{\"telemetry_scope\": \"full\"}]", "root: expected an object, found an array");
    ExpectRejected("\"full\"", path);
}

TEST_F(PolicyRejection, WrongTypesAtTheTopLevel) {
    ExpectRejected("{\"telemetry_scope\": 5}", "telemetry_scope: expected a string, found a number");
    ExpectRejected("{\"primary_url\": null}", "primary_url: expected a string, found null");
    ExpectRejected("{\"sync_options\": \"sync_globalcontext_onchange\"}",
                   "sync_options: expected a list of strings, found a string");
    ExpectRejected("{\"sync_endpoint_urls\": [\"https://x/\"]}",
                   "sync_endpoint_urls: expected an object of strings, found an array");
    ExpectRejected("{\"datasets\": {}}", "datasets: expected a list of objects, found an object");
    ExpectRejected("{\"settings\": \"nomqtt\"}", "settings: expected an object, found a string");
    ExpectRejected("{\"policy\": []}", "policy: expected an object, found an array");
}

TEST_F(PolicyRejection, WrongTypesInsideListsAndObjects) {
    ExpectRejected("{\"sync_options\": [\"a\", 2]}", "sync_options[1]: expected a string, found a number");
    ExpectRejected("{\"sync_endpoint_urls\": {\"KTA_syncEP_url\": true}}",
                   "sync_endpoint_urls.KTA_syncEP_url: expected a string, found a boolean");
    ExpectRejected("{\"settings\": {\"channel_mode\": 1}}", "settings.channel_mode: expected a string");
    ExpectRejected("{\"policy\": {\"heartbeat_suppression\": {}}}",
                   "policy.heartbeat_suppression: expected a string, found an object");
}

TEST_F(PolicyRejection, WrongTypesInsideDatasets) {
    const std::string ok = std::string("{\"dataset_id\":\"") + kIdUpper + "\"}";
    const std::string head = "{\"datasets\": [" + ok + "," + ok + ",";
    ExpectRejected((head + "{\"dataset_id\":\"" + kIdLower + "\",\"include_events\":[1]}]}").c_str(),
                   "datasets[2].include_events[0]: expected a string");
    ExpectRejected("{\"datasets\": [5]}", "datasets[0]: expected an object, found a number");
    ExpectRejected("{\"datasets\": [{\"dataset_enable\": \"true\"}]}",
                   "datasets[0].dataset_enable: expected a boolean, found a string");
    ExpectRejected("{\"datasets\": [{\"dataset_id\": 17}]}", "datasets[0].dataset_id: expected a string");
    ExpectRejected("{\"datasets\": [{\"applicability_filter\": [\"os_name\"]}]}",
                   "datasets[0].applicability_filter: expected an object, found an array");
    ExpectRejected("{\"datasets\": [{\"dataset_settings\": {\"Retention\": 30}}]}",
                   "datasets[0].dataset_settings.Retention: expected a string, found a number");
    ExpectRejected("{\"datasets\": [{\"syncEP_frequency\": [\"nrt\"]}]}",
                   "datasets[0].syncEP_frequency: expected a string, found an array");
}

TEST_F(PolicyRejection, OddMemberNamesAreQuotedAndEscaped) {
    ExpectRejected("{\"sync_endpoint_urls\": {\"a b\\nFAKE\": 1}}",
                   "sync_endpoint_urls[\"a b\\x0aFAKE\"]: expected a string");
}

TEST_F(PolicyRejection, SeveralProblemsStillGiveOneLineNamingTheFirst) {
    ExpectRejected("{\"telemetry_scope\": 1, \"auth_mode\": 2, \"navs_url\": 3}",
                   "telemetry_scope: expected a string, found a number (and 2 more problem(s))");
}

class DatasetIdCheck : public servicestest::PolicyTest {
protected:
    // A policy with a valid dataset, one with `badId` (raw JSON text, quotes included) and
    // another valid one: the two valid ones load and one line names the bad id.
    void ExpectOnlyBadDatasetDropped(const std::string& badIdJson, const std::string& fragment) {
        Write(std::string("{\"telemetry_scope\":\"full\",\"datasets\":[") + "{\"dataset_id\":\"" + kIdUpper +
              "\",\"dataset_name\":\"A\"}," + "{\"dataset_id\":" + badIdJson + ",\"dataset_name\":\"Bad\"}," +
              "{\"dataset_id\":\"" + kIdLower + "\",\"dataset_name\":\"C\"}]}");
        ZEL::TelemetryPolicy policy;
        ASSERT_TRUE(agent.ReadTelemetryPolicy(policy)) << badIdJson;
        EXPECT_EQ(policy.telemetryScope, L"full");
        ASSERT_EQ(policy.datasets.size(), 2u);
        EXPECT_EQ(policy.datasets.front().dataset_name(), L"A");
        EXPECT_EQ(policy.datasets.back().dataset_name(), L"C");
        EXPECT_EQ(policy.datasets.back().dataset_id(), L"6f1c2d3e-0000-4000-8000-00000000abcd");
        ExpectOneErrorLine("datasets[1].dataset_id: " + fragment);
    }
};

TEST_F(DatasetIdCheck, PathCharactersAreRefused) {
    const std::string traversal = "../" + std::string(33, '0');  // 36 characters
    ExpectOnlyBadDatasetDropped("\"" + traversal + "\"", "\"" + traversal + "\" is not a dataset id");
    const std::string slash = "6F1C2D3E-0000-4000-8000-00000000/001";
    ExpectOnlyBadDatasetDropped("\"" + slash + "\"", "\"" + slash + "\"");
    ExpectOnlyBadDatasetDropped("\"../x\"", "\"../x\" is not a dataset id");
}

TEST_F(DatasetIdCheck, WrongLengthOrNonHexCharactersAreRefused) {
    const std::string ids[] = {
        "6F1C2D3E-0000-4000-8000-00000000001",    // 35 characters
        "6F1C2D3E-0000-4000-8000-0000000000011",  // 37 characters
        "6G1C2D3E-0000-4000-8000-000000000001",   // 'G'
        "6F1C2D3E 0000-4000-8000-000000000001",   // a space
    };
    for (const std::string& id : ids)
        ExpectOnlyBadDatasetDropped("\"" + id + "\"", "\"" + id + "\" is not a dataset id");
    ExpectOnlyBadDatasetDropped("\"\"", "\"\" is not a dataset id");
}

TEST_F(DatasetIdCheck, ControlCharactersInTheIdCannotForgeLogLines) {
    ExpectOnlyBadDatasetDropped("\"abc\\nFAKE ERROR\\u0007\"", "\"abc\\x0aFAKE ERROR\\x07\"");
}

TEST_F(DatasetIdCheck, MissingIdIsRefused) {
    Write(std::string("{\"datasets\":[{\"dataset_name\":\"NoId\"},{\"dataset_id\":\"") + kIdUpper + "\"}]}");
    ZEL::TelemetryPolicy policy;
    ASSERT_TRUE(agent.ReadTelemetryPolicy(policy));
    ASSERT_EQ(policy.datasets.size(), 1u);
    ExpectOneErrorLine("datasets[0].dataset_id: missing; dataset left out");
}

TEST_F(DatasetIdCheck, VeryLongIdIsCutInTheLogLine) {
    Write("{\"datasets\":[{\"dataset_id\":\"" + std::string(5000, 'A') + "\"}]}");
    ZEL::TelemetryPolicy policy;
    ASSERT_TRUE(agent.ReadTelemetryPolicy(policy));
    EXPECT_TRUE(policy.datasets.empty());
    const auto lines = HostLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_LT(lines[0].text.size(), 400u);
    EXPECT_NE(lines[0].text.find("...\""), std::string::npos) << lines[0].text;
}

TEST_F(PolicyRejection, UnknownMembersAreIgnoredSilently) {
    Write(std::string("{\"future_member\":{\"x\":[1,2]},\"telemetry_scope\":\"full\",\"datasets\":[") +
          "{\"dataset_id\":\"" + kIdUpper +
          "\",\"future\":7}],\"settings\":{\"other\":1},\"policy\":{\"n\":[]}}");
    ZEL::TelemetryPolicy policy;
    EXPECT_TRUE(agent.ReadTelemetryPolicy(policy));
    EXPECT_EQ(policy.datasets.size(), 1u);
    EXPECT_TRUE(HostLines().empty()) << Dump(HostLines());
}

TEST_F(PolicyRejection, QueriesFailOnAnUnusablePolicyAndLogEachNewProblemOnce) {
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
    Write("{\"settings\": 1}");
    EXPECT_FALSE(agent.QuerySettings(settings));
    ExpectOneErrorLine("settings: expected an object");  // logged again after it was fixed
}

}  // namespace
