// The registry file: values read back by name, the file one JSON object replaced by rename,
// damaged files read as empty and reported once, no file without a state folder, and no value
// lost when threads write at the same time.
#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "datasync/host/Utility.h"
#include "linuxhost/utility/UtilityTestSupport.h"

namespace {

void Write(std::wstring name, long value) {
    ZEL::utility::WriteErrorToRegistry(name, value);
}

// The stored value, or 42 when there is none.
long Read(const std::wstring& name) {
    long value = 42;
    return ZEL::utility::ReadRegistryValue(name, value) ? value : 42;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Parses the file independently of the code under test; fails the test when it is not an object.
Json::Value ParseObject(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    Json::Value root;
    std::string errors;
    EXPECT_TRUE(Json::parseFromStream(builder, in, &root, &errors) && root.isObject()) << path;
    return root;
}

std::size_t FolderSize(const std::string& folder) {
    using std::filesystem::directory_iterator;
    return static_cast<std::size_t>(std::distance(directory_iterator(folder), directory_iterator()));
}

class Registry : public testsupport::StateFolderTest {
protected:
    std::string RegistryPath() const { return StateFolder() + "registry.json"; }
};

TEST_F(Registry, ValuesReadBackByTheirExactNameFromOneJsonObjectReplacedByRename) {
    EXPECT_EQ(Read(L"Anything"), 42);
    EXPECT_TRUE(HostLines().empty()) << "a missing file is the normal first state";
    Write(L"Low", LONG_MIN);
    Write(L"High", LONG_MAX);
    Write(L"Fehler\u00e4", 1);
    Write(L"Fehler\u00e4", 7);
    EXPECT_EQ(Read(L"Low"), LONG_MIN);
    EXPECT_EQ(Read(L"High"), LONG_MAX);
    EXPECT_EQ(Read(L"Fehler\u00e4"), 7);
    EXPECT_EQ(Read(L"fehler\u00e4"), 42);

    Json::Value root = ParseObject(RegistryPath());
    EXPECT_EQ(root.size(), 3u);
    EXPECT_EQ(root["Fehler\xc3\xa4"].asInt64(), 7);

    // A reader holding the old file keeps seeing complete old content.
    const std::string oldLink = temp.path() + "old-registry.json";
    ASSERT_EQ(::link(RegistryPath().c_str(), oldLink.c_str()), 0);
    Write(L"Low", 2);
    EXPECT_EQ(ParseObject(oldLink)["Low"].asInt64(), LONG_MIN);
    EXPECT_EQ(ParseObject(RegistryPath())["Low"].asInt64(), 2);
    EXPECT_EQ(FolderSize(StateFolder()), 1u) << "no temporary file is left behind";

    WriteText(RegistryPath(), R"({"Text":"12","Fraction":1.5,"Whole":3})");
    EXPECT_EQ(Read(L"Text") + Read(L"Fraction"), 84) << "only whole numbers are values";
    EXPECT_EQ(Read(L"Whole"), 3);
}

TEST_F(Registry, MissingFolderIsCreatedAndUnusableOnesOrNamesAreReported) {
    UseStateFolder(temp.path() + "not/yet/there/");
    Write(L"A", 1);
    EXPECT_EQ(Read(L"A"), 1);

    const std::string blocker = temp.path() + "blocker";
    WriteText(blocker, "a file where the folder should be");
    // No folder configured, and one that cannot be created: the report names what was lost or where.
    for (const auto& [folder, named] :
         {std::pair{std::string(), "LostValue=5"}, {blocker + "/", "blocker/registry.json"}}) {
        SCOPED_TRACE(folder);
        UseStateFolder(folder);
        capture.Clear();
        EXPECT_NO_THROW(Write(L"LostValue", 5));
        EXPECT_EQ(Read(L"LostValue"), 42);
        ASSERT_FALSE(HostLines().empty());
        EXPECT_NE(HostLines()[0].text.find(named), std::string::npos) << HostLines()[0].text;
    }

    UseStateFolder(temp.path() + "state/");
    capture.Clear();
    Write(L"", 5);
    EXPECT_EQ(Read(L""), 42);
    EXPECT_EQ(HostLines().size(), 1u);
    EXPECT_EQ(FolderSize(temp.path() + "state"), 0u);
}

TEST_F(Registry, DamagedFileIsReadAsEmptyReportedOnceAndReplacedByTheNextWrite) {
    for (const char* content : {"", "[1,2]", "{\"A\":1} trailing", "\xff\xfe{}"}) {
        SCOPED_TRACE(content);
        capture.Clear();
        WriteText(RegistryPath(), content);
        EXPECT_EQ(Read(L"A"), 42);
        EXPECT_EQ(Read(L"B"), 42);
        auto lines = HostLines();
        ASSERT_EQ(lines.size(), 1u) << "one report for one damaged file";
        EXPECT_EQ(lines[0].level, ZEL::LogLevel::Warning);
        EXPECT_NE(lines[0].text.find("registry.json"), std::string::npos) << lines[0].text;

        Write(L"B", 2);
        EXPECT_EQ(ParseObject(RegistryPath()).size(), 1u);
        EXPECT_EQ(Read(L"B"), 2);
        EXPECT_EQ(HostLines().size(), 1u) << "the repaired file is not reported again";
    }
}

TEST_F(Registry, ConcurrentWritersLoseNoValue) {
    constexpr int kThreads = 4;
    constexpr int kWritesEach = 10;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kWritesEach; ++i) {
                Write(L"Writer" + std::to_wstring(t), t * 1000 + i);
                Write(L"Shared", t);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(Read(L"Writer" + std::to_wstring(t)), t * 1000 + kWritesEach - 1);
    EXPECT_LT(Read(L"Shared"), kThreads);
    EXPECT_EQ(ParseObject(RegistryPath()).size(), static_cast<unsigned>(kThreads + 1));
    EXPECT_EQ(FolderSize(StateFolder()), 1u);
    EXPECT_TRUE(HostLines().empty());
}

}  // namespace
