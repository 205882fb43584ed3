// Preparing an installation (folders, the example policy) and checking a config with its policy.
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace
