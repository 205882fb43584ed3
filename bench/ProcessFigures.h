// What /proc tells about a process: its CPU time, wake-ups, memory, open descriptors and threads.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace bench {

// CPU time of every thread of process `pid` so far, in seconds, to the nanosecond (the
// scheduler's run time; threads that ended are not counted).
inline double CpuSeconds(pid_t pid) {
    double total = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        unsigned long long runNanoseconds = 0;
        if (schedstat >> runNanoseconds) total += 1e-9 * static_cast<double>(runNanoseconds);
    }
    return total;
}

// The part of CpuSeconds(pid) spent in the kernel (system time), in seconds, to the clock tick
// (10 ms): over a window of a second or more it tells the kernel's share.
inline double SystemCpuSeconds(pid_t pid) {
    double total = 0;
    const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream stat(task.path() / "stat");
        std::string text;
        std::getline(stat, text);
        // The fields after the command name, which may hold spaces, end with ')'; stime is the
        // 15th field of the line, the 13th after that.
        const std::size_t end = text.rfind(')');
        if (end == std::string::npos) continue;
        std::istringstream fields(text.substr(end + 1));
        std::string field;
        for (int n = 0; n < 12 && fields >> field; ++n) {
        }
        unsigned long long systemTicks = 0;
        if (fields >> systemTicks) total += static_cast<double>(systemTicks) / tick;
    }
    return total;
}

// VmRSS of process `pid` in KiB; -1 when it cannot be read.
inline long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// Memory only process `pid` uses (private clean and dirty pages, anonymous ones included), in
// KiB: its resident memory without the library pages it shares with other processes; -1 when it
// cannot be read.
inline long PrivateKiB(pid_t pid) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    long total = -1;
    for (std::string line; std::getline(rollup, line);)
        if (line.rfind("Private_Clean:", 0) == 0 || line.rfind("Private_Dirty:", 0) == 0)
            total = (total < 0 ? 0 : total) + std::stol(line.substr(line.find(':') + 1));
    return total;
}

// Resident memory of process `pid` with each shared page divided among the processes that map
// it (Pss), in KiB; -1 when it cannot be read.
inline long ProportionalKiB(pid_t pid) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string line; std::getline(rollup, line);)
        if (line.rfind("Pss:", 0) == 0) return std::stol(line.substr(4));
    return -1;
}

// Context switches (voluntary and involuntary) of every live thread of process `pid` so far:
// each is one time a thread went to sleep or was put aside, so their growth over a quiet spell
// counts the process's wake-ups.
inline long long ContextSwitches(pid_t pid) {
    long long total = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += std::stoll(line.substr(line.find(':') + 1));
    }
    return total;
}

// Open file descriptors of process `pid`; -1 when they cannot be listed.
inline long OpenDescriptors(pid_t pid) {
    std::error_code error;
    long count = 0;
    for (std::filesystem::directory_iterator entry("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && entry != end; entry.increment(error))
        ++count;
    return error ? -1 : count;
}

// Threads of process `pid`; -1 when it cannot be read.
inline long Threads(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0) return std::stol(line.substr(8));
    return -1;
}

}  // namespace bench
