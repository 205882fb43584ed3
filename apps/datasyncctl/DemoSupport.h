// The demo's dealings with its surroundings: finding the programs it runs, claiming its base
// folder, and noticing Ctrl-C.
#pragma once

#include <string>

namespace datasyncctl {

// The path of `program` ("datasyncd", "datasync-collector"): `given` when not empty (it must be
// an executable file), else beside this executable, else in the build tree's sibling folder
// (apps/<program>/<program>), else on PATH. Throws std::runtime_error naming what was tried.
std::string FindProgram(const std::string& program, const std::string& given, const std::string& option);

// The base folder as an absolute path ending with '/'. An empty `given` makes a fresh folder
// under $TMPDIR (or /tmp); otherwise `given` is created when missing and must be empty.
// Throws std::runtime_error naming the folder.
std::string ClaimBaseFolder(const std::string& given);

// Removes the folder and everything in it; a failure is returned as a message (empty when done).
std::string RemoveFolder(const std::string& folder);

// While an object lives, SIGINT, SIGTERM and SIGHUP set a flag instead of ending the process,
// and SIGPIPE is ignored; the destructor restores what was there.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    // True once one of the signals arrived.
    static bool Interrupted();
};

// Sleeps `ms` milliseconds; returns early when a signal arrives.
void Pause(int ms);

}  // namespace datasyncctl
