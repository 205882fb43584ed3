#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "datasync/host/CriticalEvents.h"
#include "linuxhost/HostFolders.h"
#include "linuxhost/utility/HostCriticalEvents.h"
#include "linuxhost/utility/HostRegistry.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

ZEL::linuxhost::HostCriticalEvents CriticalEventLogger;  // the host's set, as the daemon installs it
using EventSet = std::set<std::pair<int, int>>;
void Write(const std::wstring& name, long value) { ZEL::linuxhost::HostRegistry().Write(name, value); }
long Read(const std::wstring& name) { long value = 42; return ZEL::linuxhost::HostRegistry().Read(name, value) ? value : 42; }
void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

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

EventSet PairsInFile(const std::string& path) {
    const Json::Value root = ParseObject(path);
    EventSet pairs;
    for (const Json::Value& entry : root["active"]) pairs.emplace(entry["eventId"].asInt(), entry["value"].asInt());
    return pairs;
}

class StateFiles : public ::testing::Test {
protected:
    void SetUp() override { UseStateFolder(temp.sub("state")); }
    void TearDown() override { ZEL::linuxhost::InstallHostFolders({}); }
    static void UseStateFolder(const std::string& folder) {
        ZEL::linuxhost::InstallHostFolders({{}, {}, {}, {}, folder});
    }
    std::string StateFolder() const { return ZEL::linuxhost::CurrentHostFolders().state_dir; }
    std::string RegistryPath() const { return StateFolder() + "registry.json"; }
    std::string EventsPath() const { return StateFolder() + "critical-events.json"; }
    // A state folder whose events file holds `text` when the folder is installed.
    void UseFolderWithEvents(const std::string& name, const std::string& text) {
        WriteText(temp.sub(name) + "critical-events.json", text);
        UseStateFolder(temp.sub(name));
    }
    std::vector<testsupport::LogCapture::Line> HostLines() const {
        auto lines = capture.Lines();
        lines.erase(std::remove_if(lines.begin(), lines.end(), [](const auto& line) { return line.file != "host.log"; }), lines.end());
        return lines;
    }
    testsupport::TempDir temp;
    testsupport::LogCapture capture;
};

TEST_F(StateFiles, RegistryValuesReadBackByTheirExactNameFromOneJsonObjectReplacedByRename) {
    EXPECT_EQ(Read(L"Anything"), 42);
    EXPECT_TRUE(HostLines().empty()) << "a missing file is the normal first state";
    for (const auto& [name, value] : {std::pair{L"Low", LONG_MIN}, {L"High", LONG_MAX}, {L"Fehler\u00e4", 1L},
                                      {L"Fehler\u00e4", 7L}})
        Write(name, value);
    for (const auto& [name, value] : {std::pair{L"Low", LONG_MIN}, {L"High", LONG_MAX}, {L"Fehler\u00e4", 7L}, {L"fehler\u00e4", 42L}})
        EXPECT_EQ(Read(name), value) << ZEL::String::UTF16ToUTF8(name);
    Json::Value root = ParseObject(RegistryPath());
    EXPECT_EQ(root.size(), 3u);
    // A reader holding the old file keeps seeing complete old content.
    const std::string oldLink = temp.path() + "old-registry.json";
    ASSERT_EQ(::link(RegistryPath().c_str(), oldLink.c_str()), 0);
    Write(L"Low", 2);
    EXPECT_EQ(ParseObject(oldLink)["Low"].asInt64(), LONG_MIN);
    EXPECT_EQ(ParseObject(RegistryPath())["Low"].asInt64(), 2);
    WriteText(RegistryPath(), R"({"Text":"12","Fraction":1.5,"Whole":3})");
    EXPECT_EQ(Read(L"Text") + Read(L"Fraction"), 84) << "only whole numbers are values";
    EXPECT_EQ(Read(L"Whole"), 3);
}

TEST_F(StateFiles, RegistryFolderIsCreatedAndUnusableOnesOrNamesAreReported) {
    UseStateFolder(temp.path() + "not/yet/there/");
    Write(L"A", 1);
    EXPECT_EQ(Read(L"A"), 1);
    const std::string blocker = temp.path() + "blocker";
    WriteText(blocker, "a file where the folder should be");
    // No folder configured, and one that cannot be created: the report names what was lost or where.
    for (const auto& [folder, named] : {std::pair{std::string(), "LostValue=5"}, {blocker + "/", "blocker/registry.json"}}) {
        UseStateFolder(folder);
        capture.Clear();
        EXPECT_NO_THROW(Write(L"LostValue", 5));
        EXPECT_EQ(Read(L"LostValue"), 42) << folder;
        ASSERT_FALSE(HostLines().empty()) << folder;
        EXPECT_NE(HostLines()[0].text.find(named), std::string::npos) << HostLines()[0].text;
    }
}

