// The agent's logger: printf-style wide formats, formatted type-safely.
//
//   ZEL::Log log;
//   ZEL::utility::InitLog(log, L"DataSync.log", 4);
//   log.d(L"%s: Enter", L"DataSyncAgent::FullInit");
//
// `%s` takes a wide string (std::wstring or const wchar_t*), `%d`, `%ld`, `%lld` any integer
// (printed in full whatever its width), `%#x` hexadecimal. A format that does not match its
// arguments never throws and never corrupts memory: the line is written with the format text
// and a marker instead. Logging never fails visibly.
//
// Where the lines go is the host's decision: InitLog asks the installed LogSinkFactory for the
// sink of a file name (the Linux host writes rotating files in its log folder). A Log that was
// never bound drops its lines.
//
// Thread safety: a Log may be used from any number of threads, also while it is being bound.
#pragma once

#include <fmt/printf.h>
#include <fmt/xchar.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "datasync/common/StringUtil.h"

namespace ZEL {

enum class LogLevel { Debug = 0, Info = 1, Warning = 2, Error = 3 };

// Receives whole formatted lines (UTF-8, without the time/level prefix).
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual bool Enabled(LogLevel level) const = 0;
    virtual void Write(LogLevel level, const std::string& text) = 0;
};

class Log {
public:
    Log() = default;
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    template <typename... Args>
    void d(const wchar_t* format, const Args&... args) { Emit(LogLevel::Debug, format, args...); }
    template <typename... Args>
    void i(const wchar_t* format, const Args&... args) { Emit(LogLevel::Info, format, args...); }
    template <typename... Args>
    void w(const wchar_t* format, const Args&... args) { Emit(LogLevel::Warning, format, args...); }
    template <typename... Args>
    void e(const wchar_t* format, const Args&... args) { Emit(LogLevel::Error, format, args...); }

    void Bind(std::shared_ptr<LogSink> sink) { std::atomic_store(&m_sink, std::move(sink)); }
    bool IsBound() const { return std::atomic_load(&m_sink) != nullptr; }

private:
    // The check stays inline (a disabled level costs no formatting); the formatting itself is one
    // out-of-line function for every argument list, so it is compiled once, not in every caller.
    template <typename... Args>
    void Emit(LogLevel level, const wchar_t* format, const Args&... args) {
        std::shared_ptr<LogSink> sink = std::atomic_load(&m_sink);
        if (!sink || !sink->Enabled(level) || format == nullptr) return;
        Write(*sink, level, format, fmt::make_wprintf_args(args...));
    }
    static void Write(LogSink& sink, LogLevel level, const wchar_t* format, fmt::wprintf_args args);

    std::shared_ptr<LogSink> m_sink;
};

using LogSinkFactory = std::function<std::shared_ptr<LogSink>(const std::wstring& fileName)>;

namespace utility {

// Binds `log` to the sink that the installed factory gives for `fileName` ("DataSync.log",
// "StandardTable.log", ...). `level` is accepted for compatibility and not used. False when no
// factory is installed or it gave no sink; the log then drops its lines. The sink a factory
// gave for a name is kept and given again for that name until the factory is replaced.
bool InitLog(Log& log, const std::wstring& fileName, int level);

// Installs the factory used by later InitLog calls (the host at start-up, tests to capture
// lines). An empty factory makes InitLog bind nothing.
void SetLogSinkFactory(LogSinkFactory factory);

}  // namespace utility
}  // namespace ZEL
