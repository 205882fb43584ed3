// The set of active critical events: set semantics over (event id, value) pairs, a reset that
// clears every value of its event, one host.log line per change and none for a repeat, the file
// in the state folder kept equal to the set and read back after a reload (memory only without a
// folder), and damaged entries skipped with one report.
#include <gtest/gtest.h>
#include <json/json.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "datasync/host/CriticalEvents.h"
#include "linuxhost/utility/UtilityTestSupport.h"

namespace {

using ZEL::CriticalEventLogger;
using EventSet = std::set<std::pair<int, int>>;

// The pairs listed in a critical-events file, read independently of the code under test.
EventSet PairsInFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    Json::Value root;
    std::string errors;
    EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &root, &errors)) << path;
    EventSet pairs;
    for (const Json::Value& entry : root["active"]) pairs.emplace(entry["eventId"].asInt(), entry["value"].asInt());
    return pairs;
}

class CriticalEvents : public testsupport::StateFolderTest {
protected:
    std::string EventsPath() const { return StateFolder() + "critical-events.json"; }
    // A state folder whose events file holds `text` when the folder is installed.
    void UseFolderWithFile(const std::string& name, const std::string& text) {
        const std::string folder = temp.sub(name);
        std::ofstream(folder + "critical-events.json", std::ios::binary) << text;
        UseStateFolder(folder);
    }
};

TEST_F(CriticalEvents, SetOfPairsWithOneHostLinePerChange) {
    EXPECT_TRUE(CriticalEventLogger::Active().empty());
    EXPECT_FALSE(std::filesystem::exists(EventsPath()));
    CriticalEventLogger::Log(3, 1);
    CriticalEventLogger::Log(3, 2);
    CriticalEventLogger::Log(3, 2);       // a repeat: no change, no line
    CriticalEventLogger::Log(5, 500);
    CriticalEventLogger::ResetError(4, 1);  // not active: no change, no line
    CriticalEventLogger::ResetError(3, 200);  // the condition ended: both values of event 3 go
    EXPECT_EQ(CriticalEventLogger::Active(), (EventSet{{5, 500}}));
    const auto lines = HostLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].text.find("3"), std::string::npos) << lines[0].text;
    EXPECT_NE(lines[0].text, lines[3].text) << "raising and clearing must be told apart";
}

TEST_F(CriticalEvents, FileFollowsEveryChangeAndIsReadBackFromItsFolder) {
    const std::string first = StateFolder();
    CriticalEventLogger::Log(1, 10);
    CriticalEventLogger::Log(2, -1);
    EXPECT_EQ(PairsInFile(EventsPath()), (EventSet{{1, 10}, {2, -1}}));
    CriticalEventLogger::ResetError(1, 10);
    EXPECT_EQ(PairsInFile(EventsPath()), (EventSet{{2, -1}}));

    UseStateFolder(temp.sub("other"));
    EXPECT_TRUE(CriticalEventLogger::Active().empty()) << "another folder holds another set";
    CriticalEventLogger::Log(9, 9);
    UseStateFolder(first);
    EXPECT_EQ(CriticalEventLogger::Active(), (EventSet{{2, -1}}));

    UseFolderWithFile("restarted", R"({"active":[{"eventId":12,"value":34},{"eventId":12,"value":35}]})");
    EXPECT_EQ(CriticalEventLogger::Active(), (EventSet{{12, 34}, {12, 35}}));

    // Without a state folder the set lives in memory only.
    UseStateFolder("");
    CriticalEventLogger::Log(21, 1);
    EXPECT_EQ(CriticalEventLogger::Active(), (EventSet{{21, 1}}));
    EXPECT_FALSE(std::filesystem::exists("critical-events.json")) << "written to the working folder";
}

// A damaged file as a whole is the state file's concern (see RegistryTest); here, damaged entries.
TEST_F(CriticalEvents, DamagedEntriesAreSkippedAndReportedOnce) {
    UseFolderWithFile("partly", R"({"active":[{"eventId":1,"value":2},{"eventId":"x","value":3},7,{"value":4}]})");
    EXPECT_EQ(CriticalEventLogger::Active(), (EventSet{{1, 2}}));
    EXPECT_EQ(HostLines().size(), 1u);
}

TEST_F(CriticalEvents, ConcurrentChangesKeepTheSetAndTheFileConsistent) {
    constexpr int kThreads = 6;
    constexpr int kEventsEach = 10;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kEventsEach; ++i) CriticalEventLogger::Log(t, i);
            if (t % 2 == 0) CriticalEventLogger::ResetError(t, 200);
        });
    }
    for (std::thread& thread : threads) thread.join();

    EventSet expected;
    for (int t = 1; t < kThreads; t += 2) {
        for (int i = 0; i < kEventsEach; ++i) expected.emplace(t, i);
    }
    EXPECT_EQ(CriticalEventLogger::Active(), expected);
    EXPECT_EQ(PairsInFile(EventsPath()), expected);
    EXPECT_EQ(HostLines().size(), static_cast<size_t>(kThreads * kEventsEach + kThreads / 2));
}

}  // namespace
