// The set of active critical events: set semantics over (event id, value) pairs, one host.log
// line per change and none for a repeat, the file in the state folder kept equal to the set,
// the set read back from that file after a reload, and damaged files treated as empty.
#include <gtest/gtest.h>
#include <json/json.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "datasync/host/CriticalEvents.h"
#include "linuxhost/utility/UtilityTestSupport.h"

namespace {

using ZEL::CriticalEventLogger;
using EventSet = std::set<std::pair<int, int>>;

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// The pairs listed in a critical-events file, read independently of the code under test.
EventSet PairsInFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    Json::Value root;
    std::istringstream stream(text.str());
    std::string errors;
    EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), stream, &root, &errors)) << text.str();
    EventSet pairs;
    for (const Json::Value& entry : root["active"])
        pairs.emplace(entry["eventId"].asInt(), entry["value"].asInt());
    return pairs;
}

class CriticalEvents : public testsupport::StateFolderTest {
protected:
    std::string EventsPath() const { return StateFolder() + "critical-events.json"; }
};

TEST_F(CriticalEvents, StartEmptyInAFreshStateFolder) {
    EXPECT_TRUE(CriticalEventLogger::Active().empty());
    EXPECT_FALSE(std::filesystem::exists(EventsPath()));
}

TEST_F(CriticalEvents, LogAddsThePairAndResetRemovesIt) {
    CriticalEventLogger::Log(3, 12029);
    EXPECT_EQ(CriticalEventLogger::Active(), (EventSet{{3, 12029}}));
    CriticalEventLogger::ResetError(3, 12029);
    EXPECT_TRUE(CriticalEventLogger::Active().empty());
}

TEST_F(CriticalEvents, SameEventWithOtherValuesAreSeparatePairs) {
    CriticalEventLogger::Log(3, 1);
    CriticalEventLogger::Log(3, 2);
    CriticalEventLogger::Log(4, 1);
    CriticalEventLogger::ResetError(3, 1);
    EXPECT_EQ(CriticalEventLogger::Active(), (EventSet{{3, 2}, {4, 1}}));
}

TEST_F(CriticalEvents, RepeatingALogChangesNothingAndWritesNoLine) {
    CriticalEventLogger::Log(7, 1);
    CriticalEventLogger::Log(7, 1);
    EXPECT_EQ(CriticalEventLogger::Active(), (EventSet{{7, 1}}));
    EXPECT_EQ(HostLines().size(), 1u);
}

TEST_F(CriticalEvents, ResettingAnInactivePairChangesNothingAndWritesNoLine) {
    CriticalEventLogger::Log(7, 1);
    capture.Clear();
    CriticalEventLogger::ResetError(7, 2);
    CriticalEventLogger::ResetError(8, 1);
    EXPECT_EQ(CriticalEventLogger::Active(), (EventSet{{7, 1}}));
    EXPECT_TRUE(HostLines().empty());
}

TEST_F(CriticalEvents, EachChangeWritesOneHostLineNamingThePair) {
    CriticalEventLogger::Log(11, 4242);
    CriticalEventLogger::ResetError(11, 4242);
    const auto lines = HostLines();
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& line : lines) {
        EXPECT_NE(line.text.find("11"), std::string::npos) << line.text;
        EXPECT_NE(line.text.find("4242"), std::string::npos) << line.text;
    }
    EXPECT_NE(lines[0].text, lines[1].text) << "raising and clearing must be told apart";
}

TEST_F(CriticalEvents, FileFollowsEveryChange) {
    CriticalEventLogger::Log(1, 10);
    EXPECT_EQ(PairsInFile(EventsPath()), (EventSet{{1, 10}}));
    CriticalEventLogger::Log(2, 20);
    EXPECT_EQ(PairsInFile(EventsPath()), (EventSet{{1, 10}, {2, 20}}));
    CriticalEventLogger::ResetError(1, 10);
    EXPECT_EQ(PairsInFile(EventsPath()), (EventSet{{2, 20}}));
    CriticalEventLogger::ResetError(2, 20);
    EXPECT_TRUE(PairsInFile(EventsPath()).empty());
}

