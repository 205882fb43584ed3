// The host config reader: defaults, values, path resolution, and one problem per fault naming
// its key.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "datasyncd/HostConfig.h"
#include "support/TempDir.h"

namespace {

using datasyncd::ConfigProblem;
using datasyncd::HostConfig;

// Lays `text` over the default; relative paths resolve against /etc/datasync.
struct Applied {
    bool ok;
    HostConfig config;
    std::vector<ConfigProblem> problems;
};

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

TEST(HostConfigDefaults, EmbeddedDefaultIsTheDocumentedSystemInstallation) {
    const HostConfig config = datasyncd::DefaultHostConfig();
    EXPECT_EQ(config.folders.service_db_dir, "/var/lib/datasync/db/");
    EXPECT_EQ(config.folders.shared_db_dir, "/var/lib/datasync/shared/");
    EXPECT_EQ(config.folders.local_db_dir, "/var/lib/datasync/local/");
    EXPECT_EQ(config.folders.log_dir, "/var/lib/datasync/log/");
    EXPECT_EQ(config.folders.state_dir, "/var/lib/datasync/state/");
    EXPECT_EQ(config.settings.policy_file, "/etc/datasync/policy.json");
    EXPECT_EQ(config.settings.default_endpoint_url, "https://telemetry.invalid/");
    EXPECT_EQ(config.settings.logon_user, "");
    EXPECT_EQ(config.device.id, "dev-0001");
    EXPECT_TRUE(config.device.online);
    EXPECT_TRUE(config.device.registered);
    EXPECT_FALSE(config.device.consumer);
    EXPECT_TRUE(config.device.commercial_org);
    EXPECT_TRUE(config.device.anonymous_metrics);
    EXPECT_FALSE(config.device.critical_gateway_error);
    EXPECT_EQ(config.device.attributes, (std::map<std::string, std::string>{{"os_name", "Linux"}}));
    EXPECT_FALSE(config.pushChannel.connected);
    EXPECT_EQ(config.tls.timeout_ms, 30000);
    EXPECT_FALSE(config.tls.allow_http_loopback);
    EXPECT_EQ(config.logLevel, ZEL::LogLevel::Debug);
}

TEST(HostConfigDefaults, BaseFolderPutsEveryFolderAndThePolicyUnderIt) {
    const HostConfig config = datasyncd::BaseFolderHostConfig("/srv/ds");
    EXPECT_EQ(config.folders.service_db_dir, "/srv/ds/db/");
    EXPECT_EQ(config.folders.shared_db_dir, "/srv/ds/shared/");
    EXPECT_EQ(config.folders.local_db_dir, "/srv/ds/local/");
    EXPECT_EQ(config.folders.log_dir, "/srv/ds/log/");
    EXPECT_EQ(config.folders.state_dir, "/srv/ds/state/");
    EXPECT_EQ(config.settings.policy_file, "/srv/ds/policy.json");
    EXPECT_EQ(config.device.id, "dev-0001");  // the rest is the default
}

TEST(HostConfigDefaults, BaseFolderGivenRelativeOrWithSlashIsMadeAbsolute) {
    EXPECT_EQ(datasyncd::BaseFolderHostConfig("/srv/ds/").folders.log_dir, "/srv/ds/log/");
    const HostConfig relative = datasyncd::BaseFolderHostConfig("ds");
    ASSERT_FALSE(relative.folders.state_dir.empty());
    EXPECT_EQ(relative.folders.state_dir.front(), '/');
    EXPECT_NE(relative.folders.state_dir.find("/ds/state/"), std::string::npos);
}

TEST(HostConfigValues, EmptyObjectKeepsEveryDefault) {
    const Applied applied = Apply("{}");
    ASSERT_TRUE(applied.ok) << AllTexts(applied.problems);
    EXPECT_EQ(applied.config.folders.state_dir, "/var/lib/datasync/state/");
    EXPECT_EQ(applied.config.device.id, "dev-0001");
}

TEST(HostConfigValues, EveryKeyIsApplied) {
    const Applied applied = Apply(R"({
      "service_db_dir": "/d/db", "shared_db_dir": "/d/sh", "local_db_dir": "/d/lo", "log_dir": "/d/log",
      "state_dir": "/d/st", "policy_file": "/p/policy.json", "default_endpoint_url": "https://x.example/",
      "logon_user": "alice", "log_level": "Warning",
      "device": { "id": "dev-9", "online": false, "registered": false, "realm": "eu", "consumer": true,
                  "commercial_org": false, "anonymous_metrics": false, "critical_gateway_error": true,
                  "attributes": { "os_name": "Debian", "model": "X1" } },
      "push_channel": { "mode": "mqtt", "suppression": "all", "connected": true },
      "tls": { "ca_file": "/t/ca.pem", "client_cert": "/t/c.pem", "client_key": "/t/k.pem",
               "mtls_url_map": { "https://a/": "https://mtls.a/" }, "allow_http_loopback": true,
               "timeout_ms": 1500 }
    })");
    ASSERT_TRUE(applied.ok) << AllTexts(applied.problems);
    const HostConfig& c = applied.config;
    EXPECT_EQ(c.folders.service_db_dir, "/d/db/");
    EXPECT_EQ(c.folders.shared_db_dir, "/d/sh/");
    EXPECT_EQ(c.folders.local_db_dir, "/d/lo/");
    EXPECT_EQ(c.folders.log_dir, "/d/log/");
    EXPECT_EQ(c.folders.state_dir, "/d/st/");
    EXPECT_EQ(c.settings.policy_file, "/p/policy.json");
    EXPECT_EQ(c.settings.default_endpoint_url, "https://x.example/");
    EXPECT_EQ(c.settings.logon_user, "alice");
    EXPECT_EQ(c.logLevel, ZEL::LogLevel::Warning);
    EXPECT_EQ(c.device.id, "dev-9");
    EXPECT_FALSE(c.device.online);
    EXPECT_FALSE(c.device.registered);
    EXPECT_EQ(c.device.realm, "eu");
    EXPECT_TRUE(c.device.consumer);
    EXPECT_FALSE(c.device.commercial_org);
    EXPECT_FALSE(c.device.anonymous_metrics);
    EXPECT_TRUE(c.device.critical_gateway_error);
    // A given attributes object replaces the default one as a whole.
    EXPECT_EQ(c.device.attributes, (std::map<std::string, std::string>{{"model", "X1"}, {"os_name", "Debian"}}));
    EXPECT_EQ(c.pushChannel.mode, "mqtt");
    EXPECT_EQ(c.pushChannel.suppression, "all");
    EXPECT_TRUE(c.pushChannel.connected);
    EXPECT_EQ(c.tls.ca_file, "/t/ca.pem");
    EXPECT_EQ(c.tls.client_cert, "/t/c.pem");
    EXPECT_EQ(c.tls.client_key, "/t/k.pem");
    EXPECT_EQ(c.tls.mtls_url_map.at("https://a/"), "https://mtls.a/");
    EXPECT_TRUE(c.tls.allow_http_loopback);
    EXPECT_EQ(c.tls.timeout_ms, 1500);
}

