// The agent's logger as seen by a sink: printf-style wide formats with wide strings, integers
// of any width printed in full, hexadecimal forms, UTF-8 output, and formats that do not match
// their arguments written as the format text plus a marker instead of throwing.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "datasync/host/Log.h"
#include "support/LogCapture.h"

namespace {

const std::string kMarker = " [log format error]";

class LogFormat : public ::testing::Test {
protected:
    LogFormat() { EXPECT_TRUE(ZEL::utility::InitLog(log, L"DataSync.log", 4)); }

    // The one line written since the last call.
    std::string Line() {
        const auto lines = capture.Lines();
        capture.Clear();
        EXPECT_EQ(lines.size(), 1u);
        return lines.empty() ? std::string("<no line>") : lines.back().text;
    }

    testsupport::LogCapture capture;
    ZEL::Log log;
};

TEST_F(LogFormat, WideStringArgumentsFillPercentS) {
    log.d(L"%s: Enter", std::wstring(L"DataSyncAgent::FullInit"));
    EXPECT_EQ(Line(), "DataSyncAgent::FullInit: Enter");
    log.d(L"%s/%s", L"default", static_cast<const wchar_t*>(L"internal/DB"));
    EXPECT_EQ(Line(), "default/internal/DB");
}

TEST_F(LogFormat, SixtyFourBitValuesPrintInFullWithPlainPercentD) {
    log.i(L"%d", std::int64_t{1} << 40);
    EXPECT_EQ(Line(), "1099511627776");
    log.i(L"%d", std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(Line(), "-9223372036854775808");
    log.i(L"%u", std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(Line(), "18446744073709551615");
    log.i(L"%d items", size_t{5000000000});
    EXPECT_EQ(Line(), "5000000000 items");
}

TEST_F(LogFormat, LengthModifiersKeepTheValue) {
    log.i(L"%ld %lld %lu", 1L << 40, -(1LL << 50), 4000000000UL);
    EXPECT_EQ(Line(), "1099511627776 -1125899906842624 4000000000");
    log.i(L"%lld", 7);
    EXPECT_EQ(Line(), "7");
}

TEST_F(LogFormat, HexadecimalForms) {
    log.w(L"%#x", 255);
    EXPECT_EQ(Line(), "0xff");
    log.w(L"%x %X", 0xdeadbeefU, 0xabcU);
    EXPECT_EQ(Line(), "deadbeef ABC");
    log.w(L"%#x", std::uint64_t{0x123456789a});
    EXPECT_EQ(Line(), "0x123456789a");
}

TEST_F(LogFormat, WidthsPercentSignsAndOtherKinds) {
    log.i(L"[%5d|%-3d|%03d] 100%% %c %.2f", 42, 7, 5, L'x', 2.5);
    EXPECT_EQ(Line(), "[   42|7  |005] 100% x 2.50");
}

TEST_F(LogFormat, NonAsciiTextIsWrittenAsUtf8) {
    log.i(L"Gr\u00fc\u00dfe %s", L"\u2014 \u20ac \U0001F600");
    EXPECT_EQ(Line(),
              "Gr\xc3\xbc\xc3\x9f"
              "e \xe2\x80\x94 \xe2\x82\xac \xf0\x9f\x98\x80");
}

TEST_F(LogFormat, CharactersThatAreNoCodePointsBecomeReplacementCharacters) {
    std::wstring bad = L"a";
    bad += static_cast<wchar_t>(0xD800);
    bad += static_cast<wchar_t>(0x110000);
    bad += L"b";
    log.i(L"%s", bad);
    EXPECT_EQ(Line(),
              "a\xef\xbf\xbd\xef\xbf\xbd"
              "b");
}

TEST_F(LogFormat, WrongArgumentKindWritesFormatAndMarker) {
    EXPECT_NO_THROW(log.e(L"count %d", std::wstring(L"five")));
    EXPECT_EQ(Line(), "count %d" + kMarker);
    EXPECT_NO_THROW(log.e(L"name %s", 5));
    EXPECT_EQ(Line(), "name %s" + kMarker);
}

TEST_F(LogFormat, TooFewArgumentsWriteFormatAndMarker) {
    EXPECT_NO_THROW(log.w(L"%s copied %d rows", L"KTA"));
    EXPECT_EQ(Line(), "%s copied %d rows" + kMarker);
    EXPECT_NO_THROW(log.w(L"no argument %d"));
    EXPECT_EQ(Line(), "no argument %d" + kMarker);
}

TEST_F(LogFormat, BrokenFormatWritesFormatAndMarker) {
    EXPECT_NO_THROW(log.w(L"dangling %", 1));
    EXPECT_EQ(Line(), "dangling %" + kMarker);
    EXPECT_NO_THROW(log.w(L"unknown %y", 1));
    EXPECT_EQ(Line(), "unknown %y" + kMarker);
}

TEST_F(LogFormat, MarkedLineKeepsNonAsciiFormatText) {
    log.w(L"\u00e9t\u00e9 %d", L"x");
    EXPECT_EQ(Line(), "\xc3\xa9t\xc3\xa9 %d" + kMarker);
}

TEST_F(LogFormat, NullStringArgumentDoesNotCrash) {
    const wchar_t* nothing = nullptr;
    EXPECT_NO_THROW(log.i(L"value=%s", nothing));
    EXPECT_EQ(Line().rfind("value=", 0), 0u);
}

TEST_F(LogFormat, NullFormatWritesNothing) {
    EXPECT_NO_THROW(log.i(nullptr, 1));
    EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(LogFormat, EachLevelReachesTheSinkAsItself) {
    log.d(L"d");
    log.i(L"i");
    log.w(L"w");
    log.e(L"e");
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].level, ZEL::LogLevel::Debug);
    EXPECT_EQ(lines[1].level, ZEL::LogLevel::Info);
    EXPECT_EQ(lines[2].level, ZEL::LogLevel::Warning);
    EXPECT_EQ(lines[3].level, ZEL::LogLevel::Error);
    EXPECT_EQ(lines[0].file, "DataSync.log");
}

// A sink that takes warnings and errors only, and fails on a chosen text.
class PickySink : public ZEL::LogSink {
public:
    bool Enabled(ZEL::LogLevel level) const override { return level >= ZEL::LogLevel::Warning; }
    void Write(ZEL::LogLevel, const std::string& text) override {
        if (text == "explode") throw std::runtime_error("disk full");
        lines.push_back(text);
    }
    std::vector<std::string> lines;
};

TEST(LogBinding, DisabledLevelsAreNotFormattedOrWritten) {
    auto sink = std::make_shared<PickySink>();
    ZEL::Log log;
    log.Bind(sink);
    log.d(L"%s", L"debug");
    log.i(L"%s", L"info");
    log.w(L"%s", L"warning");
    EXPECT_EQ(sink->lines, std::vector<std::string>{"warning"});
}

TEST(LogBinding, FailingSinkDoesNotThrowIntoTheCaller) {
    auto sink = std::make_shared<PickySink>();
    ZEL::Log log;
    log.Bind(sink);
    EXPECT_NO_THROW(log.e(L"explode"));
    log.e(L"after");
    EXPECT_EQ(sink->lines, std::vector<std::string>{"after"});
}

TEST(LogBinding, UnboundLogDropsLines) {
    ZEL::Log log;
    EXPECT_FALSE(log.IsBound());
    EXPECT_NO_THROW(log.e(L"%s", L"nowhere"));
}

TEST(LogBinding, InitLogWithoutFactoryBindsNothing) {
    ZEL::utility::SetLogSinkFactory(nullptr);
    ZEL::Log log;
    EXPECT_FALSE(ZEL::utility::InitLog(log, L"DataSync.log", 4));
    EXPECT_FALSE(log.IsBound());
}

TEST(LogBinding, InitLogSurvivesAThrowingFactory) {
    ZEL::utility::SetLogSinkFactory(
        [](const std::wstring&) -> std::shared_ptr<ZEL::LogSink> { throw std::runtime_error("no sink"); });
    ZEL::Log log;
    EXPECT_FALSE(ZEL::utility::InitLog(log, L"DataSync.log", 4));
    EXPECT_FALSE(log.IsBound());
    ZEL::utility::SetLogSinkFactory(nullptr);
}

TEST(LogBinding, RebindingWhileOtherThreadsLogIsSafe) {
    testsupport::LogCapture capture;
    ZEL::Log log;
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([&log, t] {
            for (int i = 0; i < 500; ++i) log.i(L"writer %d line %d", t, i);
        });
    }
    for (int i = 0; i < 200; ++i) {
        ZEL::utility::InitLog(log, L"A.log", 4);
        log.Bind(nullptr);
    }
    ZEL::utility::InitLog(log, L"A.log", 4);
    for (std::thread& writer : writers) writer.join();
    for (const auto& line : capture.Lines()) EXPECT_EQ(line.text.rfind("writer ", 0), 0u) << line.text;
}

}  // namespace
