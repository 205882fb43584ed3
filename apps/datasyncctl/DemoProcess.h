// A program the demo runs beside itself (the collector, the daemon): started with fork and
// exec, its standard output and error going to files (so a chatty child can never block on a
// full pipe and its output stays readable afterwards), and always taken down again.
//
// The child runs in a process group of its own, so a Ctrl-C in the terminal reaches only the
// demo, which then stops its children in order (daemon first, then collector). Should the demo
// itself die without cleaning up, the kernel sends the child SIGTERM (PR_SET_PDEATHSIG).
//
// Lifetime: the destructor stops a child that is still running (SIGTERM, a short grace, then
// SIGKILL) and reaps it. Thread safety: one object belongs to one thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace datasyncctl {

class DemoProcess {
public:
    // Starts argv[0] (a path) with `argv`. `name` names the program in messages. Throws
    // std::runtime_error naming the program and the file at fault when it cannot be started.
    DemoProcess(std::string name, const std::vector<std::string>& argv, const std::string& outFile,
                const std::string& errFile);
    ~DemoProcess();
    DemoProcess(const DemoProcess&) = delete;
    DemoProcess& operator=(const DemoProcess&) = delete;

    const std::string& Name() const { return m_name; }
    pid_t Pid() const { return m_pid; }
    const std::string& OutFile() const { return m_outFile; }
    const std::string& ErrFile() const { return m_errFile; }

    // False once the child has exited (it is then reaped and its status kept).
    bool Running();

    // Sends SIGTERM and waits up to `grace` for the child to exit; then sends SIGKILL. Returns an
    // empty text for a clean exit (status 0), otherwise what happened ("exited with status 1",
    // "killed by signal 9 after not stopping within 10 s"). Safe to call more than once.
    std::string Stop(std::chrono::milliseconds grace);

    // How the child ended, e.g. "exited with status 2"; empty while it runs.
    std::string ExitDescription() const;

    // The first line of the child's standard error (empty when it wrote none).
    std::string FirstErrorLine() const;

private:
    bool WaitExit(std::chrono::milliseconds timeout);

    std::string m_name;
    std::string m_outFile;
    std::string m_errFile;
    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = 0;
};

// Reads a whole text file; empty when it cannot be read.
std::string ReadTextFile(const std::string& path);

}  // namespace datasyncctl
