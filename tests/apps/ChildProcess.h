// Runs the programs as child processes: output goes to files (a chatty child never blocks on a
// full pipe), waits have deadlines, and a child still running at the end is killed and reaped.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace appstest {

class ChildProcess {
public:
    // Starts argv[0] with `argv` and this process's environment plus `environment` ("NAME=value"
    // each); its output goes to files in `outputDir` (ending with '/').
    ChildProcess(const std::vector<std::string>& argv, const std::string& outputDir,
                 const std::vector<std::string>& environment = {}) {
        static std::atomic<int> counter{0};
        const std::string stem = outputDir + "child-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
        m_outFile = stem + ".out";
        m_errFile = stem + ".err";

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, m_outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, m_errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        std::vector<char*> env;  // the given entries first: getenv finds the first of a name
        for (const std::string& entry : environment) env.push_back(const_cast<char*>(entry.c_str()));
        for (char** entry = environ; *entry != nullptr; ++entry) env.push_back(*entry);
        env.push_back(nullptr);
        const int result = ::posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), env.data());
        posix_spawn_file_actions_destroy(&actions);
        if (result != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::to_string(result));
    }

    ~ChildProcess() {
        if (!m_reaped) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void Signal(int signal) const { ::kill(m_pid, signal); }

    // True when the child has exited within `timeout` (its status is then kept).
    bool WaitExit(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!m_reaped) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_status = status;
                m_reaped = true;
            } else if (std::chrono::steady_clock::now() >= deadline) {
                break;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        return m_reaped;
    }

    // -1 unless the child exited normally.
    int ExitCode() const { return m_reaped && WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1; }

    std::string Stdout() const { return ReadFile(m_outFile); }
    std::string Stderr() const { return ReadFile(m_errFile); }

    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = 0;
    std::string m_outFile;
    std::string m_errFile;
};

struct Finished {
    bool exited = false;  // false: killed after the time-out
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs `argv` to its end (at most `timeout`, then it is killed).
inline Finished Run(const std::vector<std::string>& argv, const std::string& outputDir,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    ChildProcess child(argv, outputDir);
    Finished finished;
    finished.exited = child.WaitExit(timeout);
    finished.exitCode = child.ExitCode();
    finished.out = child.Stdout();
    finished.err = child.Stderr();
    return finished;
}

// Lines of `text` (without their newlines; a last line without one counts).
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace appstest
