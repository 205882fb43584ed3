#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>

#include "datasyncd/HostConfig.h"
#include "datasyncd/Installation.h"
#include "datasyncctl/Pki.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    return all;
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

TEST(Installation, FoldersAreCreatedWithTheStateFolderPrivateAndExistingOnesKept) {
    testsupport::TempDir dir;
    const std::string kept = dir.sub("base/local");
    fs::permissions(kept, fs::perms(0750));
    datasyncd::PrepareFolders(datasyncd::BaseFolderHostConfig(dir.path() + "base"));
    for (const char* name : {"db", "shared", "log", "state"})
        EXPECT_TRUE(fs::is_directory(dir.path() + "base/" + name)) << name;
    EXPECT_EQ(fs::status(dir.path() + "base/state").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(kept).permissions(), fs::perms(0750));

    dir.sub("other");
    WriteFile(dir.path() + "other/log", "not a folder");
    EXPECT_THAT([&] { datasyncd::PrepareFolders(datasyncd::BaseFolderHostConfig(dir.path() + "other")); },
                testing::ThrowsMessage<std::runtime_error>(testing::HasSubstr(dir.path() + "other/log")));
}

// At every start as the config says then: a read group named once and removed since keeps no way in.
TEST(Installation, TheStateFolderFollowsTheControlReadGroupAtEveryStart) {
    testsupport::TempDir dir;
    datasyncd::HostConfig config = datasyncd::BaseFolderHostConfig(dir.path() + "base");
    // A group this user may give its folder: any as root, else one of its own.
    gid_t group = ::getegid();
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
    if (::geteuid() == 0) group = 1;
    else if (!groups.empty() && ::getgroups(static_cast<int>(groups.size()), groups.data()) > 0) group = groups.back();
    const std::string state = dir.path() + "base/state";
    struct stat info {};
    for (const bool readGroup : {true, false, true, false}) {
        SCOPED_TRACE(readGroup ? "with a read group" : "without");
        config.controlReadGroup = readGroup ? "readers" : "";
        config.controlReadGid = readGroup ? std::optional<gid_t>(group) : std::nullopt;
        datasyncd::PrepareFolders(config);
        ASSERT_EQ(::stat(state.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, readGroup ? 0710u : 0700u);
        EXPECT_EQ(info.st_gid, readGroup ? group : ::getegid());
    }
}

TEST(Installation, ExamplePolicyNeverReplacesAnExistingOne) {
    testsupport::TempDir dir;
    const std::string path = dir.path() + "policy.json";
    ASSERT_TRUE(datasyncd::WriteExamplePolicyIfMissing(path));  // DaemonProcess runs with it
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1)
        << "nothing but the policy is left behind";

    WriteFile(path, "{\"telemetry_scope\": \"none\"}");
    EXPECT_FALSE(datasyncd::WriteExamplePolicyIfMissing(path));
    EXPECT_EQ(fs::file_size(path), 27u) << "the existing policy was replaced";
}

// A policy_file of the wrong type must not make the check look at the default policy path.
TEST(CheckConfig, PolicyIsCheckedOnlyWhenTheConfigNamesOneUsably) {
    testsupport::TempDir dir;
    const auto check = [&](const std::string& text) {
        WriteFile(dir.path() + "host.json", text);
        return Joined(datasyncd::CheckConfigFile(dir.path() + "host.json"));
    };
    EXPECT_EQ(check(R"({"policy_file": 3})"), dir.path() + "host.json: policy_file: expected a string\n");
    EXPECT_NE(check(R"({"policy_file": "absent.json"})").find(dir.path() + "absent.json"), std::string::npos);
}

