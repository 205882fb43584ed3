// Starting and stopping the demo's child processes.
#include "datasyncctl/DemoProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "platform/FileText.h"
#include "platform/UniqueFd.h"

namespace datasyncctl {
namespace {

// In the child between fork and exec only async-signal-safe calls are allowed: the demo may
// have other threads (libcurl, OpenSSL) whose locks are copied in an unknown state.
[[noreturn]] void ExecChild(char* const* args, const char* outFile, const char* errFile, pid_t parent,
                            int reportFd) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The parent may have died between fork and prctl: then nobody would stop this child.
    if (::getppid() != parent) ::_exit(127);

    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    ::sigemptyset(&defaults.sa_mask);
    ::sigaction(SIGPIPE, &defaults, nullptr);  // the demo ignores SIGPIPE; exec keeps ignored signals
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(outFile, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(errFile, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in >= 0 && out >= 0 && err >= 0 && ::dup2(in, 0) >= 0 && ::dup2(out, 1) >= 0 && ::dup2(err, 2) >= 0)
        ::execv(args[0], args);
    const int error = errno;
    ssize_t ignored = ::write(reportFd, &error, sizeof error);
    (void)ignored;
    ::_exit(127);
}

}  // namespace

std::string ReadTextFile(const std::string& path) {
    return platform::ReadFileText(path).text;
}

DemoProcess::DemoProcess(std::string name, const std::vector<std::string>& argv, const std::string& outFile,
                         const std::string& errFile)
    : m_name(std::move(name)), m_outFile(outFile), m_errFile(errFile) {
    if (argv.empty()) throw std::logic_error("DemoProcess needs a program");
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    // The child reports a failed exec through this pipe; a successful exec closes it.
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot start " + m_name + ": pipe: " + std::strerror(errno));
    const platform::UniqueFd reportRead(pipeFds[0]);
    platform::UniqueFd reportWrite(pipeFds[1]);
    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid < 0) {
        const int error = errno;
        throw std::runtime_error("cannot start " + m_name + ": fork: " + std::strerror(error));
    }
    if (m_pid == 0) ExecChild(args.data(), m_outFile.c_str(), m_errFile.c_str(), parent, reportWrite.get());

    reportWrite.reset();
    int childError = 0;
    ssize_t got;
    do {
        got = ::read(reportRead.get(), &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof childError)) {
        WaitExit(std::chrono::seconds(5));
        throw std::runtime_error("cannot start " + m_name + " (" + argv[0] + ", output to " + m_outFile +
                                 "): " + std::strerror(childError));
    }
}

DemoProcess::~DemoProcess() {
    Stop(std::chrono::seconds(5));
}

bool DemoProcess::Running() {
    if (m_reaped) return false;
    int status = 0;
    pid_t result;
    do {
        result = ::waitpid(m_pid, &status, WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == m_pid || (result < 0 && errno == ECHILD)) {
        m_status = result == m_pid ? status : 0;
        m_reaped = true;
    }
    return !m_reaped;
}

bool DemoProcess::WaitExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Running()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string DemoProcess::Stop(std::chrono::milliseconds grace) {
    if (m_pid <= 0) return "";
    if (Running()) {
        ::kill(m_pid, SIGTERM);
        if (!WaitExit(grace)) {
            ::kill(m_pid, SIGKILL);
            WaitExit(std::chrono::seconds(10));
            return "killed with SIGKILL after not stopping within " +
                   std::to_string(std::chrono::duration_cast<std::chrono::seconds>(grace).count()) +
                   " s of SIGTERM";
        }
    }
    return m_reaped && WIFEXITED(m_status) && WEXITSTATUS(m_status) == 0 ? "" : ExitDescription();
}

std::string DemoProcess::ExitDescription() const {
    if (!m_reaped) return "";
    if (WIFEXITED(m_status)) return "exited with status " + std::to_string(WEXITSTATUS(m_status));
    if (WIFSIGNALED(m_status)) {
        const int signal = WTERMSIG(m_status);
        const char* name = ::strsignal(signal);
        return "ended by signal " + std::to_string(signal) + (name ? std::string(" (") + name + ")" : "");
    }
    return "ended with wait status " + std::to_string(m_status);
}

std::string DemoProcess::FirstErrorLine() const {
    const std::string text = ReadTextFile(m_errFile);
    return text.substr(0, text.find('\n'));
}

}  // namespace datasyncctl
