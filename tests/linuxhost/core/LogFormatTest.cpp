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

TEST_F(LogFormat, ArgumentsOfEveryKindAndWidthPrintInFull) {
    log.d(L"%s/%s", std::wstring(L"default"), static_cast<const wchar_t*>(L"internal/DB"));
    EXPECT_EQ(Line(), "default/internal/DB");
    log.i(L"%d", std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(Line(), "-9223372036854775808");
    log.i(L"%u", std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(Line(), "18446744073709551615");
    log.i(L"%ld %lld %lu", 1L << 40, -(1LL << 50), 4000000000UL);
    EXPECT_EQ(Line(), "1099511627776 -1125899906842624 4000000000");
    log.w(L"%#x %x %X", std::uint64_t{0x123456789a}, 0xdeadbeefU, 0xabcU);
    EXPECT_EQ(Line(), "0x123456789a deadbeef ABC");
    log.i(L"[%5d|%-3d|%03d] 100%% %c %.2f", 42, 7, 5, L'x', 2.5);
    EXPECT_EQ(Line(), "[   42|7  |005] 100% x 2.50");
}

TEST_F(LogFormat, TextIsWrittenAsUtf8WithReplacementForNonCodePoints) {
    log.i(L"Gr\u00fc\u00dfe %s", L"\u2014 \U0001F600");
    EXPECT_EQ(Line(),
              "Gr\xc3\xbc\xc3\x9f"
              "e \xe2\x80\x94 \xf0\x9f\x98\x80");
    std::wstring bad = L"a";
    bad += static_cast<wchar_t>(0xD800);
    bad += static_cast<wchar_t>(0x110000);
    log.i(L"%s", bad);
    EXPECT_EQ(Line(), "a\xef\xbf\xbd\xef\xbf\xbd");
}

TEST_F(LogFormat, MismatchedFormatWritesFormatAndMarkerWithoutThrowing) {
    EXPECT_NO_THROW(log.e(L"count %d", std::wstring(L"five")));
    EXPECT_EQ(Line(), "count %d" + kMarker);
    EXPECT_NO_THROW(log.w(L"%s copied %d rows", L"KTA"));
    EXPECT_EQ(Line(), "%s copied %d rows" + kMarker);
    EXPECT_NO_THROW(log.w(L"dangling %", 1));
    EXPECT_EQ(Line(), "dangling %" + kMarker);
    log.w(L"\u00e9t\u00e9 %d", L"x");
    EXPECT_EQ(Line(), "\xc3\xa9t\xc3\xa9 %d" + kMarker);
}

TEST_F(LogFormat, NullStringOrFormatDoesNotCrash) {
    const wchar_t* nothing = nullptr;
    EXPECT_NO_THROW(log.i(L"value=%s", nothing));
    EXPECT_EQ(Line().rfind("value=", 0), 0u);
    EXPECT_NO_THROW(log.i(nullptr, 1));
    EXPECT_TRUE(capture.Lines().empty());
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

TEST(LogBinding, SinkDecidesLevelsAndItsFailuresStayInside) {
    auto sink = std::make_shared<PickySink>();
    ZEL::Log log;
    log.Bind(sink);
    log.d(L"%s", L"debug");
    log.i(L"%s", L"info");
    log.w(L"%s", L"warning");
    EXPECT_NO_THROW(log.e(L"explode"));
    log.e(L"after");
    EXPECT_EQ(sink->lines, (std::vector<std::string>{"warning", "after"}));
}

TEST(LogBinding, MissingOrThrowingFactoryBindsNothing) {
    ZEL::Log log;
    EXPECT_NO_THROW(log.e(L"%s", L"nowhere"));
    ZEL::utility::SetLogSinkFactory(nullptr);
    EXPECT_FALSE(ZEL::utility::InitLog(log, L"DataSync.log", 4));
    EXPECT_FALSE(log.IsBound());
    ZEL::utility::SetLogSinkFactory(
        [](const std::wstring&) -> std::shared_ptr<ZEL::LogSink> { throw std::runtime_error("no sink"); });
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