TEST_F(StateFiles, DamagedRegistryIsReadAsEmptyReportedOnceAndReplacedByTheNextWrite) {
    for (const char* content : {"", "[1,2]", "{\"A\":1} trailing", "\xff\xfe{}"}) {
        SCOPED_TRACE(content);
        capture.Clear();
        WriteText(RegistryPath(), content);
        EXPECT_EQ(Read(L"A"), 42);
        EXPECT_EQ(Read(L"B"), 42);
        const auto lines = HostLines();
        ASSERT_EQ(lines.size(), 1u) << "one report for one damaged file";
        EXPECT_EQ(lines[0].level, ZEL::LogLevel::Warning);
        EXPECT_NE(lines[0].text.find("registry.json"), std::string::npos) << lines[0].text;
        Write(L"B", 2);
        EXPECT_EQ(ParseObject(RegistryPath()).size(), 1u);
        EXPECT_EQ(Read(L"B"), 2);
        EXPECT_EQ(HostLines().size(), 1u) << "the repaired file is not reported again";
    }
}

TEST_F(StateFiles, CriticalEventsAreASetOfPairsWithOneHostLinePerChangeKeptInTheFolderAndReadBack) {
    EXPECT_TRUE(CriticalEventLogger.Active().empty());
    EXPECT_FALSE(std::filesystem::exists(EventsPath()));
    for (auto [event, value] : {std::pair{3, 1}, {3, 2}, {3, 2}, {5, -500}})
        CriticalEventLogger.Log(event, value);
    EXPECT_EQ(PairsInFile(EventsPath()), (EventSet{{3, 1}, {3, 2}, {5, -500}}));
    // A repeat and clearing an inactive event change nothing and write no line; a clear ends all values of the event.
    CriticalEventLogger.ResetError(4, 1);
    CriticalEventLogger.ResetError(3, 200);
    EXPECT_EQ(CriticalEventLogger.Active(), (EventSet{{5, -500}}));
    EXPECT_EQ(PairsInFile(EventsPath()), (EventSet{{5, -500}}));
    const auto lines = HostLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].text, lines[3].text) << "raising and clearing must be told apart";
    const std::string first = StateFolder();
    UseStateFolder(temp.sub("other"));
    EXPECT_TRUE(CriticalEventLogger.Active().empty()) << "another folder holds another set";
    CriticalEventLogger.Log(9, 9);
    UseStateFolder(first);
    EXPECT_EQ(CriticalEventLogger.Active(), (EventSet{{5, -500}}));
    UseFolderWithEvents("restarted", R"({"active":[{"eventId":12,"value":34},{"eventId":12,"value":35}]})");
    EXPECT_EQ(CriticalEventLogger.Active(), (EventSet{{12, 34}, {12, 35}}));
    capture.Clear();
    UseFolderWithEvents("partly", R"({"active":[{"eventId":1,"value":2},{"eventId":"x","value":3},7,{"value":4}]})");
    EXPECT_EQ(CriticalEventLogger.Active(), (EventSet{{1, 2}}));
    EXPECT_EQ(HostLines().size(), 1u) << "damaged entries are reported once";
    // Without a state folder the set lives in memory only.
    UseStateFolder("");
    CriticalEventLogger.Log(21, 1);
    EXPECT_EQ(CriticalEventLogger.Active(), (EventSet{{21, 1}}));
    EXPECT_FALSE(std::filesystem::exists("critical-events.json")) << "written to the working folder";
}

// Every thread writes its own registry value and a shared one, and raises its own events; even ones clear theirs.
TEST_F(StateFiles, ConcurrentChangesLoseNoValueAndKeepTheSetAndTheFilesConsistent) {
    constexpr int kThreads = 6, kEach = 10;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) {
                Write(L"Writer" + std::to_wstring(t), t * 1000 + i);
                Write(L"Shared", t);
                CriticalEventLogger.Log(t, i);
            }
            if (t % 2 == 0) CriticalEventLogger.ResetError(t, 200);
        });
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(Read(L"Writer" + std::to_wstring(t)), t * 1000 + kEach - 1);
    EXPECT_LT(Read(L"Shared"), kThreads);
    EXPECT_EQ(ParseObject(RegistryPath()).size(), static_cast<unsigned>(kThreads + 1));
    EventSet expected;
    for (int t = 1; t < kThreads; t += 2) for (int i = 0; i < kEach; ++i) expected.emplace(t, i);
    EXPECT_EQ(CriticalEventLogger.Active(), expected);
    EXPECT_EQ(PairsInFile(EventsPath()), expected);
    const std::filesystem::directory_iterator files(StateFolder());
    EXPECT_EQ(std::distance(files, {}), 2) << "no temporary file is left behind";
    EXPECT_EQ(HostLines().size(), static_cast<size_t>(kThreads * kEach + kThreads / 2)) << "the events' lines only";
}

}  // namespace
