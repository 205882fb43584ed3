#include <list>
#include <map>

#include "linuxhost/policy/PolicyFileAgent.h"
#include "linuxhost/services/ServicesTestSupport.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

using Texts = std::vector<std::wstring>;
using WideMap = std::map<std::wstring, std::wstring>;
constexpr const char* kIdUpper = "6F1C2D3E-0000-4000-8000-000000000001";
constexpr const char* kIdLower = "6f1c2d3e-0000-4000-8000-00000000abcd";

// A temporary policy file named by the host settings, the log lines captured, host state restored.
class PolicyTest : public ::testing::Test {
protected:
    void SetUp() override { servicestest::UsePolicyFile(path = temp.path() + "policy.json"); }
    // Writes the policy file and has the agent read it again, as the policy watcher does.
    void Write(const std::string& content) {
        servicestest::WriteFile(path, content);
        agent.Reload();
    }
    bool HostLogEmpty() const { return !capture.Contains("", "host.log"); }
    // Exactly one short host.log line at error level, naming the policy file and `fragment`.
    void ExpectOneErrorLine(const std::string& fragment) {
        std::vector<testsupport::LogCapture::Line> lines;
        for (const auto& line : capture.Lines())
            if (line.file == "host.log") lines.push_back(line);
        ASSERT_EQ(lines.size(), 1u) << (lines.empty() ? "" : lines[1].text);
        const std::string& text = lines[0].text;
        EXPECT_EQ(lines[0].level, ZEL::LogLevel::Error);
        EXPECT_TRUE(text.find(path) != text.npos && text.find(fragment) != text.npos) << text;
        EXPECT_TRUE(text.find('\n') == text.npos && text.size() < 400u) << text;
        capture.Clear();
    }
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

    servicestest::HostStateGuard stateGuard;
    testsupport::LogCapture capture;
    testsupport::TempDir temp;
    std::string path;
    ZEL::linuxhost::PolicyFileAgent agent;
};

const char* const kFullPolicy = R"({"telemetry_scope": "full", "auth_mode": "mtls",
  "primary_url": "https://primary.example/", "secondary_url": "https://secondary.example/",
  "navs_url": "https://navs.example/", "navp_url": "https://navp.example/",
  "sync_options": ["sync_globalcontext_onchange", "second_option"],
  "sync_endpoint_urls": {"KTA_syncEP_url": "https://127.0.0.1:8443/kta/",
                         "NAVP_syncEP_url": "https://127.0.0.1:8443/navp"},
  "datasets": [{"dataset_id": "6F1C2D3E-0000-4000-8000-000000000001", "dataset_name": "CPUEvent",
                "dataset_enable": true, "syncEPs": "KTA,NAVS", "syncEP_frequency": "nrt", "future": 7,
                "include_events": ["ALL"], "applicability_filter": {"os_name": ["Linux", "FreeBSD"]},
                "dataset_settings": {"Retention": "30d", "Größe": "groß"}},
               {"dataset_id": "6f1c2d3e-0000-4000-8000-00000000abcd", "include_events": []}],
  "settings": {"channel_mode": "nomqtt", "other": 1}, "policy": {"heartbeat_suppression": "suppress", "n": []},
  "future_member": {"x": [1, 2]}})";

