// The registry file: values read back after being written, other names kept, the file always
// one valid JSON object replaced by rename (never rewritten in place, no temporary files left),
// damaged files treated as empty, reported once and replaced, no file without a state folder,
// and no value lost when threads write at the same time.
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "datasync/host/Utility.h"
#include "linuxhost/utility/UtilityTestSupport.h"

namespace {

using ZEL::utility::ReadRegistryValue;
using ZEL::utility::WriteErrorToRegistry;

void Write(const std::wstring& name, long value) {
    std::wstring copy = name;  // the call takes a non-const reference
    WriteErrorToRegistry(copy, value);
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Parses the file independently of the code under test; fails the test when it is not an object.
Json::Value ParseObject(const std::string& path) {
    const std::string text = ReadText(path);
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &root, &errors)) << text;
    EXPECT_TRUE(root.isObject()) << text;
    return root;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename());
    return names;
}

class Registry : public testsupport::StateFolderTest {
protected:
    std::string RegistryPath() const { return StateFolder() + "registry.json"; }
};

TEST_F(Registry, ReadsBackWhatWasWritten) {
    Write(L"LastUploadError", 12029);
    long value = 0;
    ASSERT_TRUE(ReadRegistryValue(L"LastUploadError", value));
    EXPECT_EQ(value, 12029);
}

TEST_F(Registry, KeepsTheExtremesOfLong) {
    Write(L"Low", LONG_MIN);
    Write(L"High", LONG_MAX);
    long low = 0, high = 0;
    ASSERT_TRUE(ReadRegistryValue(L"Low", low));
    ASSERT_TRUE(ReadRegistryValue(L"High", high));
    EXPECT_EQ(low, LONG_MIN);
    EXPECT_EQ(high, LONG_MAX);
}

TEST_F(Registry, OverwritesOneNameAndKeepsTheOthers) {
    Write(L"A", 1);
    Write(L"B", 2);
    Write(L"A", 3);
    long a = 0, b = 0;
    ASSERT_TRUE(ReadRegistryValue(L"A", a));
    ASSERT_TRUE(ReadRegistryValue(L"B", b));
    EXPECT_EQ(a, 3);
    EXPECT_EQ(b, 2);
}

TEST_F(Registry, NamesAreExactAndMayBeNonAscii) {
    Write(L"Fehler\u00e4", 7);
    long value = 0;
    EXPECT_FALSE(ReadRegistryValue(L"fehler\u00e4", value));
    ASSERT_TRUE(ReadRegistryValue(L"Fehler\u00e4", value));
    EXPECT_EQ(value, 7);
    EXPECT_EQ(ParseObject(RegistryPath())["Fehler\xc3\xa4"].asInt64(), 7);
}

TEST_F(Registry, UnknownNameIsNotFoundAndLeavesTheOutputAlone) {
    Write(L"Known", 1);
    long value = 42;
    EXPECT_FALSE(ReadRegistryValue(L"Unknown", value));
    EXPECT_EQ(value, 42);
}

TEST_F(Registry, NothingIsFoundBeforeTheFirstWrite) {
    long value = 42;
    EXPECT_FALSE(ReadRegistryValue(L"Anything", value));
    EXPECT_EQ(value, 42);
    EXPECT_TRUE(HostLines().empty()) << "a missing file is the normal first state";
}

TEST_F(Registry, FileIsOneJsonObjectOfTheValues) {
    Write(L"A", -5);
    Write(L"B", 6);
    const Json::Value root = ParseObject(RegistryPath());
    EXPECT_EQ(root.size(), 2u);
    EXPECT_EQ(root["A"].asInt64(), -5);
    EXPECT_EQ(root["B"].asInt64(), 6);
}

TEST_F(Registry, LeavesNoTemporaryFileBehind) {
    for (int i = 0; i < 5; ++i) Write(L"N" + std::to_wstring(i), i);
    EXPECT_EQ(FolderEntries(StateFolder()), std::vector<std::string>{"registry.json"});
}

