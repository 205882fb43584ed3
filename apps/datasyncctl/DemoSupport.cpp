// Programs, base folder and signals of the demo.
#include "datasyncctl/DemoSupport.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace datasyncctl {
namespace {

namespace fs = std::filesystem;

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) {
    g_interrupted = 1;
}

bool Executable(const std::string& path) {
    std::error_code error;
    return fs::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

const int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[sizeof kInterruptSignals / sizeof kInterruptSignals[0]];
struct sigaction g_previousPipe;

}  // namespace

std::string FindProgram(const std::string& program, const std::string& given, const std::string& option) {
    if (!given.empty()) {
        if (!Executable(given)) throw std::runtime_error(option + " " + given + ": not an executable file");
        return fs::absolute(given).string();
    }
    std::vector<std::string> tried;
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (!error) {
        const fs::path folder = self.parent_path();
        // Beside datasyncctl (the build folder's layout is folder/../<program>/<program>; an
        // installation keeps the daemon in ../sbin).
        for (const fs::path& candidate : {folder / program, folder.parent_path() / program / program,
                                          folder.parent_path() / "sbin" / program}) {
            if (Executable(candidate.string())) return candidate.lexically_normal().string();
            tried.push_back(candidate.lexically_normal().string());
        }
    }
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "";
    size_t start = 0;
    while (start <= folders.size()) {
        size_t colon = folders.find(':', start);
        if (colon == std::string::npos) colon = folders.size();
        const std::string folder = folders.substr(start, colon - start);
        if (!folder.empty() && Executable(folder + "/" + program)) return folder + "/" + program;
        start = colon + 1;
    }
    std::string where;
    for (const std::string& candidate : tried) where += candidate + ", ";
    throw std::runtime_error("cannot find " + program + " (tried " + where + "and PATH); name it with " +
                             option);
}

std::string ClaimBaseFolder(const std::string& given) {
    if (given.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/datasync-demo-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot make a temporary folder " + pattern + ": " +
                                     std::strerror(errno));
        return pattern + "/";
    }
    std::error_code error;
    std::string folder = fs::absolute(given, error).lexically_normal().string();
    if (error) throw std::runtime_error("--base " + given + ": " + error.message());
    if (folder.empty() || folder.back() != '/') folder += "/";
    fs::create_directories(folder, error);
    if (error)
        throw std::runtime_error("--base " + given + ": cannot create " + folder + ": " + error.message());
    if (!fs::is_directory(folder, error)) throw std::runtime_error("--base " + given + ": not a folder");
    if (!fs::is_empty(folder, error) || error)
        throw std::runtime_error("--base " + given + ": the folder " + folder +
                                 " is not empty (the demo needs a fresh installation)");
    return folder;
}

std::string RemoveFolder(const std::string& folder) {
    std::error_code error;
    fs::remove_all(folder, error);
    return error ? "cannot remove " + folder + ": " + error.message() : "";
}

InterruptGuard::InterruptGuard() {
    g_interrupted = 0;
    struct sigaction action {};
    action.sa_handler = &OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a pause ends at once
    for (size_t i = 0; i < sizeof kInterruptSignals / sizeof kInterruptSignals[0]; ++i)
        ::sigaction(kInterruptSignals[i], &action, &g_previous[i]);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &g_previousPipe);
}

InterruptGuard::~InterruptGuard() {
    for (size_t i = 0; i < sizeof kInterruptSignals / sizeof kInterruptSignals[0]; ++i)
        ::sigaction(kInterruptSignals[i], &g_previous[i], nullptr);
    ::sigaction(SIGPIPE, &g_previousPipe, nullptr);
}

bool InterruptGuard::Interrupted() {
    return g_interrupted != 0;
}

void Pause(int ms) {
    if (ms <= 0 || g_interrupted) return;
    timespec wait{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    ::nanosleep(&wait, nullptr);  // EINTR: a signal arrived, the caller looks at the flag
}

}  // namespace datasyncctl