TEST(HostConfigValues, RelativePathsResolveAgainstTheConfigFolder) {
    const Applied applied = Apply(R"({"log_dir": "log", "state_dir": "../state/", "policy_file": "p/policy.json",
                                      "tls": {"ca_file": "certs/ca.pem"}})");
    ASSERT_TRUE(applied.ok) << AllTexts(applied.problems);
    EXPECT_EQ(applied.config.folders.log_dir, "/etc/datasync/log/");
    EXPECT_EQ(applied.config.folders.state_dir, "/etc/state/");
    EXPECT_EQ(applied.config.settings.policy_file, "/etc/datasync/p/policy.json");
    EXPECT_EQ(applied.config.tls.ca_file, "/etc/datasync/certs/ca.pem");
}

TEST(HostConfigValues, EmptyTlsFilesStayEmptyForTheSystemStore) {
    const Applied applied = Apply(R"({"tls": {"ca_file": "", "client_cert": "", "client_key": ""}})");
    ASSERT_TRUE(applied.ok) << AllTexts(applied.problems);
    EXPECT_EQ(applied.config.tls.ca_file, "");
    EXPECT_EQ(applied.config.tls.client_cert, "");
}

TEST(HostConfigProblems, UnknownKeysAreNamedWithTheirPath) {
    const Applied applied =
        Apply(R"({"colour": 1, "device": {"shape": 2}, "tls": {"cipher": "x"}, "push_channel": {"x": true}})");
    EXPECT_FALSE(applied.ok);
    const std::string all = AllTexts(applied.problems);
    EXPECT_NE(all.find("/etc/datasync/host.json: colour: unknown key"), std::string::npos) << all;
    EXPECT_NE(all.find("/etc/datasync/host.json: device.shape: unknown key"), std::string::npos) << all;
    EXPECT_NE(all.find("/etc/datasync/host.json: tls.cipher: unknown key"), std::string::npos) << all;
    EXPECT_NE(all.find("/etc/datasync/host.json: push_channel.x: unknown key"), std::string::npos) << all;
    EXPECT_EQ(applied.problems.size(), 4u);
}

struct WrongType {
    const char* json;
    const char* key;
    const char* message;
};

void PrintTo(const WrongType& wrong, std::ostream* out) { *out << wrong.json; }

class HostConfigWrongType : public ::testing::TestWithParam<WrongType> {};

