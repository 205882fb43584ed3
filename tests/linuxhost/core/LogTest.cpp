#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "datasync/host/Log.h"
#include "linuxhost/logging/FileLogging.h"
#include "linuxhost/logging/RepeatFilter.h"
#include "support/TempDir.h"
#include "support/TextShape.h"
#include "support/WaitUntil.h"

namespace {

using ZEL::LogLevel;
using ZEL::linuxhost::ConfigureFileLogging;
using ZEL::linuxhost::ShutdownFileLogging;
using ZEL::utility::InitLog;
const std::string kMarker = " [log format error]";

struct PickySink : ZEL::LogSink {  // takes warnings and errors only, and fails on a chosen text
    bool Enabled(LogLevel level) const override { return level >= LogLevel::Warning; }
    void Write(LogLevel, const std::string& text) override { text == "explode" ? throw 1 : lines.push_back(text); }
    std::vector<std::string> lines;
};

// Formatting itself is fmt's; ours are wide text going out as UTF-8, mismatches and sink failures that never
// throw, the sink's choice of levels, a name's sink kept until the factory changes, and a failing sink
// factory that binds nothing.
TEST(Log, WideTextGoesOutAsUtf8FailuresStayInsideAndTheSinkPicksLevels) {
    auto sink = std::make_shared<PickySink>();
    ZEL::Log log;
    log.Bind(sink);
    EXPECT_NO_THROW((log.d(L"debug"), log.i(L"info"), log.e(L"explode"), log.e(nullptr, 1),
                     log.w(L"%s/%s %d", std::wstring(L"d\u00e9fault"), static_cast<const wchar_t*>(L"internal/DB"), 7),
                     log.e(L"count \u00e9 %d", std::wstring(L"five")), log.w(L"%s copied %d rows", L"KTA"),
                     log.e(L"value=%s", static_cast<const wchar_t*>(nullptr))));
    ASSERT_EQ(sink->lines.size(), 4u);
    EXPECT_EQ(sink->lines[0], "d\xc3\xa9" "fault/internal/DB 7");
    EXPECT_EQ(sink->lines[1], "count \xc3\xa9 %d" + kMarker);
    EXPECT_EQ(sink->lines[2], "%s copied %d rows" + kMarker);
    EXPECT_EQ(sink->lines[3].rfind("value=", 0), 0u);
    // A name's sink is asked of the factory once, and of the next factory again.
    int made = 0;
    ZEL::utility::SetLogSinkFactory([&made, sink](const std::wstring&) -> std::shared_ptr<ZEL::LogSink> {
        ++made;
        return sink;
    });
    EXPECT_TRUE(InitLog(log, L"DataSync.log", 4) && InitLog(log, L"DataSync.log", 4));
    EXPECT_EQ(made, 1);
    ZEL::utility::SetLogSinkFactory([](const std::wstring&) -> std::shared_ptr<ZEL::LogSink> { throw 1; });
    EXPECT_FALSE(InitLog(log, L"DataSync.log", 4) || log.IsBound());
    ZEL::utility::SetLogSinkFactory(nullptr);
    EXPECT_FALSE(InitLog(log, L"DataSync.log", 4));
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The text of a line "YYYY-MM-DDTHH:MM:SS.mmm+hh:mm [L] <tid> text"; fails the test on any other form.
std::string TextOf(const std::string& line) {
    constexpr size_t kPrefix = 34;  // up to and including the blank after "[L]"
    const size_t idEnd = line.find(' ', kPrefix);
    const bool ok = testsupport::HasShape(line.substr(0, kPrefix), "9999-99-99T99:99:99.999S99:99 [L] ") &&
                    idEnd != std::string::npos && idEnd > kPrefix &&
                    line.find_first_not_of("0123456789", kPrefix) == idEnd;
    EXPECT_TRUE(ok) << line;
    return ok ? line.substr(idEnd + 1) : std::string();
}

class FileLogging : public ::testing::Test {
protected:
    void TearDown() override { ShutdownFileLogging(); }
    std::string Folder() const { return temp.path() + "log/"; }
    testsupport::TempDir temp;
};

// Read while the file is still open: the closing warning puts every line before it on disk, and a
// later line below warning level gets there by itself soon after.
TEST_F(FileLogging, WritesOneFormattedUtf8LinePerCallAndPutsWarningsOnDiskAtOnceAndTheRestSoonAfter) {
    ConfigureFileLogging(Folder(), LogLevel::Debug);
    ZEL::Log log;
    ASSERT_TRUE(InitLog(log, L"DataSync.log", 4));
    log.d(L"%s: Enter", L"FullInit");
    log.i(L"rows=%d", 12);
    log.e(L"error");
    log.w(L"Gr\u00fc\u00dfe \u2014");
    const auto lines = ReadLines(Folder() + "DataSync.log");
    ASSERT_EQ(lines.size(), 4u);
    const std::string threadId = std::to_string(::syscall(SYS_gettid)) + " ";
    const char* texts[] = {"FullInit: Enter", "rows=12", "error", "Gr\xc3\xbc\xc3\x9f" "e \xe2\x80\x94"};
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        EXPECT_EQ(TextOf(line), texts[i]);
        EXPECT_EQ(line.substr(30, 3), std::string("[") + "DIEW"[i] + "]");
        EXPECT_EQ(line.substr(34, threadId.size()), threadId);
    }
    log.i(L"later");
    EXPECT_TRUE(testsupport::WaitUntil([&] { return ReadLines(Folder() + "DataSync.log").size() == 5u; }));
}

TEST_F(FileLogging, FileNamesStayInsideTheLogFolder) {
    ConfigureFileLogging(Folder(), LogLevel::Debug);
    ZEL::Log nested, escaping, none;
    ASSERT_TRUE(InitLog(nested, L"sub/dir/Nested.log", 4) && InitLog(escaping, L"..\\..\\Escaping.log", 4));
    EXPECT_FALSE(InitLog(none, L"folder/", 4) || InitLog(none, L"", 4));
    nested.i(L"n");
    escaping.i(L"e");
    ShutdownFileLogging();
    EXPECT_EQ(ReadLines(Folder() + "Nested.log").size(), 1u);
    EXPECT_EQ(ReadLines(Folder() + "Escaping.log").size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(temp.path() + "Escaping.log") || std::filesystem::exists(Folder() + "sub"));
}

TEST_F(FileLogging, ThreadsWriteWholeLinesAtTheMinimumLevelAndAboveWhileALogIsRebound) {
    ConfigureFileLogging(Folder(), LogLevel::Info);
    ZEL::Log shared;
    InitLog(shared, L"DataSync.log", 4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &shared] {
            ZEL::Log log;
            InitLog(log, L"DataSync.log", 4);
            for (int i = 0; i < 200; ++i) log.d(L"dropped"), (i % 2 ? log : shared).i(L"thread %d line %d", t, i);
        });
    for (int i = 0; i < 200; ++i) InitLog(shared, L"DataSync.log", 4);
    for (std::thread& thread : threads) thread.join();
    ShutdownFileLogging();
    const auto lines = ReadLines(Folder() + "DataSync.log");
    ASSERT_EQ(lines.size(), 4u * 200u);
    for (const std::string& line : lines) ASSERT_EQ(TextOf(line).rfind("thread ", 0), 0u) << line;
}

