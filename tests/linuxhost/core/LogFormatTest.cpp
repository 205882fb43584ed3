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
    log.i(L"%lld %lu", std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(Line(), "-9223372036854775808 18446744073709551615");
    log.w(L"%#x %x %X", std::uint64_t{0x123456789a}, 0xdeadbeefU, 0xabcU);
    EXPECT_EQ(Line(), "0x123456789a deadbeef ABC");
    log.i(L"[%5d|%-3d|%03d] 100%% %c %.2f", 42, 7, 5, L'x', 2.5);
    EXPECT_EQ(Line(), "[   42|7  |005] 100% x 2.50");
    // Text goes out as UTF-8; what is no code point becomes U+FFFD.
    std::wstring text = L"Gr\u00fc\u00dfe \U0001F600 ";
    text += static_cast<wchar_t>(0xD800);
    text += static_cast<wchar_t>(0x110000);
    log.i(L"%s", text);
    EXPECT_EQ(Line(), "Gr\xc3\xbc\xc3\x9f" "e \xf0\x9f\x98\x80 \xef\xbf\xbd\xef\xbf\xbd");
}

TEST_F(LogFormat, MismatchedMissingOrNullArgumentsNeverThrow) {
    const wchar_t* nothing = nullptr;
    EXPECT_NO_THROW(log.e(L"count \u00e9 %d", std::wstring(L"five")));
    EXPECT_EQ(Line(), "count \xc3\xa9 %d" + kMarker);
    EXPECT_NO_THROW(log.w(L"%s copied %d rows", L"KTA"));
    EXPECT_EQ(Line(), "%s copied %d rows" + kMarker);
    EXPECT_NO_THROW(log.w(L"dangling %", 1));
    EXPECT_EQ(Line(), "dangling %" + kMarker);
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

// The bound sink decides which levels it takes and its failures stay inside; a missing or
// throwing sink factory binds nothing, and an unbound log writes nowhere without failing.
TEST(LogBinding, SinkDecidesLevelsItsFailuresStayInsideAndAFailingFactoryBindsNothing) {
    auto sink = std::make_shared<PickySink>();
    ZEL::Log log;
    EXPECT_NO_THROW(log.e(L"%s", L"nowhere"));
    log.Bind(sink);
    log.d(L"%s", L"debug");
    log.i(L"%s", L"info");
    log.w(L"%s", L"warning");
    EXPECT_NO_THROW(log.e(L"explode"));
    log.e(L"after");
    EXPECT_EQ(sink->lines, (std::vector<std::string>{"warning", "after"}));
    for (bool throwing : {false, true}) {
        ZEL::utility::SetLogSinkFactory(nullptr);
        if (throwing)
            ZEL::utility::SetLogSinkFactory(
                [](const std::wstring&) -> std::shared_ptr<ZEL::LogSink> { throw std::runtime_error("no sink"); });
        EXPECT_FALSE(ZEL::utility::InitLog(log, L"DataSync.log", 4)) << throwing;
        EXPECT_FALSE(log.IsBound()) << throwing;
    }
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
