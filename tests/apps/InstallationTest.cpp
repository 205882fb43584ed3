// Preparing an installation (folders, the example policy) and checking a config with its policy.
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>

#include "datasyncd/HostConfig.h"
#include "datasyncd/Installation.h"
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

}  // namespace