TEST_F(PolicyTest, EveryMemberLandsInItsFieldAbsentOnesTakeDefaultsUnknownOnesAreIgnoredPushValuesWin) {
    Write(kFullPolicy);
    ZEL::TelemetryPolicy policy;
    ASSERT_TRUE(agent.ReadTelemetryPolicy(policy));
    EXPECT_EQ((Texts{policy.telemetryScope, policy.primaryUrl, policy.secondaryUrl, policy.navsUrl,
                     policy.navpUrl, policy.authMode}),
              (Texts{L"full", L"https://primary.example/", L"https://secondary.example/", L"https://navs.example/",
                     L"https://navp.example/", L"mtls"}));
    EXPECT_EQ(policy.syncOptions, (std::list<std::wstring>{L"sync_globalcontext_onchange", L"second_option"}));
    EXPECT_EQ(policy.syncEndpointUrls, (WideMap{{L"KTA_syncEP_url", L"https://127.0.0.1:8443/kta/"},
                                                {L"NAVP_syncEP_url", L"https://127.0.0.1:8443/navp"}}));
    ASSERT_EQ(policy.datasets.size(), 2u);
    const ZEL::DataSet &cpu = policy.datasets.front(), &bare = policy.datasets.back();
    EXPECT_EQ((Texts{cpu.dataset_id(), cpu.dataset_name(), cpu.syncEPs(), cpu.syncEP_frequency()}),
              (Texts{L"6F1C2D3E-0000-4000-8000-000000000001", L"CPUEvent", L"KTA,NAVS", L"nrt"}));
    EXPECT_TRUE(cpu.dataset_enable() && cpu.include_events() == std::list<std::wstring>{L"ALL"});
    EXPECT_EQ(cpu.applicability_filter().rules["os_name"][1].asString(), "FreeBSD");
    EXPECT_EQ(cpu.dataset_settings_map(), (WideMap{{L"Retention", L"30d"}, {L"Größe", L"groß"}}));
    EXPECT_TRUE(bare.dataset_name().empty() && !bare.dataset_enable() && bare.applicability_filter().rules.empty());
    EXPECT_TRUE(HostLogEmpty());
    // The queries read the file unless the push channel sets a value.
    ZEL::ZelSettings settings;
    settings.setting1 = L"kept";
    ZEL::ZelPolicy zelPolicy;
    ASSERT_TRUE(agent.QuerySettings(settings) && agent.QueryPolicy(zelPolicy));
    EXPECT_EQ((Texts{settings.channel_mode, settings.setting1, zelPolicy.heartbeat_suppression}),
              (Texts{L"nomqtt", L"kept", L"suppress"}));
    ZEL::linuxhost::UpdatePushChannel([](auto& push) { push.mode = "mqtt", push.suppression = "none"; });
    ASSERT_TRUE(agent.QuerySettings(settings) && agent.QueryPolicy(zelPolicy));
    EXPECT_EQ((Texts{settings.channel_mode, zelPolicy.heartbeat_suppression}), (Texts{L"mqtt", L"none"}));
    // The file the settings name at this call is read, and an empty object overwrites everything.
    servicestest::WriteFile(temp.path() + "other.json", "{}");
    servicestest::UsePolicyFile(temp.path() + "other.json");
    ASSERT_TRUE(agent.ReadTelemetryPolicy(policy));
    EXPECT_EQ(policy.telemetryScope + policy.primaryUrl + policy.authMode, L"");
    EXPECT_TRUE(policy.syncOptions.empty() && policy.datasets.empty() && policy.syncEndpointUrls.empty());
}

TEST_F(PolicyTest, CheckListsEveryProblemAndLogsNothing) {
    using ZEL::linuxhost::PolicyFileAgent;
    servicestest::WriteFile(path, std::string("{\"telemetry_scope\": 1, \"sync_options\": [2, \"ok\", 3],") +
                                      "\"datasets\": [{\"dataset_id\": \"../x\"}, {\"dataset_id\": \"" + kIdLower +
                                      "\", \"dataset_enable\": \"yes\"}], \"settings\": {\"channel_mode\": false}}");
    std::vector<std::string> problems{"an earlier problem"}, warnings;
    EXPECT_FALSE(PolicyFileAgent::ValidatePolicyFile(path, problems));
    ASSERT_EQ(problems.size(), 8u);
    const char* const members[] = {"telemetry_scope:", "sync_options[0]:", "sync_options[2]:",
                                   "datasets[0].dataset_id:", "datasets[1].dataset_enable:",
                                   "datasets[1].include_events: missing", "settings.channel_mode:"};
    for (size_t i = 0; i < 7; ++i)
        EXPECT_EQ(problems[i + 1].find(path + ": " + members[i]), 0u) << problems[i + 1];
    servicestest::WriteFile(path, kFullPolicy);
    EXPECT_TRUE(PolicyFileAgent::ValidatePolicyFile(path, problems = {}, &warnings) && warnings.empty());
    EXPECT_FALSE(PolicyFileAgent::ValidatePolicyFile(temp.path() + "missing.json", problems));
    ASSERT_EQ(problems.size(), 1u) << "a valid file adds no problem";
    EXPECT_NE(problems[0].find("missing.json: cannot be opened"), std::string::npos) << problems[0];
    // A KTA or NAVS URL without its final "/" is no problem, only worth a warning.
    servicestest::WriteFile(path, R"({"sync_endpoint_urls": {"KTA_syncEP_url": "https://h/kta",
        "NAVP_syncEP_url": "https://h/navp"}, "navs_url": "https://h/navs"})");
    EXPECT_TRUE(PolicyFileAgent::ValidatePolicyFile(path, problems = {}, &warnings));
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_NE(warnings[0].find("sync_endpoint_urls.KTA_syncEP_url:"), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[1].find("navs_url:"), std::string::npos) << warnings[1];
    EXPECT_TRUE(HostLogEmpty());
}