TEST_F(FileLogging, HostLogFollowsTheFolderConfiguredAtEachUseAndAnUnusableFolderIsNamed) {
    ConfigureFileLogging(temp.path() + "a/b/first", LogLevel::Debug);  // missing, no trailing slash
    ZEL::linuxhost::HostLog().i(L"into first");
    ShutdownFileLogging();
    ZEL::linuxhost::HostLog().i(L"into nothing");
    ZEL::Log unbound;
    EXPECT_FALSE(InitLog(unbound, L"DataSync.log", 4));
    ConfigureFileLogging(temp.path() + "second", LogLevel::Debug);
    ZEL::linuxhost::HostLog().i(L"into second");
    ShutdownFileLogging();
    for (const std::string folder : {"a/b/first", "second"}) {
        const auto lines = ReadLines(temp.path() + folder + "/host.log");
        ASSERT_EQ(lines.size(), 1u) << folder;
        EXPECT_EQ(TextOf(lines[0]), "into " + folder.substr(folder.rfind('/') + 1));
    }
    const std::string blocker = temp.path() + "blocker";
    std::ofstream(blocker) << "file";
    try { ConfigureFileLogging(blocker + "/log", LogLevel::Debug); ADD_FAILURE() << "no exception"; }
    catch (const std::runtime_error& error) { EXPECT_NE(std::string(error.what()).find(blocker), std::string::npos) << error.what(); }
}

