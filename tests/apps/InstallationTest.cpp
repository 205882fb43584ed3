// Preparing an installation (folders, the example policy) and checking a config with its policy.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "datasyncd/HostConfig.h"
#include "datasyncd/Installation.h"
#include "linuxhost/policy/PolicyFileAgent.h"
#include "support/TempDir.h"

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return 0;
    return info.st_mode & 07777;
}

bool IsFolder(const std::string& path) { return std::filesystem::is_directory(path); }

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    return all;
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

TEST(InstallationFolders, AreCreatedWithTheStateFolderPrivate) {
    testsupport::TempDir dir;
    const datasyncd::HostConfig config = datasyncd::BaseFolderHostConfig(dir.path() + "base");
    datasyncd::PrepareFolders(config);
    for (const char* name : {"db", "shared", "local", "log", "state"})
        EXPECT_TRUE(IsFolder(dir.path() + "base/" + name)) << name;
    EXPECT_EQ(ModeOf(dir.path() + "base/state"), 0700u);
}

TEST(InstallationFolders, ExistingFoldersAreLeftAsTheyAre) {
    testsupport::TempDir dir;
    const std::string state = dir.sub("base/state");
    ASSERT_EQ(::chmod(state.c_str(), 0750), 0);
    datasyncd::PrepareFolders(datasyncd::BaseFolderHostConfig(dir.path() + "base"));
    EXPECT_EQ(ModeOf(state), 0750u);
}

TEST(InstallationFolders, AFileInTheWayIsNamedInTheError) {
    testsupport::TempDir dir;
    dir.sub("base");
    WriteFile(dir.path() + "base/log", "not a folder");
    try {
        datasyncd::PrepareFolders(datasyncd::BaseFolderHostConfig(dir.path() + "base"));
        FAIL() << "expected an error";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find(dir.path() + "base/log"), std::string::npos) << error.what();
    }
}

TEST(ExamplePolicy, IsAValidPolicyNamingTheThreeLoopbackEndpoints) {
    testsupport::TempDir dir;
    const std::string path = dir.path() + "policy.json";
    ASSERT_TRUE(datasyncd::WriteExamplePolicyIfMissing(path));
    std::vector<std::string> problems;
    EXPECT_TRUE(ZEL::linuxhost::PolicyFileAgent::ValidatePolicyFile(path, problems)) << Joined(problems);
    const std::string text = datasyncd::ExamplePolicyText();
    EXPECT_NE(text.find("\"KTA_syncEP_url\": \"https://127.0.0.1:8443/kta/\""), std::string::npos);
    EXPECT_NE(text.find("\"NAVS_syncEP_url\": \"https://127.0.0.1:8443/navs/\""), std::string::npos);
    EXPECT_NE(text.find("\"NAVP_syncEP_url\": \"https://127.0.0.1:8443/navp\""), std::string::npos);
    // Nothing but the policy is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
}

TEST(ExamplePolicy, NeverReplacesAnExistingPolicy) {
    testsupport::TempDir dir;
    const std::string path = dir.path() + "policy.json";
    WriteFile(path, "{\"telemetry_scope\": \"none\"}");
    EXPECT_FALSE(datasyncd::WriteExamplePolicyIfMissing(path));
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "{\"telemetry_scope\": \"none\"}");
}

class CheckConfig : public ::testing::Test {
protected:
    void SetUp() override { datasyncd::WriteExamplePolicyIfMissing(dir.path() + "policy.json"); }
    std::string Config(const std::string& text) {
        WriteFile(dir.path() + "host.json", text);
        return dir.path() + "host.json";
    }
    testsupport::TempDir dir;
};

TEST_F(CheckConfig, GoodConfigWithGoodPolicyHasNoProblems) {
    EXPECT_EQ(Joined(datasyncd::CheckConfigFile(Config(R"({"policy_file": "policy.json"})"))), "");
}

TEST_F(CheckConfig, ConfigAndPolicyProblemsAreListedTogether) {
    WriteFile(dir.path() + "bad-policy.json",
              R"({"datasets": [{"dataset_id": "../../etc/passwd", "dataset_name": "X"}]})");
    const std::vector<std::string> problems =
        datasyncd::CheckConfigFile(Config(R"({"policy_file": "bad-policy.json", "device": {"online": "no"}})"));
    const std::string all = Joined(problems);
    ASSERT_EQ(problems.size(), 2u) << all;
    EXPECT_EQ(problems[0], dir.path() + "host.json: device.online: expected a boolean");
    EXPECT_NE(problems[1].find("datasets[0].dataset_id"), std::string::npos) << all;
    EXPECT_NE(problems[1].find(dir.path() + "bad-policy.json"), std::string::npos) << all;
}

TEST_F(CheckConfig, MissingPolicyFileIsAProblemNamingIt) {
    const std::vector<std::string> problems = datasyncd::CheckConfigFile(Config(R"({"policy_file": "absent.json"})"));
    ASSERT_EQ(problems.size(), 1u) << Joined(problems);
    EXPECT_NE(problems[0].find(dir.path() + "absent.json"), std::string::npos) << problems[0];
}

TEST_F(CheckConfig, PolicyIsNotCheckedWhenTheConfigDoesNotNameOneUsably) {
    // A policy_file of the wrong type must not make the check look at the default policy path.
    const std::vector<std::string> problems = datasyncd::CheckConfigFile(Config(R"({"policy_file": 3})"));
    ASSERT_EQ(problems.size(), 1u) << Joined(problems);
    EXPECT_EQ(problems[0], dir.path() + "host.json: policy_file: expected a string");
    const std::vector<std::string> unreadable = datasyncd::CheckConfigFile(dir.path() + "absent.json");
    ASSERT_EQ(unreadable.size(), 1u) << Joined(unreadable);
    EXPECT_NE(unreadable[0].find(dir.path() + "absent.json: cannot be read"), std::string::npos);
}

}  // namespace