TEST_F(Registry, ReplacesTheFileInsteadOfRewritingIt) {
    Write(L"A", 1);
    struct stat before {};
    ASSERT_EQ(::stat(RegistryPath().c_str(), &before), 0);
    // A reader holding the old file keeps seeing complete old content.
    const std::string oldLink = temp.path() + "old-registry.json";
    ASSERT_EQ(::link(RegistryPath().c_str(), oldLink.c_str()), 0);
    Write(L"A", 2);
    struct stat after {};
    ASSERT_EQ(::stat(RegistryPath().c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(ParseObject(oldLink)["A"].asInt64(), 1);
}

TEST_F(Registry, CreatesAMissingStateFolder) {
    UseStateFolder(temp.path() + "not/yet/there/");
    Write(L"A", 1);
    long value = 0;
    ASSERT_TRUE(ReadRegistryValue(L"A", value));
    EXPECT_TRUE(std::filesystem::is_regular_file(temp.path() + "not/yet/there/registry.json"));
}

TEST_F(Registry, WithoutStateFolderStoresNothingAndSaysSo) {
    UseStateFolder("");
    Write(L"LostValue", 5);
    long value = 0;
    EXPECT_FALSE(ReadRegistryValue(L"LostValue", value));
    const auto lines = HostLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].text.find("LostValue"), std::string::npos) << lines[0].text;
    EXPECT_TRUE(FolderEntries(temp.path() + "state").empty());
}

TEST_F(Registry, EmptyNameIsRefused) {
    Write(L"", 5);
    long value = 0;
    EXPECT_FALSE(ReadRegistryValue(L"", value));
    EXPECT_FALSE(std::filesystem::exists(RegistryPath()));
    EXPECT_EQ(HostLines().size(), 1u);
}

TEST_F(Registry, NonIntegralStoredValueIsNotFound) {
    WriteText(RegistryPath(), R"({"Text":"12","Fraction":1.5,"Whole":3})");
    long value = 42;
    EXPECT_FALSE(ReadRegistryValue(L"Text", value));
    EXPECT_FALSE(ReadRegistryValue(L"Fraction", value));
    EXPECT_EQ(value, 42);
    ASSERT_TRUE(ReadRegistryValue(L"Whole", value));
    EXPECT_EQ(value, 3);
}

TEST_F(Registry, WriteFailureIsReportedAndThrowsNothing) {
    const std::string blocker = temp.path() + "blocker";
    WriteText(blocker, "a file where the folder should be");
    UseStateFolder(blocker + "/");
    Write(L"A", 1);
    long value = 0;
    EXPECT_FALSE(ReadRegistryValue(L"A", value));
    EXPECT_FALSE(HostLines().empty());
    EXPECT_EQ(ReadText(blocker), "a file where the folder should be");
}

class DamagedRegistry : public Registry, public ::testing::WithParamInterface<const char*> {};

TEST_P(DamagedRegistry, IsReadAsEmptyReportedOnceAndReplacedByTheNextWrite) {
    WriteText(RegistryPath(), GetParam());
    long value = 42;
    EXPECT_FALSE(ReadRegistryValue(L"A", value));
    EXPECT_FALSE(ReadRegistryValue(L"B", value));
    EXPECT_EQ(value, 42);
    auto lines = HostLines();
    ASSERT_EQ(lines.size(), 1u) << "one report for one damaged file";
    EXPECT_EQ(lines[0].level, ZEL::LogLevel::Warning);
    EXPECT_NE(lines[0].text.find("registry.json"), std::string::npos) << lines[0].text;

    Write(L"B", 2);
    const Json::Value root = ParseObject(RegistryPath());
    EXPECT_EQ(root.size(), 1u);
    EXPECT_EQ(root["B"].asInt64(), 2);
    ASSERT_TRUE(ReadRegistryValue(L"B", value));
    EXPECT_EQ(value, 2);
    EXPECT_EQ(HostLines().size(), 1u) << "the repaired file is not reported again";
}

INSTANTIATE_TEST_SUITE_P(Contents, DamagedRegistry,
                         ::testing::Values("", "{not json", "[1,2]", "12", "{\"A\":1} trailing", "\xff\xfe{}",
                                           "{\"A\":1"));

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

    for (int t = 0; t < kThreads; ++t) {
        long value = -1;
        ASSERT_TRUE(ReadRegistryValue(L"Writer" + std::to_wstring(t), value)) << t;
        EXPECT_EQ(value, t * 1000 + kWritesEach - 1) << t;
    }
    long shared = -1;
    ASSERT_TRUE(ReadRegistryValue(L"Shared", shared));
    EXPECT_GE(shared, 0);
    EXPECT_LT(shared, kThreads);
    EXPECT_EQ(ParseObject(RegistryPath()).size(), static_cast<unsigned>(kThreads + 1));
    EXPECT_EQ(FolderEntries(StateFolder()).size(), 1u);
    EXPECT_TRUE(HostLines().empty());
}

}  // namespace