// A refusal logged every 2 s: written once, then summarised at most every 10 minutes.
TEST(RepeatFilter, ALineRepeatedWithinTenMinutesIsCountedAndSummarisedWhenItComesAfterThem) {
    std::chrono::steady_clock::time_point now{};
    ZEL::linuxhost::RepeatFilter filter([&now] { return now; });
    const auto at = [&](int seconds, LogLevel level, const std::string& text) {
        now = std::chrono::steady_clock::time_point(std::chrono::seconds(seconds));
        return filter.Pass(level, text).value_or("-");
    };
    const struct { int at; LogLevel level; const char* text; const char* written; } lines[] = {
        {0, LogLevel::Error, "no data", "no data"},
        {2, LogLevel::Error, "no data", "-"},
        {2, LogLevel::Warning, "no data", "no data"},  // another level, another line
        {3, LogLevel::Info, "other", "other"},
        {4, LogLevel::Debug, "step", "step"},
        {5, LogLevel::Debug, "step", "step"},  // debug lines always pass
        {598, LogLevel::Error, "no data", "-"},
        {600, LogLevel::Error, "no data", "no data (repeated 2 times in the last 10 minutes)"},
        {602, LogLevel::Error, "no data", "-"},
        {1300, LogLevel::Info, "other", "other"},  // nothing repeated meanwhile
    };
    for (const auto& line : lines) EXPECT_EQ(at(line.at, line.level, line.text), line.written) << line.at;
}

// Full, it forgets first the lines older than the window, then the oldest written, and their
// counts with them; a line written again counts from its new write.
TEST(RepeatFilter, AFullFilterForgetsTheLinesWrittenLongestAgo) {
    using std::chrono::milliseconds;
    std::chrono::steady_clock::time_point now{};
    ZEL::linuxhost::RepeatFilter filter([&now] { return now; }, std::chrono::minutes(1));
    const auto at = [&](long ms, const std::string& text) {
        now = std::chrono::steady_clock::time_point(milliseconds(ms));
        return filter.Pass(LogLevel::Info, text).value_or("-");
    };
    EXPECT_EQ(at(0, "x"), "x");
    const long full = static_cast<long>(ZEL::linuxhost::RepeatFilter::kMaxLines);
    for (long i = 1; i < full; ++i) {  // l511 first: the oldest is not the smallest line
        const std::string line = "l" + std::to_string(full - i);
        EXPECT_EQ(at(60000 + i, line), line);
    }
    const struct { long at; const char* text; const char* written; } cases[] = {
        {61000, "x", "x"},         // past the window: written again, now the newest
        {61001, "new", "new"},     // full: l511 goes
        {61002, "x", "-"},         // kept
        {61003, "l511", "l511"},   // forgotten, so written; l510 goes
        {61004, "l509", "-"},      // kept, counted
        {200000, "y", "y"},        // full: all older than the window go
        {200001, "l509", "l509"},  // its count went with it
    };
    for (const auto& line : cases) EXPECT_EQ(at(line.at, line.text), line.written) << line.at;
}

}  // namespace