TEST_F(PolicyTest, NoFileAFolderNoneConfiguredTextThatIsNotOneJsonObjectOrMembersOfTheWrongTypeAreRejected) {
    const std::pair<const char*, const char*> cases[] = {
        {nullptr, "No such file or directory"},  // nothing written yet
        {" \n\t ", "is empty"},
        {"{\"telemetry_scope\": \"full\"", "is not valid JSON"},
        {"{} {}", "is not valid JSON"},
        {"// note\n{}", "is not valid JSON"},
        {"{\"auth_mode\":\"a\",\"auth_mode\":\"b\"}", "is not valid JSON"},
        {"[{\"telemetry_scope\": \"full\"}]", "root: expected an object, found an array"},
        {"{\"primary_url\": null}", "primary_url: expected a string, found null"},
        {"{\"sync_options\": \"x\"}", "sync_options: expected a list of strings, found a string"},
        {"{\"datasets\": {}}", "datasets: expected a list of objects, found an object"},
        {"{\"datasets\": [{\"dataset_enable\": \"true\"}]}",
         "datasets[0].dataset_enable: expected a boolean, found a string"},
        {"{\"datasets\": [{\"dataset_settings\": {\"Retention\": 30}}]}",
         "datasets[0].dataset_settings.Retention: expected a string, found a number"},
        // a dataset id of the wrong type refuses the whole file, not only its dataset
        {"{\"datasets\": [{\"dataset_id\": 17}]}",
         "datasets[0].dataset_id: expected a string, found a number"},
        // odd member names are quoted and escaped, so that they cannot forge log lines
        {"{\"sync_endpoint_urls\": {\"a b\\nFAKE\": true}}",
         "sync_endpoint_urls[\"a b\\x0aFAKE\"]: expected a string, found a boolean"},
        // several problems still give one line, naming the first
        {"{\"telemetry_scope\": 1, \"auth_mode\": 2, \"navs_url\": 3}",
         "telemetry_scope: expected a string, found a number (and 2 more problem(s))"}};
    for (const auto& c : cases) ExpectRejected(c.first, c.second);
    servicestest::UsePolicyFile(path = temp.sub("folder"));
    ExpectRejected(nullptr, "not a regular file");
    servicestest::UsePolicyFile(path = "");
    ExpectRejected(nullptr, "no policy file is configured");
}

