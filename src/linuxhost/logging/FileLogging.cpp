// Rotating log files through spdlog. One spdlog logger per file name, shared by every ZEL::Log
// bound to that name.
//
// Lines below warning level wait for the flusher: the first such line wakes it, it gives the
// lines of the next second to come, then flushes every file. With nothing written it sleeps
// (spdlog's own periodic flush would wake every second, idle or not).
#include "linuxhost/logging/FileLogging.h"

#include "datasync/host/Clock.h"
#include "linuxhost/logging/RepeatFilter.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace ZEL {
namespace linuxhost {
namespace {

constexpr size_t kRotateBytes = 10 * 1024 * 1024;
constexpr size_t kRotateFiles = 3;
constexpr const char* kPattern = "%Y-%m-%dT%H:%M:%S.%e%z [%L] %t %v";
// How long a line below warning level may stay in the file's buffer.
constexpr auto kFlushDelay = std::chrono::seconds(1);

spdlog::level::level_enum ToSpd(LogLevel level) {
    switch (level) {
        case LogLevel::Debug:
            return spdlog::level::debug;
        case LogLevel::Info:
            return spdlog::level::info;
        case LogLevel::Warning:
            return spdlog::level::warn;
        case LogLevel::Error:
            return spdlog::level::err;
    }
    return spdlog::level::info;
}

// Flushes every file about a second after a line was left in a buffer, and never while nothing is.
// Started by ConfigureFileLogging, stopped and joined by ShutdownFileLogging (which the daemon
// and the tests call one at a time).
class Flusher {
public:
    void Start() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_thread.joinable()) return;
        m_stopping = false;
        m_thread = std::thread([this] { Run(); });
    }
    void Stop() {
        std::thread thread;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
            thread = std::move(m_thread);
        }
        m_changed.notify_all();
        if (thread.joinable()) thread.join();
    }
    // A line was written without a flush.
    void Written() {
        if (m_dirty.exchange(true)) return;
        // Taken between the store and the notification: the flusher is either before its look at
        // m_dirty or waiting, never in between.
        { std::lock_guard<std::mutex> lock(m_mutex); }
        m_changed.notify_all();
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_stopping) {
            m_changed.wait(lock, [this] { return m_stopping || m_dirty.load(); });
            if (m_stopping) return;  // ShutdownFileLogging flushes every file itself
            m_changed.wait_for(lock, kFlushDelay, [this] { return m_stopping; });
            m_dirty.store(false);  // before the flush: a line written during it is flushed next time
            lock.unlock();
            spdlog::apply_all([](const std::shared_ptr<spdlog::logger>& logger) { logger->flush(); });
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopping = false;  // guarded by m_mutex
    std::atomic<bool> m_dirty{false};
    std::thread m_thread;  // guarded by m_mutex
};

Flusher& TheFlusher() {
    static Flusher* flusher = new Flusher();  // lives to process exit, like the loggers
    return *flusher;
}

struct FileLogger {
    std::shared_ptr<spdlog::logger> logger;
    std::shared_ptr<RepeatFilter> repeats;  // one per file, shared by every Log bound to it
};

class SpdlogSink : public LogSink {
public:
    SpdlogSink(FileLogger file, LogLevel minimum) : m_file(std::move(file)), m_minimum(minimum) {}
    bool Enabled(LogLevel level) const override { return level >= m_minimum; }
    void Write(LogLevel level, const std::string& text) override {
        if (const std::optional<std::string> line = m_file.repeats->Pass(level, text)) {
            m_file.logger->log(ToSpd(level), *line);
            if (level < LogLevel::Warning) TheFlusher().Written();  // warnings are flushed at once
        }
    }

private:
    FileLogger m_file;
    LogLevel m_minimum;
};

struct FileLoggers {
    std::mutex mutex;
    std::string folder;
    LogLevel minimum = LogLevel::Debug;
    std::map<std::string, FileLogger> byPath;
};

FileLoggers& Loggers() {
    static FileLoggers* loggers = new FileLoggers();  // lives to process exit
    return *loggers;
}

std::shared_ptr<LogSink> MakeSink(const std::wstring& fileName) {
    FileLoggers& loggers = Loggers();
    std::lock_guard<std::mutex> lock(loggers.mutex);
    if (loggers.folder.empty()) return nullptr;
    std::string name = String::UTF16ToUTF8(fileName);
    const size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos) name = name.substr(slash + 1);
    if (name.empty()) return nullptr;
    const std::string path = loggers.folder + name;
    auto found = loggers.byPath.find(path);
    if (found == loggers.byPath.end()) {
        auto fileSink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path, kRotateBytes, kRotateFiles);
        auto logger = std::make_shared<spdlog::logger>(path, fileSink);
        logger->set_pattern(kPattern);
        logger->set_level(spdlog::level::trace);
        logger->flush_on(spdlog::level::warn);
        spdlog::drop(path);
        spdlog::register_logger(logger);
        auto repeats = std::make_shared<RepeatFilter>([] { return Clock::GetInstance()->SteadyNow(); });
        found = loggers.byPath.emplace(path, FileLogger{logger, repeats}).first;
    }
    return std::make_shared<SpdlogSink>(found->second, loggers.minimum);
}

}  // namespace

void ConfigureFileLogging(const std::string& logDir, LogLevel minimumLevel) {
    std::string folder = logDir;
    if (!folder.empty() && folder.back() != '/') folder.push_back('/');
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error || !std::filesystem::is_directory(folder))
        throw std::runtime_error("cannot create log folder " + folder + ": " + error.message());
    {
        FileLoggers& loggers = Loggers();
        std::lock_guard<std::mutex> lock(loggers.mutex);
        loggers.folder = folder;
        loggers.minimum = minimumLevel;
    }
    TheFlusher().Start();
    utility::SetLogSinkFactory(MakeSink);
}

bool ParseLogLevel(const std::string& text, LogLevel& level) {
    const std::wstring lower = String::ToLower(String::UTF8ToUTF16(text));
    if (lower == L"debug") level = LogLevel::Debug;
    else if (lower == L"info") level = LogLevel::Info;
    else if (lower == L"warning" || lower == L"warn") level = LogLevel::Warning;
    else if (lower == L"error") level = LogLevel::Error;
    else return false;
    return true;
}

void ShutdownFileLogging() {
    utility::SetLogSinkFactory(nullptr);
    TheFlusher().Stop();
    spdlog::apply_all([](const std::shared_ptr<spdlog::logger>& logger) { logger->flush(); });
    spdlog::shutdown();
    FileLoggers& loggers = Loggers();
    std::lock_guard<std::mutex> lock(loggers.mutex);
    loggers.byPath.clear();
    loggers.folder.clear();
}

Log& HostLog() {
    static Log* log = new Log();  // lives to process exit
    // Bound again at every call, so that lines go to the sink factory installed now (the log
    // folder, a test's capture, nothing after shutdown), not to the first one ever seen.
    utility::InitLog(*log, L"host.log", 4);
    return *log;
}

}  // namespace linuxhost
}  // namespace ZEL
