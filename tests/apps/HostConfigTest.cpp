#include <gtest/gtest.h>
#include <grp.h>

#include "datasyncd/HostConfig.h"

namespace {

using datasyncd::ConfigProblem;
using datasyncd::HostConfig;

struct Applied {
    bool ok;
    HostConfig config;
    std::vector<ConfigProblem> problems;
};

// Lays `text` over the default; relative paths resolve against /etc/datasync.
Applied Apply(const std::string& text) {
    Applied result{false, datasyncd::DefaultHostConfig(), {}};
    result.ok = datasyncd::ApplyHostConfigText(text, "/etc/datasync/host.json", "/etc/datasync", result.config,
                                               result.problems);
    return result;
}

std::string AllTexts(const std::vector<ConfigProblem>& problems) {
    std::string all;
    for (const ConfigProblem& problem : problems) all += problem.text + "\n";
    return all;
}

TEST(HostConfigValues, KeysAreAppliedAndRelativePathsResolveAgainstTheConfigFolder) {
    const Applied applied = Apply(R"({
      "service_db_dir": "/d/db", "local_db_dir": "lo", "log_dir": "../log/", "policy_file": "p/policy.json",
      "log_level": "Warning", "device": { "online": false, "attributes": { "model": "X1" } },
      "push_channel": { "connected": true },
      "tls": { "ca_file": "certs/ca.pem", "client_key": "", "mtls_url_map": { "https://a/": "https://mtls.a/" },
               "timeout_ms": 1500 }
    })");
    ASSERT_TRUE(applied.ok) << AllTexts(applied.problems);
    const HostConfig& c = applied.config;
    EXPECT_EQ(c.folders.service_db_dir, "/d/db/");
    EXPECT_EQ(c.folders.local_db_dir, "/etc/datasync/lo/");
    EXPECT_EQ(c.folders.log_dir, "/etc/log/");
    EXPECT_EQ(c.settings.policy_file, "/etc/datasync/p/policy.json");
    EXPECT_EQ(c.logLevel, ZEL::LogLevel::Warning);
    EXPECT_FALSE(c.device.online);
    EXPECT_EQ(c.device.attributes, (std::map<std::string, std::string>{{"model", "X1"}})) << "replaced as a whole";
    EXPECT_TRUE(c.pushChannel.connected);
    EXPECT_EQ(c.tls.ca_file, "/etc/datasync/certs/ca.pem");
    EXPECT_EQ(c.tls.client_key, "") << "an empty TLS file stays empty, for the system store";
    EXPECT_EQ(c.tls.mtls_url_map.at("https://a/"), "https://mtls.a/");
    EXPECT_EQ(c.tls.timeout_ms, 1500);

    const group* own = ::getgrgid(::getgid());
    ASSERT_NE(own, nullptr);
    const Applied grouped = Apply(std::string(R"({"control_read_group": ")") + own->gr_name + "\"}");
    ASSERT_TRUE(grouped.ok) << AllTexts(grouped.problems);
    EXPECT_EQ(grouped.config.controlReadGid, ::getgid());
}

TEST(HostConfigProblems, EachFaultIsOneProblemNamingItsKeyAndTextThatIsNotOneJsonObjectIsOneLine) {
    const struct {
        const char *json, *key = nullptr, *message = nullptr;  // no key: text that is not one JSON object
    } cases[] = {
        {R"({"device": {"online": "yes"}})", "device.online", "device.online: expected a boolean"},
        {R"({"tls": {"timeout_ms": 0}})", "tls.timeout_ms",
         "tls.timeout_ms: expected a positive whole number of milliseconds"},
        {R"({"state_dir": ""})", "state_dir", "state_dir: must name a folder, not be empty"},
        {R"({"policy_file": "/etc/"})", "policy_file", "policy_file: must name a file, not a folder"},
        {R"({"log_level": "loud"})", "log_level",
         "log_level: expected one of debug, info, warning, error; got \"loud\""},
        {R"({"control_read_group": "no-such-group-ds"})", "control_read_group",
         "control_read_group: \"no-such-group-ds\": no such group"},
        {"{\"log_dir\": \"/x\",\n  oops }"},
        {R"({"log_dir": "/a", "log_dir": "/b"})"},
        {"[]"},
        {"{\"bad\\nkey\": 1}"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        const Applied applied = Apply(c.json);
        ASSERT_FALSE(applied.ok);
        ASSERT_EQ(applied.problems.size(), 1u) << AllTexts(applied.problems);
        const std::string &text = applied.problems[0].text, prefix = "/etc/datasync/host.json: ";
        EXPECT_EQ(text.find('\n'), std::string::npos) << text;
        EXPECT_EQ(c.key ? text : text.substr(0, prefix.size()), prefix + (c.key ? c.message : ""));
        EXPECT_TRUE(!c.key || applied.problems[0].key == c.key) << applied.problems[0].key;
    }
    const Applied several = Apply(R"({"device": {"online": 1, "registered": "no"}, "log_dir": [], "x": 0})");
    EXPECT_FALSE(several.ok);
    EXPECT_EQ(several.problems.size(), 4u) << "every problem of a file is reported in one read\n"
                                           << AllTexts(several.problems);
}

}  // namespace
