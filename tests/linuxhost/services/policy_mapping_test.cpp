// Policy files the agent accepts: every member lands in its field, absent members read as
// empty, unknown members are ignored silently, another configured file is read at once, the push
// channel overrides the two query values, and the check used by --check-config lists every
// problem and warns about URLs without their final "/".
#include <gtest/gtest.h>

#include <list>
#include <map>
#include <string>
#include <vector>

#include "linuxhost/services/PolicyTestFixture.h"

namespace {

using servicestest::kIdLower;

const char* const kFullPolicy = R"({
  "telemetry_scope": "full",
  "primary_url": "https://primary.example/", "secondary_url": "https://secondary.example/",
  "navs_url": "https://navs.example/", "navp_url": "https://navp.example/", "auth_mode": "mtls",
  "sync_options": ["sync_globalcontext_onchange", "second_option"],
  "sync_endpoint_urls": { "KTA_syncEP_url": "https://127.0.0.1:8443/kta/",
                          "NAVP_syncEP_url": "https://127.0.0.1:8443/navp" },
  "datasets": [
    { "dataset_id": "6F1C2D3E-0000-4000-8000-000000000001", "dataset_name": "CPUEvent",
      "dataset_enable": true, "syncEPs": "KTA,NAVS", "syncEP_frequency": "nrt",
      "include_events": ["ALL"], "applicability_filter": {"os_name": ["Linux", "FreeBSD"]},
      "dataset_settings": { "Retention": "30d", "Größe": "groß" }, "future": 7 },
    { "dataset_id": "6f1c2d3e-0000-4000-8000-00000000abcd", "include_events": [] }
  ],
  "settings": { "channel_mode": "nomqtt", "other": 1 },
  "policy": { "heartbeat_suppression": "suppress", "n": [] },
  "future_member": { "x": [1, 2] }
})";

using PolicyMapping = servicestest::PolicyTest;

TEST_F(PolicyMapping, EveryMemberLandsInItsFieldAbsentOnesTakeDefaultsAndUnknownOnesAreIgnored) {
    using Texts = std::vector<std::wstring>;
    Write(kFullPolicy);
    ZEL::TelemetryPolicy policy;
    ASSERT_TRUE(agent.ReadTelemetryPolicy(policy));
    EXPECT_EQ((Texts{policy.telemetryScope, policy.primaryUrl, policy.secondaryUrl, policy.navsUrl, policy.navpUrl,
                     policy.authMode}),
              (Texts{L"full", L"https://primary.example/", L"https://secondary.example/", L"https://navs.example/",
                     L"https://navp.example/", L"mtls"}));
    EXPECT_EQ(policy.syncOptions, (std::list<std::wstring>{L"sync_globalcontext_onchange", L"second_option"}));
    EXPECT_EQ(policy.syncEndpointUrls,
              (std::map<std::wstring, std::wstring>{{L"KTA_syncEP_url", L"https://127.0.0.1:8443/kta/"},
                                                    {L"NAVP_syncEP_url", L"https://127.0.0.1:8443/navp"}}));
    ASSERT_EQ(policy.datasets.size(), 2u);
    const ZEL::DataSet& cpu = policy.datasets.front();
    EXPECT_EQ((Texts{cpu.dataset_id(), cpu.dataset_name(), cpu.syncEPs(), cpu.syncEP_frequency()}),
              (Texts{L"6F1C2D3E-0000-4000-8000-000000000001", L"CPUEvent", L"KTA,NAVS", L"nrt"}));
    EXPECT_TRUE(cpu.dataset_enable());
    EXPECT_EQ(cpu.include_events(), std::list<std::wstring>{L"ALL"});
    EXPECT_EQ(cpu.applicability_filter().rules["os_name"][1].asString(), "FreeBSD");
    EXPECT_EQ(cpu.dataset_settings_map(),
              (std::map<std::wstring, std::wstring>{{L"Retention", L"30d"}, {L"Größe", L"groß"}}));
    const ZEL::DataSet& bare = policy.datasets.back();
    EXPECT_EQ(bare.dataset_name(), L"");
    EXPECT_FALSE(bare.dataset_enable());
    EXPECT_TRUE(bare.applicability_filter().rules.empty());
    EXPECT_TRUE(HostLogEmpty());

    // The file the settings name at this call is read, and an empty object overwrites everything.
    const std::string other = temp.path() + "other.json";
    servicestest::WriteFile(other, "{}");
    servicestest::UsePolicyFile(other);
    ASSERT_TRUE(agent.ReadTelemetryPolicy(policy));
    EXPECT_EQ(policy.telemetryScope + policy.primaryUrl + policy.authMode, L"");
    EXPECT_TRUE(policy.syncOptions.empty());
    EXPECT_TRUE(policy.datasets.empty());
    EXPECT_TRUE(policy.syncEndpointUrls.empty());
}