TEST_F(CriticalEvents, SetSurvivesAReloadFromItsFolder) {
    const std::string first = StateFolder();
    CriticalEventLogger::Log(5, -1);
    CriticalEventLogger::Log(6, 0);

    UseStateFolder(temp.sub("other"));
    EXPECT_TRUE(CriticalEventLogger::Active().empty()) << "another folder holds another set";
    CriticalEventLogger::Log(9, 9);

    UseStateFolder(first);
    EXPECT_EQ(CriticalEventLogger::Active(), (EventSet{{5, -1}, {6, 0}}));
}

TEST_F(CriticalEvents, FileWrittenBeforeStartIsLoaded) {
    const std::string folder = temp.sub("restarted");
    WriteText(folder + "critical-events.json",
              R"({"active":[{"eventId":12,"value":34},{"eventId":12,"value":35}]})");
    UseStateFolder(folder);
    EXPECT_EQ(CriticalEventLogger::Active(), (EventSet{{12, 34}, {12, 35}}));
    CriticalEventLogger::ResetError(12, 34);
    EXPECT_EQ(PairsInFile(folder + "critical-events.json"), (EventSet{{12, 35}}));
}

TEST_F(CriticalEvents, DamagedFileIsReadAsEmptyAndReplacedByTheNextChange) {
    const std::string folder = temp.sub("damaged");
    WriteText(folder + "critical-events.json", "{\"active\": [");
    UseStateFolder(folder);
    EXPECT_TRUE(CriticalEventLogger::Active().empty());
    EXPECT_EQ(HostLines().size(), 1u);
    CriticalEventLogger::Log(1, 1);
    EXPECT_EQ(PairsInFile(folder + "critical-events.json"), (EventSet{{1, 1}}));
}

TEST_F(CriticalEvents, MalformedEntriesAreSkippedAndReported) {
    const std::string folder = temp.sub("partly");
    WriteText(folder + "critical-events.json",
              R"({"active":[{"eventId":1,"value":2},{"eventId":"x","value":3},7,{"value":4}]})");
    UseStateFolder(folder);
    EXPECT_EQ(CriticalEventLogger::Active(), (EventSet{{1, 2}}));
    EXPECT_EQ(HostLines().size(), 1u);
}

TEST_F(CriticalEvents, WithoutStateFolderTheSetLivesInMemoryOnly) {
    UseStateFolder("");
    CriticalEventLogger::Log(21, 1);
    EXPECT_EQ(CriticalEventLogger::Active(), (EventSet{{21, 1}}));
    EXPECT_EQ(HostLines().size(), 1u);
    CriticalEventLogger::ResetError(21, 1);  // leaves the in-memory set as it was found
    EXPECT_TRUE(CriticalEventLogger::Active().empty());
    EXPECT_TRUE(std::filesystem::is_empty(temp.path() + "state"));
}

TEST_F(CriticalEvents, ConcurrentChangesKeepTheSetAndTheFileConsistent) {
    constexpr int kThreads = 6;
    constexpr int kEventsEach = 10;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kEventsEach; ++i) CriticalEventLogger::Log(t, i);
            for (int i = 0; i < kEventsEach; i += 2) CriticalEventLogger::ResetError(t, i);
        });
    }
    for (std::thread& thread : threads) thread.join();

    EventSet expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 1; i < kEventsEach; i += 2) expected.emplace(t, i);
    }
    EXPECT_EQ(CriticalEventLogger::Active(), expected);
    EXPECT_EQ(PairsInFile(EventsPath()), expected);
    EXPECT_EQ(HostLines().size(), static_cast<size_t>(kThreads * (kEventsEach + kEventsEach / 2)));
}

}  // namespace
