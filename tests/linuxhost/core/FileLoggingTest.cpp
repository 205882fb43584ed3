// The host's log files: one UTF-8 line "YYYY-MM-DDTHH:MM:SS.mmm+hh:mm [L] <tid> text" per call
// with the local offset, the minimum level, warnings on disk at once, file names kept inside the
// log folder, host.log following the folder configured at each use, and the level names.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "datasync/host/Log.h"
#include "datasync/host/Utility.h"
#include "linuxhost/logging/FileLogging.h"
#include "support/TempDir.h"
#include "support/TextShape.h"

namespace {

using ZEL::LogLevel;
using ZEL::linuxhost::ConfigureFileLogging;
using ZEL::linuxhost::ShutdownFileLogging;

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

struct ParsedLine {
    std::string localTime;  // first 19 characters
    std::string offset;
    std::string level;
    long threadId = 0;
    std::string text;
};

// Splits "YYYY-MM-DDTHH:MM:SS.mmm+hh:mm [L] <tid> text"; fails the test when the line has
// another form.
ParsedLine Parse(const std::string& line) {
    constexpr size_t kPrefix = 34;  // up to and including the blank after "[L]"
    ParsedLine parsed;
    const bool prefixOk =
        line.size() > kPrefix &&
        testsupport::HasShape(line.substr(0, kPrefix), "9999-99-99T99:99:99.999S99:99 [L] ");
    const size_t idEnd = prefixOk ? line.find(' ', kPrefix) : std::string::npos;
    const std::string id = idEnd == std::string::npos ? std::string() : line.substr(kPrefix, idEnd - kPrefix);
    const bool idOk = !id.empty() && id.find_first_not_of("0123456789") == std::string::npos;
    EXPECT_TRUE(prefixOk && idOk) << line;
    if (!(prefixOk && idOk)) return parsed;
    parsed.localTime = line.substr(0, 19);
    parsed.offset = line.substr(23, 6);
    parsed.level = line.substr(31, 1);
    parsed.threadId = std::stol(id);
    parsed.text = line.substr(idEnd + 1);
    return parsed;
}

class FileLogging : public ::testing::Test {
protected:
    void TearDown() override { ShutdownFileLogging(); }

    std::string Folder() const { return temp.path() + "log/"; }

    testsupport::TempDir temp;
};

TEST_F(FileLogging, WritesOneFormattedUtf8LinePerCall) {
    ConfigureFileLogging(Folder(), LogLevel::Debug);
    ZEL::Log log;
    ASSERT_TRUE(ZEL::utility::InitLog(log, L"DataSync.log", 4));
    const std::string before = ZEL::String::UTF16ToUTF8(ZEL::System::GetTime());
    log.d(L"%s: Enter", L"DataSyncAgent::FullInit");
    log.i(L"rows=%d", 12);
    log.w(L"Messaging retention \u2014 %s", L"Gr\u00fc\u00dfe");
    log.e(L"error %#x", 255);
    const std::string after = ZEL::String::UTF16ToUTF8(ZEL::System::GetTime());
    ShutdownFileLogging();

    const auto lines = ReadLines(Folder() + "DataSync.log");
    ASSERT_EQ(lines.size(), 4u);
    const char* levels[] = {"D", "I", "W", "E"};
    const char* texts[] = {"DataSyncAgent::FullInit: Enter", "rows=12",
                           "Messaging retention \xe2\x80\x94 Gr\xc3\xbc\xc3\x9f"
                           "e",
                           "error 0xff"};
    for (size_t i = 0; i < lines.size(); ++i) {
        const ParsedLine line = Parse(lines[i]);
        EXPECT_EQ(line.level, levels[i]);
        EXPECT_EQ(line.text, texts[i]);
        EXPECT_EQ(line.threadId, static_cast<long>(::syscall(SYS_gettid)));
        // Same clock and zone as the host's own time texts.
        EXPECT_GE(line.localTime, before.substr(0, 19));
        EXPECT_LE(line.localTime, after.substr(0, 19));
        EXPECT_EQ(line.offset, after.substr(19));
    }
}

TEST_F(FileLogging, DropsLinesBelowTheMinimumLevelAndPutsWarningsOnDiskAtOnce) {
    ConfigureFileLogging(Folder(), LogLevel::Info);
    ZEL::Log log;
    ZEL::utility::InitLog(log, L"DataSync.log", 4);
    log.d(L"debug");
    log.i(L"first");
    log.w(L"second");
    const auto lines = ReadLines(Folder() + "DataSync.log");  // still open
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Parse(lines[0]).text, "first");
    EXPECT_EQ(Parse(lines[1]).text, "second");
}