TEST_F(PolicyMapping, QueriesReadTheFileUnlessThePushChannelSetsAValue) {
    Write(kFullPolicy);
    ZEL::ZelSettings settings;
    settings.setting1 = L"kept";
    ZEL::ZelPolicy policy;
    ASSERT_TRUE(agent.QuerySettings(settings));
    ASSERT_TRUE(agent.QueryPolicy(policy));
    EXPECT_EQ(settings.channel_mode, L"nomqtt");
    EXPECT_EQ(settings.setting1, L"kept");
    EXPECT_EQ(policy.heartbeat_suppression, L"suppress");

    ZEL::linuxhost::UpdatePushChannel([](ZEL::linuxhost::PushChannelState& push) {
        push.mode = "mqtt";
        push.suppression = "none";
    });
    ASSERT_TRUE(agent.QuerySettings(settings));
    ASSERT_TRUE(agent.QueryPolicy(policy));
    EXPECT_EQ(settings.channel_mode, L"mqtt");
    EXPECT_EQ(policy.heartbeat_suppression, L"none");
}

TEST_F(PolicyMapping, CheckListsEveryProblemAndLogsNothing) {
    servicestest::WriteFile(path, std::string("{\"telemetry_scope\": 1, \"sync_options\": [2, \"ok\", 3],") +
          "\"datasets\": [{\"dataset_id\": \"../x\"}, {\"dataset_id\": \"" + kIdLower +
          "\", \"dataset_enable\": \"yes\"}], \"settings\": {\"channel_mode\": false}}");
    std::vector<std::string> problems{"an earlier problem"};
    EXPECT_FALSE(ZEL::linuxhost::PolicyFileAgent::ValidatePolicyFile(path, problems));
    ASSERT_EQ(problems.size(), 8u);
    const std::vector<std::string> members{"telemetry_scope:",        "sync_options[0]:",
                                           "sync_options[2]:",        "datasets[0].dataset_id:",
                                           "datasets[1].dataset_enable:", "datasets[1].include_events: missing",
                                           "settings.channel_mode:"};
    for (size_t i = 0; i < members.size(); ++i) {
        EXPECT_EQ(problems[i + 1].rfind(path + ": ", 0), 0u) << problems[i + 1];
        EXPECT_NE(problems[i + 1].find(members[i]), std::string::npos) << problems[i + 1];
    }
    EXPECT_TRUE(HostLogEmpty());

    servicestest::WriteFile(path, kFullPolicy);
    problems.clear();
    std::vector<std::string> warnings;
    EXPECT_TRUE(ZEL::linuxhost::PolicyFileAgent::ValidatePolicyFile(path, problems, &warnings));
    EXPECT_TRUE(warnings.empty());
    EXPECT_FALSE(ZEL::linuxhost::PolicyFileAgent::ValidatePolicyFile(temp.path() + "missing.json", problems));
    ASSERT_EQ(problems.size(), 1u) << "a valid file adds no problem";
    EXPECT_NE(problems[0].find("missing.json: cannot be opened"), std::string::npos) << problems[0];

    // A KTA or NAVS URL without its final "/" is no problem, only worth a warning.
    servicestest::WriteFile(path, R"({"sync_endpoint_urls": {"KTA_syncEP_url": "https://h/kta",
        "NAVP_syncEP_url": "https://h/navp"}, "navs_url": "https://h/navs"})");
    problems.clear();
    EXPECT_TRUE(ZEL::linuxhost::PolicyFileAgent::ValidatePolicyFile(path, problems, &warnings));
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_NE(warnings[0].find("sync_endpoint_urls.KTA_syncEP_url: \"https://h/kta\" does not end with"),
              std::string::npos)
        << warnings[0];
    EXPECT_NE(warnings[1].find("navs_url:"), std::string::npos) << warnings[1];
    EXPECT_TRUE(HostLogEmpty());
}

}  // namespace
