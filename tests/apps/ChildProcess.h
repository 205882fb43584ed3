// Runs a program to its end as a child process (datasyncctl::DemoProcess: output to files, so a
// chatty child never blocks on a full pipe, and killed when it outlives its deadline).
#pragma once

#include <atomic>
#include <sstream>
#include <vector>

#include "datasyncctl/DemoProcess.h"
#include "support/WaitUntil.h"

namespace appstest {

inline bool WaitExit(datasyncctl::DemoProcess& child, std::chrono::milliseconds timeout) {
    return testsupport::WaitUntil([&] { return !child.Running(); }, timeout);
}

struct Finished {
    bool exited = false;  // false: killed after the time-out
    int exitCode = -1;    // -1 unless it exited normally
    std::string out, err;
};

// Runs `argv` to its end (at most `timeout`, then it is stopped); output files go to `outputDir`.
inline Finished Run(const std::vector<std::string>& argv, const std::string& outputDir,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    static std::atomic<int> counter{0};
    const std::string stem = outputDir + "run-" + std::to_string(++counter);
    datasyncctl::DemoProcess child(argv[0], argv, stem + ".out", stem + ".err");
    const bool exited = WaitExit(child, timeout);
    const std::string how = child.ExitDescription(), prefix = "exited with status ";
    return {exited, how.rfind(prefix, 0) == 0 ? std::stoi(how.substr(prefix.size())) : -1,
            datasyncctl::ReadTextFile(child.OutFile()), datasyncctl::ReadTextFile(child.ErrFile())};
}

// Lines of `text` (without their newlines; a last line without one counts).
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace appstest