TEST_F(FileLogging, FileNamesStayInsideTheLogFolder) {
    ConfigureFileLogging(Folder(), LogLevel::Debug);
    ZEL::Log nested, escaping, none;
    ASSERT_TRUE(ZEL::utility::InitLog(nested, L"sub/dir/Nested.log", 4));
    ASSERT_TRUE(ZEL::utility::InitLog(escaping, L"..\\..\\Escaping.log", 4));
    EXPECT_FALSE(ZEL::utility::InitLog(none, L"folder/", 4));
    EXPECT_FALSE(ZEL::utility::InitLog(none, L"", 4));
    nested.i(L"n");
    escaping.i(L"e");
    ShutdownFileLogging();
    EXPECT_EQ(ReadLines(Folder() + "Nested.log").size(), 1u);
    EXPECT_EQ(ReadLines(Folder() + "Escaping.log").size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(temp.path() + "Escaping.log"));
    EXPECT_FALSE(std::filesystem::exists(Folder() + "sub"));
}

// Every thread binds its own log to the same name: all share one file, line by whole line.
TEST_F(FileLogging, ThreadsWriteWholeLines) {
    ConfigureFileLogging(Folder(), LogLevel::Debug);
    constexpr int kThreads = 4, kLinesEach = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            ZEL::Log log;
            ZEL::utility::InitLog(log, L"DataSync.log", 4);
            for (int i = 0; i < kLinesEach; ++i) log.i(L"thread %d line %d", t, i);
        });
    }
    for (std::thread& thread : threads) thread.join();
    ShutdownFileLogging();
    const auto lines = ReadLines(Folder() + "DataSync.log");
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesEach));
    for (const std::string& line : lines) ASSERT_EQ(Parse(line).text.rfind("thread ", 0), 0u) << line;
}

TEST_F(FileLogging, CreatesAMissingFolderAndNamesAnUnusableOne) {
    const std::string deep = temp.path() + "a/b/c";  // without the trailing slash
    ConfigureFileLogging(deep, LogLevel::Debug);
    ZEL::Log log;
    ZEL::utility::InitLog(log, L"x.log", 4);
    log.e(L"here");
    ShutdownFileLogging();
    EXPECT_EQ(ReadLines(deep + "/x.log").size(), 1u);

    const std::string blocker = temp.path() + "blocker";
    std::ofstream(blocker) << "file";
    try {
        ConfigureFileLogging(blocker + "/log", LogLevel::Debug);
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find(blocker), std::string::npos) << error.what();
    }
}

TEST_F(FileLogging, HostLogFollowsTheFolderConfiguredAtEachUse) {
    ConfigureFileLogging(temp.path() + "first", LogLevel::Debug);
    ZEL::linuxhost::HostLog().i(L"into first");
    ShutdownFileLogging();
    ZEL::linuxhost::HostLog().i(L"into nothing");
    ZEL::Log unbound;
    EXPECT_FALSE(ZEL::utility::InitLog(unbound, L"DataSync.log", 4));
    ConfigureFileLogging(temp.path() + "second", LogLevel::Debug);
    ZEL::linuxhost::HostLog().i(L"into second");
    ShutdownFileLogging();

    const auto first = ReadLines(temp.path() + "first/host.log");
    const auto second = ReadLines(temp.path() + "second/host.log");
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(Parse(first[0]).text, "into first");
    EXPECT_EQ(Parse(second[0]).text, "into second");
}

TEST(ParseLogLevel, ReadsTheHostConfigNamesAndLeavesTheLevelOnRefusal) {
    constexpr LogLevel kUntouched = static_cast<LogLevel>(-1);
    const struct {
        const char* text;
        bool valid;
        LogLevel level;
    } cases[] = {{"debug", true, LogLevel::Debug}, {"INFO", true, LogLevel::Info}, {"warn", true, LogLevel::Warning},
                 {"Error", true, LogLevel::Error}, {"", false, kUntouched},         {" info", false, kUntouched},
                 {"err", false, kUntouched}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        LogLevel level = kUntouched;
        EXPECT_EQ(ZEL::linuxhost::ParseLogLevel(c.text, level), c.valid);
        EXPECT_EQ(level, c.level);
    }
}

}  // namespace