// The TLS files: each that cannot be read is a problem naming it; a key others can read and a client
// certificate expired or expiring within 30 days are warnings, the latter naming its end date.
TEST(CheckConfig, TlsFilesThatCannotBeReadKeysOthersCanReadAndCertificatesNearTheirEndAreNamed) {
    testsupport::TempDir dir;
    using namespace datasyncctl::pki;
    constexpr long kDay = 24 * 60 * 60;
    const Issued ca = Issue("Check CA", Role::Authority, nullptr, -kDay, 400 * kDay);
    const auto client = [&](const std::string& name, long days, mode_t keyMode) {
        const std::string cert = dir.path() + name + ".pem", key = dir.path() + name + "-key.pem";
        Write(Issue("dev", Role::Client, &ca, -10 * kDay, days * kDay), cert, &key);
        fs::permissions(key, fs::perms(keyMode));
        return R"({"policy_file": "a.json", "tls": {"ca_file": ")" + cert + R"(", "client_cert": ")" + cert +
               R"(", "client_key": ")" + key + R"("}})";
    };
    const std::time_t soon = std::time(nullptr) + 10 * kDay;
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", std::gmtime(&soon));
    // What the problems and the warnings say of the TLS keys (empty: nothing).
    const struct { std::string config, problem, warning; } cases[] = {
        {client("good", 90, 0600), "", ""},
        {client("open", 90, 0644), "", "tls.client_key: " + dir.path() + "open-key.pem can be read by other users"},
        {client("old", -2, 0600), "", "tls.client_cert: " + dir.path() + "old.pem expired on "},
        {client("soon", 10, 0600), "", "tls.client_cert: " + dir.path() + "soon.pem expires on " + date},
        {R"({"policy_file": "a.json", "tls": {"ca_file": "none.pem"}})", "tls.ca_file: cannot read " + dir.path() + "none.pem", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config);
        WriteFile(dir.path() + "host.json", c.config);
        std::vector<std::string> warnings;
        const std::string problems = Joined(datasyncd::CheckConfigFile(dir.path() + "host.json", &warnings));
        for (const auto& [said, expected] : {std::pair{problems, c.problem}, {Joined(warnings), c.warning}}) {
            const std::size_t at = said.find("tls.");  // the first line of the TLS files
            EXPECT_EQ(at == std::string::npos ? "" : said.substr(at, expected.size()), expected) << said;
        }
    }
}

TEST(CheckConfig, WarnsOfWhatKeepsAValidInstallFromUploading) {
    testsupport::TempDir dir;
    const auto dataset = [](const char* endpoints, bool enabled = true) {
        return std::string(R"("datasets": [{"dataset_id": "6F1C2D3E-0000-4000-8000-000000000001", "syncEPs": ")") +
               endpoints + R"(", "include_events": ["ALL"], "dataset_enable": )" + (enabled ? "true" : "false") + "}]";
    };
    const std::string navp = R"("navp_url": "https://navp.datasync.net/n", )", loopback = "is on 127.0.0.9, a loopback host";
    const struct { std::string host, policy, warning; } cases[] = {
        {"", navp + dataset("NAVP"), ""},  // NAVP sends no client certificate
        {"", navp + R"("datasets": [])", "policy.json: datasets: none in force"},
        {"", navp + dataset("NAVP", false), "policy.json: datasets: none of the 1 is enabled"},
        {"", navp + R"("auth_mode": "MTLS", )" + dataset("NAVS,NAVP"), "host.json: tls.client_cert: \"\" (none): NAVS"},
        {R"("tls": {"client_cert": "c.pem"}, )", dataset("KTA"), "host.json: tls.client_key: \"\" (none): KTA uploads"},
        {R"("default_endpoint_url": "https://telemetry.invalid/", )", dataset("KTA"),
         "host.json: default_endpoint_url: \"https://telemetry.invalid/\" (the KTA URL) is on telemetry.invalid, a name"},
        {"", R"("navp_url": "https://api.Example.COM./n", )" + dataset("NAVP"), "is on api.example.com, a name reserved"},
        {"", R"("navp_url": "https://notexample.com/n", )" + dataset("NAVP"), ""},
        {"", R"("navp_url": "https://u@[::1]:8443/n", )" + dataset("NAVP"), "navp_url: \"https://u@[::1]:8443/n\""},
        {"", R"("navs_url": "https://localhost/", )" + dataset("NAVS"), "navs_url: \"https://localhost/\" (the NAVS"},
        {"", R"("sync_endpoint_urls": {"NAVP_syncEP_url": "https://127.0.0.9/p"}, )" + dataset("NAVP"), loopback},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host + " / " + c.policy);
        WriteFile(dir.path() + "host.json", "{" + c.host + R"("policy_file": "policy.json"})");
        WriteFile(dir.path() + "policy.json", "{" + c.policy + "}");
        std::vector<std::string> warnings;
        datasyncd::CheckConfigFile(dir.path() + "host.json", &warnings);
        const std::string said = Joined(warnings);
        EXPECT_TRUE(c.warning.empty() ? said.empty() : said.find(c.warning) != std::string::npos) << said;
    }
}

}  // namespace