TEST_P(HostConfigWrongType, NamesTheKeyAndWhatWasExpected) {
    const Applied applied = Apply(GetParam().json);
    ASSERT_FALSE(applied.ok);
    ASSERT_EQ(applied.problems.size(), 1u) << AllTexts(applied.problems);
    EXPECT_EQ(applied.problems[0].key, GetParam().key);
    EXPECT_EQ(applied.problems[0].text, std::string("/etc/datasync/host.json: ") + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    EachKind, HostConfigWrongType,
    ::testing::Values(
        WrongType{R"({"device": {"online": "yes"}})", "device.online", "device.online: expected a boolean"},
        WrongType{R"({"device": {"id": 7}})", "device.id", "device.id: expected a string"},
        WrongType{R"({"device": []})", "device", "device: expected an object"},
        WrongType{R"({"device": {"attributes": {"os_name": 1}}})", "device.attributes.os_name",
                  "device.attributes.os_name: expected a string"},
        WrongType{R"({"push_channel": {"connected": 1}})", "push_channel.connected",
                  "push_channel.connected: expected a boolean"},
        WrongType{R"({"tls": {"timeout_ms": "fast"}})", "tls.timeout_ms",
                  "tls.timeout_ms: expected a positive whole number of milliseconds"},
        WrongType{R"({"tls": {"timeout_ms": 0}})", "tls.timeout_ms",
                  "tls.timeout_ms: expected a positive whole number of milliseconds"},
        WrongType{R"({"tls": {"timeout_ms": 2.5}})", "tls.timeout_ms",
                  "tls.timeout_ms: expected a positive whole number of milliseconds"},
        WrongType{R"({"tls": {"mtls_url_map": ["a"]}})", "tls.mtls_url_map", "tls.mtls_url_map: expected an object"},
        WrongType{R"({"log_dir": 5})", "log_dir", "log_dir: expected a string"},
        WrongType{R"({"state_dir": ""})", "state_dir", "state_dir: must name a folder, not be empty"},
        WrongType{R"({"policy_file": ""})", "policy_file", "policy_file: must name a file, not be empty"},
        WrongType{R"({"policy_file": "/etc/"})", "policy_file", "policy_file: must name a file, not a folder"},
        WrongType{R"({"log_level": "loud"})", "log_level",
                  "log_level: expected one of debug, info, warning, error; got \"loud\""}));

TEST(HostConfigProblems, EveryProblemOfAFileIsReportedInOneRead) {
    const Applied applied = Apply(R"({"device": {"online": 1, "registered": "no"}, "log_dir": [], "x": 0})");
    EXPECT_FALSE(applied.ok);
    EXPECT_EQ(applied.problems.size(), 4u) << AllTexts(applied.problems);
}

TEST(HostConfigProblems, NotJsonIsOneProblemNamingTheFile) {
    const Applied applied = Apply("{\"log_dir\": \"/x\",\n  oops }");
    ASSERT_EQ(applied.problems.size(), 1u);
    EXPECT_EQ(applied.problems[0].key, "");
    EXPECT_EQ(applied.problems[0].text.rfind("/etc/datasync/host.json: is not valid JSON: ", 0), 0u)
        << applied.problems[0].text;
    EXPECT_EQ(applied.problems[0].text.find('\n'), std::string::npos) << "one line";
}

TEST(HostConfigProblems, DuplicateKeysTrailingTextAndNonObjectsAreRefused) {
    EXPECT_FALSE(Apply(R"({"log_dir": "/a", "log_dir": "/b"})").ok);
    EXPECT_FALSE(Apply(R"({} {"log_dir": "/a"})").ok);
    const Applied array = Apply("[]");
    ASSERT_FALSE(array.ok);
    EXPECT_NE(array.problems[0].text.find("/etc/datasync/host.json"), std::string::npos);
}

TEST(HostConfigProblems, KeysFromTheFileCannotBreakTheOneLineMessage) {
    const Applied applied = Apply("{\"bad\\nkey\": 1}");
    ASSERT_EQ(applied.problems.size(), 1u);
    EXPECT_EQ(applied.problems[0].text.find('\n'), std::string::npos) << applied.problems[0].text;
}

TEST(HostConfigFile, IsReadWithPathsRelativeToItsOwnFolder) {
    testsupport::TempDir dir;
    const std::string path = dir.sub("etc") + "host.json";
    std::ofstream(path) << R"({"state_dir": "state", "policy_file": "policy.json"})";
    HostConfig config = datasyncd::DefaultHostConfig();
    std::vector<ConfigProblem> problems;
    ASSERT_TRUE(datasyncd::ReadHostConfigFile(path, config, problems)) << AllTexts(problems);
    EXPECT_EQ(config.folders.state_dir, dir.path() + "etc/state/");
    EXPECT_EQ(config.settings.policy_file, dir.path() + "etc/policy.json");
}

TEST(HostConfigFile, MissingFileIsOneProblemNamingIt) {
    testsupport::TempDir dir;
    HostConfig config = datasyncd::DefaultHostConfig();
    std::vector<ConfigProblem> problems;
    EXPECT_FALSE(datasyncd::ReadHostConfigFile(dir.path() + "absent.json", config, problems));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].text, dir.path() + "absent.json: cannot be read: No such file or directory");
}

TEST(HostConfigFile, FolderIsNotAConfig) {
    testsupport::TempDir dir;
    HostConfig config = datasyncd::DefaultHostConfig();
    std::vector<ConfigProblem> problems;
    EXPECT_FALSE(datasyncd::ReadHostConfigFile(dir.path(), config, problems));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].text.find("is a folder"), std::string::npos) << problems[0].text;
}

}  // namespace