// A dataset id names files: anything but a 36-character id of hex digits and dashes drops its
// dataset (and only it) with one short line naming the bad id. A dataset without an include list
// is left out too: its rows wait rather than being filtered on a guess.
TEST_F(PolicyTest, BadOrMissingDatasetIdsOrIncludeListsDropOnlyTheirDataset) {
    const std::string events = "\"include_events\":[\"ALL\"],";
    const auto bad = [&](const std::string& id) {  // the middle dataset's members, what the line says
        return std::make_pair("\"dataset_id\":\"" + id + "\"," + events, "dataset_id: \"" + id + "\" is not a dataset id");
    };
    const std::pair<std::string, std::string> cases[] = {
        bad("../" + std::string(33, '0')),           // 36 characters
        bad("6F1C2D3E-0000-4000-8000-00000000001"),  // 35 characters
        bad("6G1C2D3E-0000-4000-8000-000000000001"),
        bad(""),
        {events, "dataset_id: missing; dataset left out"},
        {"\"dataset_id\":\"6F1C2D3E-0000-4000-8000-000000000002\",", "include_events: missing"},
        {"\"dataset_id\":\"" + std::string(5000, 'A') + "\"," + events, "dataset_id: \"AAAA"},  // cut short in the line
        {"\"dataset_id\":\"abc\\nFAKE ERROR\\u0007\"," + events, "dataset_id: \"abc\\x0aFAKE ERROR\\x07\""}};  // no forged lines
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first.substr(0, 60));
        Write(std::string("{\"datasets\":[{\"dataset_id\":\"") + kIdUpper + "\"," + events +
              "\"dataset_name\":\"A\"},{" + c.first + "\"dataset_name\":\"Bad\"},{\"dataset_id\":\"" + kIdLower +
              "\"," + events + "\"dataset_name\":\"C\"}]}");
        ZEL::TelemetryPolicy policy;
        ASSERT_TRUE(agent.ReadTelemetryPolicy(policy));
        ASSERT_EQ(policy.datasets.size(), 2u);
        EXPECT_EQ(policy.datasets.front().dataset_name() + policy.datasets.back().dataset_name(), L"AC");
        ExpectOneErrorLine("datasets[1]." + c.second);
    }
}

TEST_F(PolicyTest, IncludeEventsFollowEachUsableReading) {
    const std::string dataset =
        std::string("{\"datasets\":[{\"dataset_id\":\"") + kIdUpper + "\",\"include_events\":";
    const std::wstring id = L"6F1C2D3E-0000-4000-8000-000000000001";
    const struct {
        std::string file;
        std::wstring id;
        bool found;
        Texts events;
    } cases[] = {
        {"", id, false, {L"untouched"}},  // nothing read yet
        {dataset + "[\"A\",\"B\"]}]}", id, true, {L"A", L"B"}},
        {"", L"6f1c2d3e-0000-4000-8000-000000000001", false, {L"untouched"}},  // ids match exactly
        {dataset + "[\"C\"]}]}", id, true, {L"C"}},
        {"{\"datasets\": ", id, true, {L"C"}},  // half-written: the policy before stays
        {"{\"datasets\":[]}", id, false, {L"untouched"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        if (!c.file.empty()) Write(c.file);
        std::list<std::wstring> events = {L"untouched"};
        EXPECT_EQ(agent.ReadIncludeEvents(c.id, events), c.found);
        EXPECT_EQ(Texts(events.begin(), events.end()), c.events);
    }
}

TEST_F(PolicyTest, QueriesFailOnAnUnusablePolicyAndABadReadingKeepsThePolicyInForce) {
    Write("{\"settings\": 1}");
    ZEL::ZelSettings settings;
    settings.channel_mode = L"untouched";
    ZEL::ZelPolicy zelPolicy;
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(agent.QuerySettings(settings) || agent.QueryPolicy(zelPolicy));
    EXPECT_EQ(settings.channel_mode, L"untouched");  // and only one line for the three refusals:
    ExpectOneErrorLine("settings: expected an object, found a number");
    Write("{\"settings\": {\"channel_mode\": \"nomqtt\"}}");
    EXPECT_TRUE(agent.QuerySettings(settings) && agent.CurrentStatus().problem.empty());
    EXPECT_EQ(settings.channel_mode, L"nomqtt");
    // Caught half-written, or broken: the policy read before stays in force, and says why.
    Write("{\"settings\": ");
    settings.channel_mode.clear();
    ZEL::TelemetryPolicy policy;
    EXPECT_TRUE(agent.QuerySettings(settings) && agent.ReadTelemetryPolicy(policy));
    EXPECT_EQ(settings.channel_mode, L"nomqtt");
    const auto status = agent.CurrentStatus();
    EXPECT_TRUE(status.inForce && status.problem.find("is not valid JSON") != std::string::npos) << status.problem;
    ExpectOneErrorLine("the policy read before stays in force");
}

}  // namespace
