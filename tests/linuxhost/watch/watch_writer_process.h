// A collector stand-in for the watcher tests: a second process that writes a WAL-mode
// database through the SQLite C API, independently of the agent's own code.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "support/TelemetryWriter.h"

namespace watchtest {

// A second process that writes rows into a WAL-mode database through SQLite when asked. It is
// forked before the watcher starts (while the test is single-threaded); the constructor returns
// once the child has opened the database, so opening raises no event the watcher could see.
class WriterProcess {
public:
    explicit WriterProcess(const std::string& dbPath) {
        int toChild[2];
        int fromChild[2];
        if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        m_pid = ::fork();
        if (m_pid < 0) throw std::runtime_error("fork");
        if (m_pid == 0) {
            ::close(toChild[1]);
            ::close(fromChild[0]);
            ::_exit(ServeCommands(dbPath, toChild[0], fromChild[1]));
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        m_commands = toChild[1];
        m_replies = fromChild[0];
        char ready = 0;
        if (ReadFully(m_replies, &ready, 1) != 1) {
            Close();
            throw std::runtime_error("the writer process could not open " + dbPath);
        }
    }
    ~WriterProcess() { Close(); }
    WriterProcess(const WriterProcess&) = delete;
    WriterProcess& operator=(const WriterProcess&) = delete;

    // Inserts `rows` rows, one transaction each; returns when the child is done, with the times
    // (steady_clock, shared by all processes) just before the first and just after the last.
    void Insert(std::int32_t rows, std::chrono::steady_clock::time_point& first,
                std::chrono::steady_clock::time_point& last) {
        ASSERT_EQ(::write(m_commands, &rows, sizeof rows), static_cast<ssize_t>(sizeof rows));
        std::int64_t times[2] = {0, 0};
        ASSERT_EQ(ReadFully(m_replies, times, sizeof times), sizeof times) << "the writer process failed";
        first = std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(times[0]));
        last = std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(times[1]));
    }

private:
    void Close() {
        ::close(m_commands);  // end of commands: the child exits
        ::close(m_replies);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }

    static std::size_t ReadFully(int fd, void* data, std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t got = ::read(fd, static_cast<char*>(data) + done, size - done);
            if (got <= 0) break;
            done += static_cast<std::size_t>(got);
        }
        return done;
    }

    static int ServeCommands(const std::string& dbPath, int commands, int replies) {
        try {
            testsupport::TelemetryWriter writer(dbPath, "events", /*wal=*/true);
            writer.Exec("PRAGMA synchronous=NORMAL");      // commits append to the -wal without fsync
            writer.Scalar("SELECT count(*) FROM events");  // opens the WAL now
            if (::write(replies, "r", 1) != 1) return 1;
            std::int32_t rows = 0;
            while (ReadFully(commands, &rows, sizeof rows) == sizeof rows) {
                const std::int64_t first = std::chrono::steady_clock::now().time_since_epoch().count();
                for (std::int32_t i = 0; i < rows; ++i) writer.Insert(testsupport::ItemEventJson("ds", "i"));
                const std::int64_t times[2] = {first,
                                               std::chrono::steady_clock::now().time_since_epoch().count()};
                if (::write(replies, times, sizeof times) != static_cast<ssize_t>(sizeof times)) return 1;
            }
            return 0;
        } catch (...) {
            return 2;
        }
    }

    pid_t m_pid = -1;
    int m_commands = -1;
    int m_replies = -1;
};

}  // namespace watchtest
